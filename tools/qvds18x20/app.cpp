#include "qvds18x20/app.hpp"

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <vector>

#include "IBTMEXPWnew/IBTMEXPWnew.hpp"
#include "QvDs18x20/QvDs18x20.hpp"
#include "TMGetDs18x20CountU/TMGetDs18x20CountU.hpp"
#include "onewire/builtin_driver.hpp"
#include "onewire/errors.hpp"
#include "onewire/serial/port_map.hpp"
#include "onewire/sim/sim_driver.hpp"
#include "qvds18x20/device_file.hpp"
#include "qvds18x20/platform.hpp"
#include "qvds18x20/usb_ports.hpp"
#include "rtl/messages.hpp"
#include "rtl/sysutils.hpp"

namespace qvtool {
namespace {

using nlohmann::json;

std::atomic<bool> g_stop{false};

// A measurement or enumeration that takes longer than this has a driver
// that stopped answering; the worker cannot be cancelled, so the tool
// reports and leaves.
constexpr auto kOperationDeadline = std::chrono::seconds(20);

// Gives the tool the component's port lister.
class Component : public TQvDs18x20 {
 public:
  using TQvDs18x20::EnumComPorts;
  using TQvDs18x20::TQvDs18x20;
};

class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class Failure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

std::string describe_code(long code) {
  switch (code) {
    case onewire::kErrPortUnavailable: return "the port does not exist or cannot be opened";
    case onewire::kErrAdapterType: return "no adapter of this type";
    case onewire::kErrAdapterNoResponse: return "the adapter did not answer";
    case onewire::kErrBusShort: return "the 1-Wire bus is shorted";
    case onewire::kErrRomCrc: return "a ROM code was misread";
    case onewire::kErrPortIo: return "the port failed or went away";
    case onewire::kErrSessionInvalid: return "the session ended";
    case onewire::kErrNoDriver: return "no 1-Wire driver";
    default: return "";
  }
}

// The error text, with what our driver's code means where it has one.
std::string explain(const std::string& text) {
  const auto colon = text.rfind(": ");
  if (colon == std::string::npos) return text;
  const std::string number = text.substr(colon + 2);
  const std::int32_t code = StrToIntDef(number, 1);
  if (code == 1 && number != "1") return text;
  if (text.rfind("Thread TMFirst error: ", 0) == 0 && code == 0) return "no devices found on the bus (" + text + ")";
  const std::string meaning = describe_code(code);
  return meaning.empty() ? text : text + " (" + meaning + ")";
}

int adapter_number(const std::string& a) {
  if (a == "passive") return 1;
  if (a == "ds2480b") return 5;
  if (a == "usb") return 6;
  const std::int32_t n = StrToIntDef(a, -1);
  if (n < 0 || n > 255) throw UsageError("--adapter takes a number 0..255, passive, ds2480b or usb, not \"" + a + "\"");
  return n;
}

// A USB adapter is named USBn and has no other name; the adapter type
// follows from it unless one was asked for.
int adapter_for(const Options& o) {
  if (usb_port_number(o.port) && o.adapter == Options{}.adapter) return 6;
  return adapter_number(o.adapter);
}

TLanSpeed speed_of(const std::string& s) {
  if (s == "normal") return lsNormal;
  if (s == "relaxed") return lsRelaxed;
  throw UsageError("--speed takes normal or relaxed, not \"" + s + "\"");
}

bool is_com_name(const std::string& p) {
  if (p.size() < 4 || CompareText(p.substr(0, 3), "COM") != 0) return false;
  const std::int32_t n = StrToIntDef(p.substr(3), -1);
  return n >= 1 && n <= 255;
}

std::string iso_time() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t t = std::chrono::system_clock::to_time_t(now);
  const std::tm tm = utc_time(t);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return buf;
}

std::string csv_field(const std::string& s) {
  if (s.find_first_of(",\"\n") == std::string::npos) return s;
  std::string out = "\"";
  for (char c : s) out += c == '"' ? std::string("\"\"") : std::string(1, c);
  return out + "\"";
}

constexpr const char* kCsvHeader = "time,port,adapter,index,rom,name,temp,celsius";

// One bus, one component, one session: what every command but "ports"
// and "version" opens.
class BusSession {
 public:
  explicit BusSession(const Options& o) : options_(o), adapter_(adapter_for(o)), speed_(speed_of(o.speed)) {
    resolve_port();
    install_driver();
    c_ = std::make_unique<Component>(nullptr);
    c_->ComPort(com_name_);
    c_->AdapterType(static_cast<std::uint8_t>(adapter_));
    c_->Speed(speed_);
    c_->get_driver_ver();
  }

