#include "form_common/station.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <utility>

#include "QvDs18x20/QvDs18x20.hpp"
#include "onewire/builtin_driver.hpp"
#include "onewire/serial/port_map.hpp"
#include "onewire/sim/ds18x20.hpp"
#include "onewire/sim/sim_driver.hpp"
#include "qvds18x20/device_file.hpp"
#include "rtl/clock.hpp"
#include "rtl/messages.hpp"

namespace qvform {
namespace {

bool is_com_name(const std::string& s, int& number) {
  if (s.size() < 4 || (s.compare(0, 3, "COM") != 0 && s.compare(0, 3, "com") != 0)) return false;
  int n = 0;
  const auto [end, ec] = std::from_chars(s.data() + 3, s.data() + s.size(), n);
  if (ec != std::errc() || end != s.data() + s.size() || n < 1 || n > 255) return false;
  number = n;
  return true;
}

bool is_usb_name(const std::string& s, int& number) {
  if (s.size() < 4 || (s.compare(0, 3, "USB") != 0 && s.compare(0, 3, "usb") != 0)) return false;
  int n = 0;
  const auto [end, ec] = std::from_chars(s.data() + 3, s.data() + s.size(), n);
  if (ec != std::errc() || end != s.data() + s.size() || n < 1 || n > 255) return false;
  number = n;
  return true;
}

bool to_int(const std::string& s, int& value) {
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
  return ec == std::errc() && end == s.data() + s.size();
}

bool is_thermometer(const std::string& romstr) {
  if (romstr.size() != 16) return false;
  const std::string family = romstr.substr(14);
  return family == "28" || family == "10" || family == "22" || family == "3B";
}

}  // namespace

const std::vector<AdapterChoice>& adapter_choices() {
  static const std::vector<AdapterChoice> choices = {
      {kAdapterPassive, "passive (DS9097)"}, {kAdapterDs2480b, "DS2480B (DS9097U)"}, {kAdapterUsb, "DS2490 USB"}};
  return choices;
}

std::string usage(const std::string& program) {
  return "usage: " + program +
         " [--sim [FILE] | --port P [--adapter passive|ds2480b|usb] [--baud B]] [--speed normal|relaxed]\n"
         "       [--interval SECONDS] [--shot FILE.png [--measurements N]]\n"
         "\n"
         "A window that reads DS18B20/DS18S20 sensors through the TQvDs18x20 component.\n"
         "  --sim [FILE]      the simulated bus: a device file, or the demonstration set (the default)\n"
         "  --port P          a COM name (COM3), a USB adapter (USB1) or a device path (/dev/ttyUSB0)\n"
         "  --adapter T       passive (1), ds2480b (5) or usb (6); default passive\n"
         "  --baud B          the DS2480B's serial rate after detection (default 115200)\n"
         "  --speed S         bus speed: normal or relaxed\n"
         "  --interval N      measure every N seconds once the session is open\n"
         "  --shot FILE       open, measure, save the window as a PNG picture, print what it shows, exit\n"
         "  --measurements N  the measurements --shot takes before the picture (default 1)\n";
}

std::string parse_options(const std::vector<std::string>& args, Options& o) {
  bool sim_given = false;
  bool adapter_given = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](std::string& out) -> bool {
      if (i + 1 >= args.size() || args[i + 1].empty()) return false;
      out = args[++i];
      return true;
    };
    std::string v;
    if (a == "--help" || a == "-h") {
      o.help = true;
    } else if (a == "--sim") {
      sim_given = true;
      if (i + 1 < args.size() && args[i + 1].rfind("--", 0) != 0) o.sim_file = args[++i];
    } else if (a == "--port") {
      if (!value(o.port)) return "--port needs a value";
    } else if (a == "--adapter") {
      if (!value(v)) return "--adapter needs a value";
      adapter_given = true;
      if (v == "passive" || v == "1") {
        o.adapter = kAdapterPassive;
      } else if (v == "ds2480b" || v == "5") {
        o.adapter = kAdapterDs2480b;
      } else if (v == "usb" || v == "6") {
        o.adapter = kAdapterUsb;
      } else {
        return "--adapter takes passive, ds2480b or usb, not \"" + v + "\"";
      }
    } else if (a == "--speed") {
      if (!value(v) || (v != "normal" && v != "relaxed")) return "--speed takes normal or relaxed";
      o.relaxed = v == "relaxed";
    } else if (a == "--baud") {
      if (!value(v) || !to_int(v, o.baud) ||
          (o.baud != 9600 && o.baud != 19200 && o.baud != 57600 && o.baud != 115200))
        return "--baud takes 9600, 19200, 57600 or 115200";
    } else if (a == "--interval") {
      if (!value(v) || !to_int(v, o.interval) || o.interval < 1 || o.interval > 86400)
        return "--interval takes seconds from 1 to 86400";
    } else if (a == "--shot") {
      if (!value(o.shot)) return "--shot needs a file name";
    } else if (a == "--measurements") {
      if (!value(v) || !to_int(v, o.measurements) || o.measurements < 1 || o.measurements > 1000)
        return "--measurements takes 1 to 1000";
    } else {
      return "unknown argument \"" + a + "\"";
    }
  }
  if (sim_given && (!o.port.empty() || adapter_given)) return "--sim goes with neither --port nor --adapter";
  int n = 0;
  if (!o.port.empty() && is_usb_name(o.port, n) && !adapter_given) o.adapter = kAdapterUsb;
  o.sim = o.port.empty();
  return "";
}

