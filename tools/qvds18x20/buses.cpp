#include "qvds18x20/buses.hpp"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "onewire/builtin_driver.hpp"
#include "onewire/errors.hpp"
#include "onewire/serial/transport.hpp"
#include "onewire/sim/ds2490_emulator.hpp"
#include "onewire/sim/emulated_usb_device.hpp"
#include "onewire/sim/faulty_link.hpp"
#include "onewire/sim/sim_link.hpp"
#include "qvds18x20/adapter_options.hpp"
#include "qvds18x20/config_file.hpp"
#include "qvds18x20/device_file.hpp"
#include "qvds18x20/exit_codes.hpp"
#include "qvds18x20/platform.hpp"
#include "qvds18x20/port_advice.hpp"
#include "qvds18x20/port_choice.hpp"
#include "qvds18x20/report.hpp"

namespace qvtool {
namespace {

// How long an interrupted call may still take to end by itself, so that
// its result is written whole.
constexpr auto kInterruptGrace = std::chrono::seconds(1);

std::atomic<bool> g_interrupted{false};

void note_interrupt() { g_interrupted.store(true); }

onewire::BuiltinDriverOptions builtin_options(const BusChoice& choice) {
  onewire::BuiltinDriverOptions options;
  options.ds2480b_baud = choice.baud;
  return options;
}

// A device file's faults, on the link they stand for: the driver
// operations they name, as the engine's calls reach the link.
std::optional<onewire::sim::LinkOp> link_op_of(onewire::Op op) {
  using onewire::Op;
  using onewire::sim::LinkOp;
  switch (op) {
    case Op::kStartSession: return LinkOp::kOpen;
    case Op::kTouchReset: return LinkOp::kReset;
    case Op::kTouchByte: return LinkOp::kTouchByte;
    case Op::kFirst:
    case Op::kNext: return LinkOp::kSearch;
    case Op::kAccess: return LinkOp::kMatch;
    case Op::kBlockExchange: return LinkOp::kBlock;
    default: return std::nullopt;
  }
}

std::string key_of(const std::string& label, std::size_t index) {
  const std::string slug = name_slug(label);
  return slug.empty() ? "bus" + std::to_string(index) : slug;
}

}  // namespace

bool interrupt_requested() { return g_interrupted.load(); }

void wait_for_interrupt(std::chrono::steady_clock::duration length) {
  // The flag is set from a signal handler, which can wake nothing: it is
  // looked at every few milliseconds.
  constexpr auto kStep = std::chrono::milliseconds(20);
  const auto end = std::chrono::steady_clock::now() + length;
  for (auto now = std::chrono::steady_clock::now(); now < end && !interrupt_requested();
       now = std::chrono::steady_clock::now())
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(end - now, kStep));
}

BusSet::BusSet(std::vector<BusChoice> choices) {
  on_interrupt(&note_interrupt);
  for (std::size_t i = 0; i < choices.size(); ++i) {
    OpenedBus b;
    b.choice = std::move(choices[i]);
    const BusChoice& c = b.choice;
    if (c.port.empty() || c.sim) {
      if (c.adapter == kAdapterAuto) throw UsageError("--adapter auto needs --port: it finds the adapter on the port");
      b.simulated = true;
      b.port_label = c.port.empty() ? "COM1" : c.port;
      b.adapter = c.adapter;
      if (!c.port.empty()) b.port = choose_port(c.port, c.adapter, c.adapter_given, true);
      b.sim_bus = c.sim_file.empty() ? demo_bus() : nullptr;
    } else {
      b.port = choose_port(c.port, c.adapter, c.adapter_given, false);
      b.port_label = b.port.label;
      b.adapter = c.adapter;
    }
    b.label = c.name.empty() ? b.port_label : c.name;
    b.key = key_of(b.label, i);
    buses_.push_back(std::move(b));
  }
  // Two buses may not share a label: outputs and topics tell them apart
  // by it.
  for (std::size_t i = 0; i < buses_.size(); ++i)
    for (std::size_t j = i + 1; j < buses_.size(); ++j)
      if (buses_[i].key == buses_[j].key)
        throw UsageError(buses_[j].choice.where + (buses_[j].choice.where.empty() ? "" : ": ") + "the bus \"" +
                         buses_[j].label + "\" has the same name as another (" + buses_[i].label +
                         "); give each [[bus]] a name of its own");
  // One bus keeps the topics and the bus device of the runs before there
  // could be several: its sensors' topics have no bus level.
  if (buses_.size() == 1) buses_[0].key.clear();
}

BusSet::~BusSet() {
  for (auto& b : buses_) b.bus.close();
}

bool BusSet::open() {
  bool any = false;
  for (auto& b : buses_) {
    if (!b.bus.is_open()) open_one(b);
    any = any || b.error.empty();
  }
  return any;
}

