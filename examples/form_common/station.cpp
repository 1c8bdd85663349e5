// The station: the component, its session and its bus, driven from the
// forms' main thread.
#include "form_common/station.hpp"

#include <charconv>
#include <cmath>
#include <utility>

#include "QvDs18x20/QvDs18x20.hpp"
#include "onewire/builtin_driver.hpp"
#include "onewire/port_names.hpp"
#include "onewire/sim/ds18x20.hpp"
#include "onewire/sim/sim_driver.hpp"
#include "qvds18x20/device_file.hpp"
#include "rtl/clock.hpp"
#include "rtl/messages.hpp"

namespace qvform {
namespace {

bool is_thermometer(const std::string& romstr) {
  if (romstr.size() != 16) return false;
  const std::string family = romstr.substr(14);
  return family == "28" || family == "10" || family == "22" || family == "3B";
}

}  // namespace

struct Station::Impl {
  Events events;
  std::unique_ptr<TQvDs18x20> c;
  std::shared_ptr<onewire::sim::SimBus> demo;  // the demonstration bus, which drifts
  std::vector<double> demo_base;
  int demo_rounds = 0;
  std::vector<SensorRow> last_rows;
  std::string port_label;
  onewire::PortName port;  // the adapter's port; none on the simulated bus

  std::vector<SensorRow> collect_rows() const {
    std::vector<SensorRow> rows;
    for (int i = 0; i < c->SensorListCount(); ++i) {
      const TSensor* s = c->sensor(i);
      if (s == nullptr) continue;
      rows.push_back(SensorRow{i, s->romstr, s->name, s->temp});
    }
    return rows;
  }

  void publish_rows() {
    last_rows = collect_rows();
    if (events.sensors) events.sensors(last_rows);
  }

  void changed() {
    if (events.changed) events.changed();
  }

  // An operation runs on the worker, one at a time, on an open session.
  template <class Operation>
  bool start(Operation operation) {
    if (c->Working() || !c->SesionActive()) return false;
    operation(*c);
    changed();
    return true;
  }