  ~BusSession() {
    if (c_) c_->Close();
  }

  Component& c() { return *c_; }
  const std::string& port_label() const { return port_label_; }
  int adapter() const { return adapter_; }

  void open() {
    c_->TMEXOpenSession();
    if (!c_->SesionActive()) {
      const std::string text = c_->TMEXerror.str();
      throw Failure("cannot open a session on " + port_label_ + " (adapter type " + std::to_string(adapter_) +
                    "): " + (text.empty() ? "the adapter did not take the requested speed" : explain(text)));
    }
  }

  // Starts an operation and serves the main thread until its worker ends.
  void run(void (TQvDs18x20::*starter)()) {
    (c_.get()->*starter)();
    const auto deadline = std::chrono::steady_clock::now() + kOperationDeadline;
    RunMessageLoop([&] { return ActiveWorker == nullptr || std::chrono::steady_clock::now() > deadline; });
    if (ActiveWorker != nullptr) {
      // The worker is stuck in the driver and cannot be cancelled: leaving
      // without waiting for it is all that is left.
      std::fprintf(stderr, "qvds18x20: the adapter on %s stopped answering\n", port_label_.c_str());
      std::fflush(nullptr);
      std::_Exit(kExitFailed);
    }
    ProcessMessages();
  }

 private:
  void resolve_port() {
    const std::string& p = options_.port;
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
      throw UsageError("--port takes a COM name (COM3), a USB adapter (USB1) or a device path (/dev/ttyUSB0), not \"" + p + "\"");
    if (!options_.sim && !path_exists(p)) throw Failure(p + ": no such device");
    // A path gets a port number of its own for this run.
    int number = 0;
    for (int n = 1; n <= onewire::serial::kMaxPortNumber && number == 0; ++n)
      if (!onewire::serial::path_for_port(n)) number = n;
    if (number == 0) throw Failure("no free port number for " + p);
    onewire::serial::pin_port(number, p);
    com_name_ = "COM" + std::to_string(number);
    port_label_ = p;
  }

  void install_driver() {
    if (options_.port.empty() || options_.sim) {
      SimSetup setup;
      if (!options_.sim_file.empty()) {
        setup = load_device_setup(options_.sim_file);
      } else {
        setup.bus = demo_bus();
      }
      if (adapter_ == onewire::kAdapterTypeDs2490) {
        // The USB adapter runs our DS2490 backend on the emulated chip.
        onewire::InstallDriver(make_emulated_usb_driver(StrToIntDef(com_name_.substr(3), 1), setup.bus));
        return;
      }
      auto driver = std::make_shared<onewire::sim::SimDriver>();
      driver->attach(StrToIntDef(com_name_.substr(3), 1), setup.bus);
      for (const auto& f : setup.faults) driver->fail(f.op, f.call, f.code);
      onewire::InstallDriver(driver);
    } else {
      onewire::InstallDriver(onewire::make_builtin_driver());
    }
  }

  Options options_;
  int adapter_;
  TLanSpeed speed_;
  std::string com_name_;
  std::string port_label_;
  std::unique_ptr<Component> c_;
};

struct SensorRow {
  int index;
  std::string rom, name, temp;
};

std::optional<double> celsius_of(const std::string& temp) {
  if (temp.empty()) return std::nullopt;
  char* end = nullptr;
  const double v = std::strtod(temp.c_str(), &end);
  if (end == temp.c_str() || *end != 0) return std::nullopt;
  return v;
}

std::vector<SensorRow> rows_of(Component& c) {
  std::vector<SensorRow> rows;
  for (int i = 0; i < c.SensorListCount(); ++i) {
    const TSensor* s = c.sensor(i);
    if (s != nullptr) rows.push_back({i, s->romstr, s->name, s->temp});
  }
  return rows;
}

// Where a measurement's rows go: standard output in the chosen format, and
// the CSV log.
class Printer {
 public:
  Printer(const Options& o, std::string port, int adapter, std::string driver)
      : options_(o), port_(std::move(port)), adapter_(adapter), driver_(std::move(driver)) {
    if (!o.log_file.empty()) {
      log_ = std::fopen(o.log_file.c_str(), "a");
      if (log_ == nullptr) throw Failure(o.log_file + ": cannot be opened for appending");
      std::fseek(log_, 0, SEEK_END);
      if (std::ftell(log_) == 0) std::fprintf(log_, "%s\n", kCsvHeader);
    }
  }
  ~Printer() {
    if (log_ != nullptr) std::fclose(log_);
  }