void BusSet::open_one(OpenedBus& b) {
  const BusChoice& c = b.choice;
  b.error.clear();
  b.code.reset();
  qvds::OpenOptions options;
  options.name = b.label;
  options.speed = static_cast<onewire::Speed>(c.speed);
  options.driver = builtin_options(c);
  qvds::Result<qvds::Bus> opened = qvds::Failure{qvds::Errc::kClosed, {}};
  if (b.simulated) {
    std::vector<InjectedFault> faults;
    if (!b.sim_bus) {
      SimSetup setup = load_device_setup(c.sim_file);
      b.sim_bus = setup.bus;
      faults = setup.faults;
    }
    if (b.adapter == onewire::kAdapterTypeDs2490) {
      // The USB adapter runs our DS2490 backend on an emulated chip.
      auto chip = std::make_shared<onewire::sim::Ds2490Emulator>(b.sim_bus);
      const int wanted = b.port.number > 0 ? b.port.number : 1;
      options.driver.usb_devices = [chip, wanted](int n) -> std::unique_ptr<onewire::ds2490::UsbDevice> {
        if (n != wanted) return nullptr;
        return std::make_unique<onewire::sim::EmulatedUsbDevice>(chip);
      };
      opened = qvds::Bus::open(onewire::kAdapterTypeDs2490, "USB" + std::to_string(wanted), options);
    } else {
      auto link = std::make_unique<onewire::sim::FaultyLink>(std::make_unique<onewire::sim::SimLink>(b.sim_bus));
      for (const auto& f : faults)
        if (const auto op = link_op_of(f.op)) link->fail(*op, f.call, f.code);
      opened = qvds::Bus::adopt(std::move(link), options);
    }
  } else {
    if (b.adapter == kAdapterAuto) b.adapter = detect_port_adapter(b.port, options.driver, c.adapter_given);
    opened = qvds::Bus::open(b.adapter, b.port.device.empty() ? b.port.label : b.port.device, options);
  }
  if (opened) {
    b.bus = std::move(opened).value();
    b.driver = b.bus.adapter();
    return;
  }
  const qvds::Failure& f = opened.failure();
  if (f.driver_code != 0) b.code = f.driver_code;
  std::string why = f.code.message();
  if (!b.simulated) {
    if (const std::string trouble = port_trouble(b.port, b.adapter, f.driver_code, options.driver); !trouble.empty())
      why += "; " + trouble;
  }
  b.error = "cannot open a session on " + b.label + " (adapter type " + std::to_string(b.adapter) + "): " + why;
}

std::vector<qvds::Result<qvds::Measurement>> BusSet::measure(const std::vector<qvds::MeasureOptions>& what) {
  return each<qvds::Measurement>([&what](std::size_t i, OpenedBus& b, qvds::Completion<qvds::Measurement> done,
                                         const qvds::CallOptions& call) {
    b.bus.measure_async(std::move(done), i < what.size() ? what[i] : qvds::MeasureOptions{}, call);
  });
}

std::vector<qvds::Result<std::vector<qvds::Device>>> BusSet::search() {
  return each<std::vector<qvds::Device>>(
      [](std::size_t, OpenedBus& b, qvds::Completion<std::vector<qvds::Device>> done, const qvds::CallOptions& call) {
        b.bus.search_async(std::move(done), call);
      });
}

void BusSet::wait(const std::function<bool()>& done, std::stop_source& stop) {
  const auto start = std::chrono::steady_clock::now();
  // The engine's deadline ends a call between two exchanges; one stuck
  // inside an exchange past it, or past an interrupt's grace, is left.
  auto give_up = start + kOperationDeadline + std::chrono::seconds(2);
  bool interrupted = false;
  while (!done()) {
    const auto now = std::chrono::steady_clock::now();
    if (!interrupted && interrupt_requested()) {
      interrupted = true;
      stop.request_stop();
      give_up = std::min(give_up, now + kInterruptGrace);
    }
    if (now > give_up) {
      std::string labels;
      for (const auto& b : buses_) labels += (labels.empty() ? "" : ", ") + b.label;
      if (interrupted) abandon("interrupted; the adapter on " + labels + " was still busy and was left as it was",
                               interrupted_exit_code_);
      abandon("the adapter on " + labels + " stopped answering (no result within " +
                  std::to_string(kOperationDeadline.count()) + " s)",
              kExitFailed);
    }
  }
}

void BusSet::abandon(const std::string& why, int code) {
  // The bus's thread holds the port and cannot be stopped inside an
  // exchange; the port's settings are put back from here, and the
  // process leaves without waiting.
  onewire::serial::restore_open_ports();
  report(Severity::kError, why);
  std::fflush(nullptr);
  std::_Exit(code);
}

}  // namespace qvtool
