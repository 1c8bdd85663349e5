#include "qvds18x20/bus_session.hpp"

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "onewire/builtin_driver.hpp"
#include "onewire/serial/port_map.hpp"
#include "onewire/sim/sim_driver.hpp"
#include "onewire/tmex_driver.hpp"
#include "qvds18x20/device_file.hpp"
#include "qvds18x20/exit_codes.hpp"
#include "qvds18x20/platform.hpp"
#include "qvds18x20/usb_ports.hpp"
#include "rtl/messages.hpp"
#include "rtl/sysutils.hpp"

namespace qvtool {
namespace {

// A measurement or enumeration that takes longer than this has a driver
// that stopped answering; the worker cannot be cancelled, so the tool
// reports and leaves.
constexpr auto kOperationDeadline = std::chrono::seconds(20);

}  // namespace

bool is_com_name(const std::string& name) {
  if (name.size() < 4 || CompareText(name.substr(0, 3), "COM") != 0) return false;
  const std::int32_t n = StrToIntDef(name.substr(3), -1);
  return n >= 1 && n <= 255;
}

std::string explain(const Component& c) {
  const std::string text = c.TMEXerror.str();
  const std::int32_t code = c.LastResult();
  if (code == 0) return "no devices found on the bus (" + text + ")";
  const std::string meaning = Component::DescribeResult(code);
  return meaning.empty() ? text : text + " (" + meaning + ")";
}

BusSession::BusSession(const BusChoice& choice) : choice_(choice) {
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
    throw Failure("cannot open a session on " + port_label_ + " (adapter type " + std::to_string(choice_.adapter) +
                  "): " + (text.empty() ? "the adapter did not take the requested speed" : explain(*c_)));
  }
}

void BusSession::run(void (Component::*starter)()) {
  (c_.get()->*starter)();
  const auto deadline = std::chrono::steady_clock::now() + kOperationDeadline;
  RunMessageLoop([&] { return !c_->Working() || std::chrono::steady_clock::now() > deadline; });
  if (c_->Working()) {
    // The worker is stuck in the driver and cannot be cancelled: leaving
    // without waiting for it is all that is left.
    std::fprintf(stderr, "qvds18x20: the adapter on %s stopped answering\n", port_label_.c_str());
    std::fflush(nullptr);
    std::_Exit(kExitFailed);
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
      if (TSensor* s = c.sensor(i)) s->temp.clear();
    if (progress) progress(sender);
  });
  run(&Component::TMEXGetTemp);
  c.OnStartRead(progress);
  error = got ? "" : explain(c);
  return got;
}

std::string BusSession::list() {
  run(&Component::TMEXGetDSCount);
  return c_->FSensorCount == 0 ? explain(*c_) : "";
}

void BusSession::resolve_port() {
  const std::string& p = choice_.port;
  if (p.empty()) {
    com_name_ = "COM1";
    port_label_ = "COM1";
    return;
  }
  if (is_com_name(p)) {
    com_name_ = p;
    port_label_ = p;
    return;
  }
  if (const auto usb = usb_port_number(p)) {
    com_name_ = "COM" + std::to_string(*usb);
    port_label_ = p;
    return;
  }
  if (p.find('/') == std::string::npos && p.find('\\') == std::string::npos)
    throw UsageError("--port takes a COM name (COM3), a USB adapter (USB1) or a device path (/dev/ttyUSB0), not \"" +
                     p + "\"");
  if (!choice_.sim && !path_exists(p)) throw Failure(p + ": no such device");
  // A path gets a port number of its own for this run.
  int number = 0;
  for (int n = 1; n <= onewire::serial::kMaxPortNumber && number == 0; ++n)
    if (!onewire::serial::path_for_port(n)) number = n;
  if (number == 0) throw Failure("no free port number for " + p);
  onewire::serial::pin_port(number, p);
  com_name_ = "COM" + std::to_string(number);
  port_label_ = p;
}

int BusSession::serial_baud() const {
  return builtin_ ? builtin_->serial_baud(StrToIntDef(com_name_.substr(3), 0)) : 0;
}

void BusSession::install_driver() {
  if (!choice_.port.empty() && !choice_.sim) {
    onewire::BuiltinDriverOptions options;
    options.ds2480b_baud = choice_.baud;
    builtin_ = onewire::make_builtin_driver(options);
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