  void measurement(const std::vector<SensorRow>& rows, const std::string& error, bool with_time_column) {
    const std::string time = iso_time();
    switch (options_.format) {
      case Format::kTable:
        if (!header_done_) {
          if (with_time_column) std::printf("%-21s", "TIME");
          std::printf("%-6s %-17s %-8s %s\n", "INDEX", "ROM", "NAME", "TEMP");
          header_done_ = true;
        }
        for (const auto& r : rows) {
          if (with_time_column) std::printf("%-21s", time.c_str());
          std::printf("%-6d %-17s %-8s %s\n", r.index, r.rom.c_str(), r.name.c_str(), r.temp.empty() ? "-" : r.temp.c_str());
        }
        break;
      case Format::kCsv:
        if (!header_done_) {
          std::printf("%s\n", kCsvHeader);
          header_done_ = true;
        }
        for (const auto& r : rows) std::printf("%s\n", csv_row(time, r).c_str());
        break;
      case Format::kJson: {
        json j;
        j["time"] = time;
        j["port"] = port_;
        j["adapter"] = adapter_;
        j["driver"] = driver_;
        j["sensors"] = json::array();
        for (const auto& r : rows) {
          const auto c = celsius_of(r.temp);
          j["sensors"].push_back({{"index", r.index},
                                  {"rom", r.rom},
                                  {"name", r.name},
                                  {"temp", r.temp},
                                  {"celsius", c ? json(*c) : json(nullptr)}});
        }
        j["error"] = error.empty() ? json(nullptr) : json(error);
        std::printf("%s\n", j.dump().c_str());
        break;
      }
    }
    std::fflush(stdout);
    if (log_ != nullptr) {
      for (const auto& r : rows) std::fprintf(log_, "%s\n", csv_row(time, r).c_str());
      if (!sync_file(log_)) throw Failure(options_.log_file + ": cannot be written");
    }
  }

 private:
  std::string csv_row(const std::string& time, const SensorRow& r) const {
    const auto c = celsius_of(r.temp);
    char celsius[32] = "";
    if (c) std::snprintf(celsius, sizeof celsius, "%.1f", *c);
    return time + "," + csv_field(port_) + "," + std::to_string(adapter_) + "," + std::to_string(r.index) + "," +
           r.rom + "," + r.name + "," + r.temp + "," + celsius;
  }

  Options options_;
  std::string port_;
  int adapter_;
  std::string driver_;
  std::FILE* log_ = nullptr;
  bool header_done_ = false;
};

// Shows the component's own progress events on a terminal.
void attach_progress(Component& c, const Options& o) {
  if (o.format != Format::kTable || !is_terminal(stderr)) return;
  c.OnStartCommand([](TObject*) { std::fputs("\rconverting...", stderr); });
  c.OnStartRead([](TObject*) { std::fputs("\rreading...   ", stderr); });
}

void clear_progress(const Options& o) {
  if (o.format == Format::kTable && is_terminal(stderr)) std::fputs("\r\033[K", stderr);
}

// One measurement: true when at least one sensor was read. Temperatures of
// sensors not read in it are left empty.
bool measure(BusSession& session, std::string& error) {
  Component& c = session.c();
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
  session.run(&TQvDs18x20::TMEXGetTemp);
  c.OnStartRead(progress);
  error = got ? "" : explain(c.TMEXerror.str());
  return got;
}

int fail_with(const std::string& message) {
  std::fprintf(stderr, "qvds18x20: %s\n", message.c_str());
  return kExitFailed;
}

template <typename F>
int guarded(F&& body) {
  try {
    return body();
  } catch (const UsageError& e) {
    std::fprintf(stderr, "qvds18x20: %s\n", e.what());
    return kExitUsage;
  } catch (const DeviceFileError& e) {
    return fail_with(e.what());
  } catch (const Failure& e) {
    return fail_with(e.what());
  }
}

}  // namespace

void request_stop() { g_stop.store(true); }