// --- the loop probe -------------------------------------------------------

void LoopProbe::start() {
  // Started from inside a handler: that handler's event and stretch count
  // from here.
  const auto now = Clock::now();
  recording_ = true;
  stopping_ = false;
  in_stretch_ = true;
  in_event_ = true;
  stretch_start_ = now;
  event_start_ = now;
  longest_gap_ = {};
  longest_stretch_ = {};
  events_ = 0;
}

void LoopProbe::stop() {
  if (!in_stretch_) {
    recording_ = false;
    return;
  }
  // Stopped from inside a handler: what the loop still does before it
  // waits again (a repaint, say) belongs to the measurement too.
  stopping_ = true;
}

void LoopProbe::handling() {
  if (!recording_) return;
  const auto now = Clock::now();
  ++events_;
  if (in_event_) longest_gap_ = std::max(longest_gap_, now - event_start_);
  if (!in_stretch_) {
    in_stretch_ = true;
    stretch_start_ = now;
  }
  in_event_ = true;
  event_start_ = now;
}

void LoopProbe::waiting() {
  if (!recording_ || !in_stretch_) return;
  const auto now = Clock::now();
  if (in_event_) longest_gap_ = std::max(longest_gap_, now - event_start_);
  longest_stretch_ = std::max(longest_stretch_, now - stretch_start_);
  in_event_ = false;
  in_stretch_ = false;
  if (stopping_) {
    stopping_ = false;
    recording_ = false;
  }
}

double LoopProbe::longest_gap_ms() const { return std::chrono::duration<double, std::milli>(longest_gap_).count(); }

double LoopProbe::longest_stretch_ms() const {
  return std::chrono::duration<double, std::milli>(longest_stretch_).count();
}

// --- the station ----------------------------------------------------------

struct Station::Impl {
  Events events;
  std::unique_ptr<TQvDs18x20> c;
  std::shared_ptr<onewire::sim::SimBus> demo;  // the demonstration bus, which drifts
  std::vector<double> demo_base;
  int demo_rounds = 0;
  std::vector<SensorRow> last_rows;
  std::string port_label;

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
  m.c->AdapterType(kAdapterPassive);
  m.c->Speed(lsNormal);
  m.c->get_driver_ver();
  m.port_label = "COM1";
  m.last_rows.clear();
  m.c->ClearSensors();
  m.changed();
  return "";
}

std::string Station::use_adapter(const std::string& port, int adapter, bool relaxed, int baud) {
  Impl& m = *impl_;
  if (m.c->SesionActive() || m.c->Working()) return "close the session first";
  int number = 0;
  std::string com;
  if (is_com_name(port, number)) {
    com = "COM" + std::to_string(number);
  } else if (is_usb_name(port, number)) {
    com = "COM" + std::to_string(number);
    adapter = kAdapterUsb;
  } else if (port.find('/') != std::string::npos || port.find('\\') != std::string::npos) {
    // A device path gets a port number of its own for this run.
    for (int n = 1; n <= onewire::serial::kMaxPortNumber && number == 0; ++n)
      if (!onewire::serial::path_for_port(n) || onewire::serial::path_for_port(n) == port) number = n;
    if (number == 0) return "no free port number for " + port;
    onewire::serial::pin_port(number, port);
    com = "COM" + std::to_string(number);
  } else {
    return "a port is a COM name (COM3), a USB adapter (USB1) or a device path, not \"" + port + "\"";
  }
  onewire::BuiltinDriverOptions options;
  options.ds2480b_baud = baud;
  onewire::InstallDriver(onewire::make_builtin_driver(options));
  m.demo = nullptr;
  m.c->ComPort(com);
  m.c->AdapterType(static_cast<std::uint8_t>(adapter));
  m.c->Speed(relaxed ? lsRelaxed : lsNormal);
  m.c->get_driver_ver();
  m.port_label = port;
  bus_label_ = port;
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
  return "cannot open a session on " + m.port_label + ": " + error_text();
}

void Station::close() {
  if (impl_->c->Working()) return;
  impl_->c->TMEXCloseSession();
  impl_->changed();
}

bool Station::enumerate() {
  Impl& m = *impl_;
  if (m.c->Working() || !m.c->SesionActive()) return false;
  m.c->TMEXGetDSCount();
  m.changed();
  return true;
}

bool Station::measure() {
  Impl& m = *impl_;
  if (m.c->Working() || !m.c->SesionActive()) return false;
  m.c->TMEXGetTemp();
  m.changed();
  return true;
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

std::string shot_report(const std::vector<SensorRow>& rows, const std::string& status, const LoopProbe& probe,
                        int measurements, int width, int height) {
  std::string out;
  char line[256];
  for (const SensorRow& r : rows) {
    std::snprintf(line, sizeof line, "sensor %d %s %s %s\n", r.index, r.rom.c_str(), r.name.c_str(),
                  r.temp.empty() ? "-" : r.temp.c_str());
    out += line;
  }
  out += "status: " + status + "\n";
  std::snprintf(line, sizeof line, "measurements: %d\nwindow: %dx%d\n", measurements, width, height);
  out += line;
  std::snprintf(line, sizeof line,
                "longest gap between two handled events while measuring: %.1f ms "
                "(%ld events handled; longest busy stretch %.1f ms)\n",
                probe.longest_gap_ms(), probe.events(), probe.longest_stretch_ms());
  out += line;
  return out;
}

}  // namespace qvform