  // The demonstration bus warms and cools a little between measurements,
  // so that the plot has something to show; device files stay as written.
  void drift() {
    if (!demo) return;
    ++demo_rounds;
    const auto devices = demo->devices();
    for (std::size_t i = 0; i < devices.size(); ++i) {
      auto t = std::dynamic_pointer_cast<onewire::sim::Ds18x20>(devices[i]);
      if (!t) continue;
      if (demo_base.size() <= i) demo_base.resize(i + 1, 0.0);
      if (demo_rounds == 1) demo_base[i] = t->temperature();
      t->set_temperature(demo_base[i] + 1.5 * std::sin(0.45 * demo_rounds + 0.9 * static_cast<double>(i)));
    }
  }
};

Station::Station(Events events) : impl_(std::make_unique<Impl>()) {
  Impl& m = *impl_;
  m.events = std::move(events);
  m.c = std::make_unique<TQvDs18x20>(nullptr);
  TQvDs18x20& c = *m.c;
  // Session events may also fire on the worker when it reopens a lost
  // session; the window learns of those at the operation's end.
  c.OnSessionActive([&m](TObject*) {
    if (IsMainThread()) m.changed();
  });
  c.OnSessionError([&m](TObject*) {
    if (IsMainThread()) m.changed();
  });
  c.OnSessionClose([&m](TObject*) { m.changed(); });
  c.OnGetSensorCount([&m](TObject*) {
    if (IsMainThread()) m.publish_rows();
  });
  c.OnStartCommand([&m](TObject*) {
    if (m.events.progress) m.events.progress("converting");
    m.changed();
  });
  c.OnStartRead([&m](TObject*) {
    // The worker waits while this runs: the list is the main thread's.
    // Last round's texts go, so that a sensor not read now shows as such.
    for (int i = 0; i < m.c->SensorListCount(); ++i)
      if (TSensor* s = m.c->sensor(i)) s->temp.clear();
    if (m.events.progress) m.events.progress("reading");
  });
  c.OnGetTemp([&m](TObject*) {
    const auto now = std::chrono::system_clock::now();
    m.publish_rows();
    std::vector<Reading> readings;
    for (const SensorRow& row : m.last_rows) {
      if (row.temp.empty() || !is_thermometer(row.rom)) continue;
      double celsius = 0;
      const auto [end, ec] = std::from_chars(row.temp.data(), row.temp.data() + row.temp.size(), celsius);
      if (ec == std::errc() && end == row.temp.data() + row.temp.size())
        readings.push_back(Reading{row.index, row.rom, row.name, celsius});
    }
    if (m.events.measured) m.events.measured(now, readings);
  });
  c.OnOperationEnd([&m](TObject*) {
    m.drift();
    if (m.last_rows.empty() && m.c->SensorListCount() > 0) m.publish_rows();
    m.changed();
    if (m.events.operation_end) m.events.operation_end();
  });
}

Station::~Station() {
  if (impl_ && impl_->c) impl_->c->Close();
}

std::vector<std::string> Station::ports() {
  TStringList list;
  impl_->c->EnumComPorts(&list);
  std::vector<std::string> out;
  for (int i = 0; i < list.Count(); ++i) out.push_back(list[i]);
  return out;
}

std::string Station::use_simulated_bus(const std::string& device_file) {
  Impl& m = *impl_;
  if (m.c->SesionActive() || m.c->Working()) return "close the session first";
  std::shared_ptr<onewire::sim::SimBus> bus;
  std::vector<qvtool::InjectedFault> faults;
  if (device_file.empty()) {
    bus = qvtool::demo_bus();
    m.demo = bus;
    m.demo_base.clear();
    m.demo_rounds = 0;
    bus_label_ = "simulated bus (demonstration set)";
  } else {
    try {
      auto setup = qvtool::load_device_setup(device_file);
      bus = setup.bus;
      faults = setup.faults;
    } catch (const std::exception& e) {
      return e.what();
    }
    m.demo = nullptr;
    bus_label_ = "simulated bus (" + device_file + ")";
  }
  // Every reset and time slot takes its 1-Wire time, as on a real bus.
  bus->set_pacing(&rtl::GetClock());
  auto driver = std::make_shared<onewire::sim::SimDriver>();
  driver->attach(1, bus);
  for (const auto& f : faults) driver->fail(f.op, f.call, f.code);
  onewire::InstallDriver(driver);
  m.c->ComPort("COM1");
  m.c->AdapterType(onewire::kAdapterTypePassive);
  m.c->Speed(lsNormal);
  m.c->get_driver_ver();
  m.port_label = "COM1";
  m.port = onewire::PortName{};
  m.last_rows.clear();
  m.c->ClearSensors();
  m.changed();
  return "";
}

std::string Station::use_adapter(const std::string& port, int adapter, bool relaxed, int baud) {
  Impl& m = *impl_;
  if (m.c->SesionActive() || m.c->Working()) return "close the session first";
  // A USB adapter's or a kernel master's name says its adapter.
  if (const auto form = onewire::form_of_name(port))
    for (const onewire::AdapterRow& row : onewire::builtin_adapters())
      if (row.ports == *form) adapter = row.type;
  const onewire::AdapterRow* row = onewire::find_adapter(adapter);
  if (row == nullptr) return "no adapter of type " + std::to_string(adapter);
  const onewire::PortResolution resolved = onewire::resolve_port(port, row->ports);
  if (!resolved.port)
    return std::string("the ") + row->label + " takes " + resolved.expected + ", not \"" + port + "\"" +
           (resolved.reason.empty() ? "" : ": " + resolved.reason);
  const std::string com = resolved.port->com_name();
  onewire::BuiltinDriverOptions options;
  options.ds2480b_baud = baud;
  onewire::InstallDriver(onewire::make_builtin_driver(options));
  m.demo = nullptr;
  m.c->ComPort(com);
  m.c->AdapterType(static_cast<std::uint8_t>(adapter));
  m.c->Speed(relaxed ? lsRelaxed : lsNormal);
  m.c->get_driver_ver();
  m.port = *resolved.port;
  m.port_label = resolved.port->label;
  bus_label_ = resolved.port->label;
  m.last_rows.clear();
  m.c->ClearSensors();
  m.changed();
  return "";
}

std::string Station::open() {
  Impl& m = *impl_;
  m.c->TMEXOpenSession();
  m.changed();
  if (m.c->SesionActive()) return "";
  std::string why = error_text();
  // What the system said when the driver opened the device.
  if (const auto failure = onewire::last_open_failure(m.port)) why += "; " + failure->what();
  return "cannot open a session on " + m.port_label + ": " + why;
}

void Station::close() {
  if (impl_->c->Working()) return;
  impl_->c->TMEXCloseSession();
  impl_->changed();
}

bool Station::enumerate() {
  return impl_->start([](TQvDs18x20& c) { c.TMEXGetDSCount(); });
}

bool Station::measure() {
  return impl_->start([](TQvDs18x20& c) { c.TMEXGetTemp(); });
}

bool Station::session_active() const { return impl_->c->SesionActive(); }
bool Station::busy() const { return impl_->c->Busy(); }
bool Station::working() const { return impl_->c->Working(); }
std::int32_t Station::last_result() const { return impl_->c->LastResult(); }

std::string Station::error_text() const {
  const TQvDs18x20& c = *impl_->c;
  const std::string text = c.TMEXerror.str();
  if (text.empty()) return "";
  const std::string meaning = c.LastResult() != 0 ? TQvDs18x20::DescribeResult(c.LastResult()) : "";
  return meaning.empty() ? text : text + " (" + meaning + ")";
}

std::string Station::session_text() const {
  const TQvDs18x20& c = *impl_->c;
  if (!c.SesionActive()) return "no session";
  return "session " + std::to_string(c.FSesionHandle.load()) + " open on " + impl_->port_label + " (adapter type " +
         std::to_string(c.AdapterType()) + ")";
}

std::string Station::driver_text() const { return impl_->c->DriverVer(); }

std::vector<SensorRow> Station::rows() const {
  // While the worker holds the list, the rows of its last event stand.
  if (impl_->c->Busy()) return impl_->last_rows;
  return impl_->collect_rows();
}

}  // namespace qvform