int run_read(const Options& o) {
  return guarded([&] {
    BusSession session(o);
    attach_progress(session.c(), o);
    session.open();
    Printer printer(o, session.port_label(), session.adapter(), session.c().DriverVer());
    std::string error;
    const bool ok = measure(session, error);
    clear_progress(o);
    if (ok || o.format == Format::kJson) printer.measurement(rows_of(session.c()), error, false);
    if (!ok) return fail_with(error);
    return kExitOk;
  });
}

int run_list(const Options& o) {
  return guarded([&] {
    BusSession session(o);
    session.open();
    session.run(&TQvDs18x20::TMEXGetDSCount);
    Component& c = session.c();
    const std::string error = c.FSensorCount == 0 ? explain(c.TMEXerror.str()) : "";
    const auto rows = rows_of(c);
    switch (o.format) {
      case Format::kTable:
        if (!rows.empty()) std::printf("%-6s %-17s %s\n", "INDEX", "ROM", "NAME");
        for (const auto& r : rows) std::printf("%-6d %-17s %s\n", r.index, r.rom.c_str(), r.name.c_str());
        break;
      case Format::kCsv:
        std::printf("index,rom,name\n");
        for (const auto& r : rows) std::printf("%d,%s,%s\n", r.index, r.rom.c_str(), r.name.c_str());
        break;
      case Format::kJson: {
        json j;
        j["time"] = iso_time();
        j["port"] = session.port_label();
        j["adapter"] = session.adapter();
        j["driver"] = c.DriverVer();
        j["sensors"] = json::array();
        for (const auto& r : rows) j["sensors"].push_back({{"index", r.index}, {"rom", r.rom}, {"name", r.name}});
        j["error"] = error.empty() ? json(nullptr) : json(error);
        std::printf("%s\n", j.dump().c_str());
        break;
      }
    }
    if (c.FSensorOverflow)
      std::fprintf(stderr, "qvds18x20: more than %d devices on the bus; listed the first %d\n", kMaxSensors, kMaxSensors);
    if (rows.empty()) return fail_with(error);
    return kExitOk;
  });
}

int run_watch(const Options& o) {
  return guarded([&] {
    if (!(o.interval >= 0) || !std::isfinite(o.interval)) throw UsageError("--interval takes seconds, 0 or more");
    if (o.count < 0) throw UsageError("--count takes a number of rounds, 1 or more");
    BusSession session(o);
    attach_progress(session.c(), o);
    session.open();
    Printer printer(o, session.port_label(), session.adapter(), session.c().DriverVer());
    on_interrupt(&request_stop);
    int rounds = 0;
    int good = 0;
    while (!g_stop.load() && (o.count == 0 || rounds < o.count)) {
      const auto next = std::chrono::steady_clock::now() +
                        std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(o.interval));
      std::string error;
      const bool ok = measure(session, error);
      clear_progress(o);
      ++rounds;
      if (ok) ++good;
      if (ok || o.format == Format::kJson) printer.measurement(rows_of(session.c()), error, true);
      if (!ok) std::fprintf(stderr, "qvds18x20: %s\n", error.c_str());
      if (o.count != 0 && rounds >= o.count) break;
      // Between rounds the main thread keeps serving its queue.
      RunMessageLoop([&] { return g_stop.load() || std::chrono::steady_clock::now() >= next; });
    }
    return good > 0 ? kExitOk : kExitFailed;
  });
}

int run_ports(const Options&) {
  return guarded([&] {
    onewire::DriverGuard none(nullptr);  // listing ports needs no driver
    Component c(nullptr);
    TStringList ports;
    c.EnumComPorts(&ports);
    for (int i = 0; i < ports.Count(); ++i) {
      const std::string& name = ports[i];
      std::string path;
      if (is_com_name(name)) {
        if (auto p = onewire::serial::path_for_port(StrToIntDef(name.substr(3), 0))) path = *p;
      }
      std::printf("%-7s %s\n", name.c_str(), path.c_str());
    }
    const int usb = print_usb_ports();
    if (ports.Count() == 0 && usb == 0) std::fprintf(stderr, "qvds18x20: no serial ports or USB adapters found\n");
    return kExitOk;
  });
}

int run_version(const Options& o) {
  return guarded([&] {
    BusSession session(o);
    Component& c = session.c();
    std::printf("qvds18x20 %s\ncomponent %s\ndriver (adapter type %d): %s\ndriver active: %s\n", QVDS_TOOL_VERSION,
                c.Version().c_str(), session.adapter(), c.DriverVer().c_str(), c.DriverActive() ? "yes" : "no");
    return kExitOk;
  });
}

}  // namespace qvtool
