#include "qvds18x20/bus_session.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "TMGetDs18x20CountU/TMGetDs18x20CountU.hpp"
#include "onewire/builtin_driver.hpp"
#include "onewire/errors.hpp"
#include "onewire/serial/transport.hpp"
#include "onewire/sim/sim_driver.hpp"
#include "onewire/tmex_driver.hpp"
#include "qvds18x20/adapter_options.hpp"
#include "qvds18x20/device_file.hpp"
#include "qvds18x20/emulated_usb.hpp"
#include "qvds18x20/exit_codes.hpp"
#include "qvds18x20/platform.hpp"
#include "qvds18x20/port_advice.hpp"
#include "qvds18x20/port_choice.hpp"
#include "qvds18x20/report.hpp"
#include "rtl/messages.hpp"
#include "rtl/sysutils.hpp"

namespace qvtool {
namespace {

// A measurement or enumeration that takes longer than this has a driver
// that stopped answering; the worker cannot be cancelled, so the tool
// reports and leaves.
constexpr auto kOperationDeadline = std::chrono::seconds(20);
// How long an interrupted operation may still take to end by itself, so
// that its result is written whole.
constexpr auto kInterruptGrace = std::chrono::seconds(1);

std::atomic<bool> g_interrupted{false};

void note_interrupt() { g_interrupted.store(true); }

}  // namespace

bool is_thermometer_rom(const std::string& romstr) {
  if (romstr.size() != 16) return false;
  const std::string family = romstr.substr(14);
  return family == "28" || family == "10" || family == "22" || family == "3B";
}

bool interrupt_requested() { return g_interrupted.load(); }

void catch_interrupts() { on_interrupt(&note_interrupt); }

std::string explain(const Component& c) {
  const std::int32_t code = c.LastResult();
  if (code == 0) return "no devices found on the bus";
  const std::string meaning = Component::DescribeResult(code);
  return meaning.empty() ? "the driver's result code " + std::to_string(code) : meaning;
}

std::string driver_text(const Component& c) {
  const std::string text = c.TMEXerror.str();
  return text.empty() ? "" : " [" + text + "]";
}

BusSession::BusSession(const BusChoice& choice) : choice_(choice) {
  on_interrupt(&note_interrupt);
  resolve_port();
  install_driver();
  c_ = std::make_unique<Component>(nullptr);
  c_->ComPort(com_name_);
  c_->AdapterType(static_cast<std::uint8_t>(choice_.adapter));
  c_->Speed(choice_.speed);
  c_->get_driver_ver();
}

BusSession::~BusSession() {
  if (c_) c_->Close();
}

void BusSession::open() {
  c_->TMEXOpenSession();
  if (!c_->SesionActive()) {
    const std::string text = c_->TMEXerror.str();
    std::string why = text.empty() ? "the adapter did not take the requested speed" : explain(*c_);
    if (const std::string trouble = port_trouble(); !trouble.empty()) why += "; " + trouble;
    throw Failure("cannot open a session on " + port_label_ + " (adapter type " + std::to_string(choice_.adapter) +
                  "): " + why + driver_text(*c_));
  }
}

std::string BusSession::port_trouble() const {
  if (choice_.port.empty() || choice_.sim) return "";
  // What the driver kept of a failed open, and what the port answers to.
  return qvtool::port_trouble(port_, choice_.adapter, c_->LastResult(), builtin_options());
}

void BusSession::abandon(const std::string& why, int code) {
  // The worker holds the port and cannot be stopped; the port's settings
  // are put back from here, and the process leaves without waiting.
  onewire::serial::restore_open_ports();
  report(Severity::kError, why);
  std::fflush(nullptr);
  std::_Exit(code);
}

void BusSession::run(void (Component::*starter)()) {
  (c_.get()->*starter)();
  auto deadline = std::chrono::steady_clock::now() + kOperationDeadline;
  bool interrupt_seen = false;
  RunMessageLoop([&] {
    if (!c_->Working()) return true;
    const auto now = std::chrono::steady_clock::now();
    if (!interrupt_seen && interrupt_requested()) {
      interrupt_seen = true;
      deadline = std::min(deadline, now + kInterruptGrace);
    }
    return now > deadline;
  });
  if (c_->Working()) {
    if (interrupt_seen)
      abandon("interrupted; the adapter on " + port_label_ + " was still busy and was left as it was",
              interrupted_exit_code_);
    abandon("the adapter on " + port_label_ + " stopped answering (no result within " +
                std::to_string(std::chrono::duration_cast<std::chrono::seconds>(kOperationDeadline).count()) + " s)",
            kExitFailed);
  }
  ProcessMessages();
}

bool BusSession::measure(std::string& error) {
  Component& c = *c_;
  bool got = false;
  c.OnGetTemp([&](TObject*) { got = true; });
  // While the worker waits here, the list is ours: clear the previous
  // round's texts so that a sensor not read now shows as such.
  auto progress = c.OnStartRead();
  c.OnStartRead([&c, progress](TObject* sender) {
    for (int i = 0; i < c.SensorListCount(); ++i)
      if (TSensor* s = c.sensor(i)) {
        s->temp.clear();
        s->status = rsNotMeasured;
      }
    if (progress) progress(sender);
  });
  run(&Component::TMEXGetTemp);
  c.OnStartRead(progress);
  error = "";
  if (got) return true;
  std::string cause = explain(c);
  if (c.LastResult() == kErrNoSensorRead) {
    // The component's one code for a measurement that read nothing; the
    // list it kept says why.
    int thermometers = 0;
    for (int i = 0; i < c.SensorListCount(); ++i)
      if (const TSensor* s = c.sensor(i); s != nullptr && is_thermometer_rom(s->romstr)) ++thermometers;
    if (c.SensorListCount() > 0 && thermometers == 0)
      cause = "the bus has " + std::to_string(c.SensorListCount()) + " device(s) but no thermometer";
    else if (thermometers > 0)
      cause = "none of the " + std::to_string(thermometers) + " thermometer(s) was read (" + reasons_not_read() + ")";
  }
  error = "measuring on " + port_label_ + " failed: " + cause;
  if (const std::string trouble = port_trouble(); !trouble.empty()) error += "; " + trouble;
  error += driver_text(c);
  return false;
}

std::string BusSession::reasons_not_read() const {
  // Each reason once, with the sensors it holds for.
  std::vector<std::pair<std::string, std::vector<std::string>>> reasons;
  for (int i = 0; i < c_->SensorListCount(); ++i) {
    const TSensor* s = c_->sensor(i);
    if (s == nullptr || !is_thermometer_rom(s->romstr) || IsReading(s->status)) continue;
    std::string why = DescribeReadStatus(s->status);
    if (s->power == psParasiteUnfed) why += ", parasite-powered on an adapter without a strong pull-up";
    auto it = std::find_if(reasons.begin(), reasons.end(), [&](const auto& r) { return r.first == why; });
    if (it == reasons.end()) it = reasons.insert(reasons.end(), {why, {}});
    it->second.push_back(s->romstr);
  }
  std::string text;
  for (const auto& [why, roms] : reasons) {
    if (!text.empty()) text += "; ";
    for (std::size_t k = 0; k < roms.size(); ++k) text += (k == 0 ? "" : ", ") + roms[k];
    text += ": " + why;
  }
  return text.empty() ? "no answer" : text;
}

std::string BusSession::unfed_warning() {
  if (unfed_warned_) return "";
  const std::vector<std::string> unfed = c_->UnfedSensors();
  if (unfed.empty()) return "";
  unfed_warned_ = true;
  std::string roms;
  for (std::size_t k = 0; k < unfed.size(); ++k) roms += (k == 0 ? "" : ", ") + unfed[k];
  return std::to_string(unfed.size()) + " parasite-powered sensor(s) (" + roms + ") on " + port_label_ +
         ", whose adapter has no strong pull-up: they cannot convert and will not be read; power them from VDD "
         "(3 to 5.5 V), or use a DS2480B, DS2490 or DS2482 adapter";
}

std::string BusSession::list() {
  run(&Component::TMEXGetDSCount);
  if (c_->FSensorCount != 0) return "";
  std::string error = "searching the bus on " + port_label_ + " failed: " + explain(*c_);
  if (const std::string trouble = port_trouble(); !trouble.empty()) error += "; " + trouble;
  return error + driver_text(*c_);
}

void BusSession::resolve_port() {
  const std::string& p = choice_.port;
  if (p.empty()) {
    if (choice_.adapter == kAdapterAuto)
      throw UsageError("--adapter auto needs --port: it finds the adapter on the port");
    com_name_ = "COM1";
    port_label_ = "COM1";
    return;
  }
  port_ = choose_port(p, choice_.adapter, choice_.adapter_given, choice_.sim);
  if (choice_.adapter == kAdapterAuto)
    choice_.adapter = detect_port_adapter(port_, builtin_options(), choice_.adapter_given);
  com_name_ = port_.com_name();
  port_label_ = port_.label;
}

onewire::BuiltinDriverOptions BusSession::builtin_options() const {
  onewire::BuiltinDriverOptions options;
  options.ds2480b_baud = choice_.baud;
  return options;
}

int BusSession::serial_baud() const {
  return builtin_ ? builtin_->serial_baud(StrToIntDef(com_name_.substr(3), 0)) : 0;
}

void BusSession::install_driver() {
  if (!choice_.port.empty() && !choice_.sim) {
    builtin_ = onewire::make_builtin_driver(builtin_options());
    onewire::InstallDriver(builtin_);
    return;
  }
  SimSetup setup;
  if (!choice_.sim_file.empty()) {
    setup = load_device_setup(choice_.sim_file);
  } else {
    setup.bus = demo_bus();
  }
  if (choice_.adapter == onewire::kAdapterTypeDs2490) {
    // The USB adapter runs our DS2490 backend on the emulated chip.
    onewire::InstallDriver(make_emulated_usb_driver(StrToIntDef(com_name_.substr(3), 1), setup.bus));
    return;
  }
  auto driver = std::make_shared<onewire::sim::SimDriver>();
  driver->attach(StrToIntDef(com_name_.substr(3), 1), setup.bus);
  for (const auto& f : setup.faults) driver->fail(f.op, f.call, f.code);
  onewire::InstallDriver(driver);
}

}  // namespace qvtool
