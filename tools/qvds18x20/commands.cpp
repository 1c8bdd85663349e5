#include "qvds18x20/commands.hpp"

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <vector>

#include "onewire/serial/port_map.hpp"
#include "onewire/tmex_driver.hpp"
#include "qvds18x20/device_file.hpp"
#include "qvds18x20/exit_codes.hpp"
#include "qvds18x20/platform.hpp"
#include "qvds18x20/publish/publish.hpp"
#include "rtl/messages.hpp"
#include "rtl/sysutils.hpp"

namespace qvtool {
namespace {

std::atomic<bool> g_stop{false};

// From a signal handler: stop after the current measurement.
void request_stop() { g_stop.store(true); }

std::vector<SensorRow> rows_of(Component& c) {
  std::vector<SensorRow> rows;
  for (int i = 0; i < c.SensorListCount(); ++i) {
    const TSensor* s = c.sensor(i);
    if (s != nullptr) rows.push_back({i, s->romstr, s->name, s->temp});
  }
  return rows;
}

Source source_of(BusSession& session) {
  return {session.port_label(), session.adapter(), session.component().DriverVer()};
}

// Progress belongs on a terminal next to a table; piped or machine-read
// output holds only the results.
bool shows_progress(const Options& o) { return o.format == Format::kTable && is_terminal(stderr); }

// Shows the component's own progress events.
void attach_progress(Component& c, const Options& o) {
  if (!shows_progress(o)) return;
  c.OnStartCommand([](TObject*) { std::fputs("\rconverting...", stderr); });
  c.OnStartRead([](TObject*) { std::fputs("\rreading...   ", stderr); });
}

void clear_progress(const Options& o) {
  if (shows_progress(o)) std::fputs("\r\033[K", stderr);
}

// One measurement, printed: true when at least one sensor was read, else
// `error` says why. JSON reports a failed measurement too; the other
// formats leave that to the message on standard error.
// Publishers get every measurement, failed ones too.
bool measure_and_write(BusSession& session, Output& output, const Options& o, std::string& error,
                       Publishers& publishers) {
  const bool ok = session.measure(error);
  clear_progress(o);
  const auto when = std::chrono::system_clock::now();
  const std::string time = iso_time(when);
  const auto rows = rows_of(session.component());
  if (ok || o.format == Format::kJson) output.write(rows, error, time);
  if (!publishers.empty()) publishers.publish({rows, error, when, output.json_text(rows, error, time)});
  return ok;
}

}  // namespace

int run_command(Command command, const Options& o) {
  try {
    return command(o);
  } catch (const UsageError& e) {
    std::fprintf(stderr, "qvds18x20: %s\n", e.what());
    return kExitUsage;
  } catch (const DeviceFileError& e) {
    std::fprintf(stderr, "qvds18x20: %s\n", e.what());
    return kExitFailed;
  } catch (const Failure& e) {
    std::fprintf(stderr, "qvds18x20: %s\n", e.what());
    return kExitFailed;
  }
}

int run_read(const Options& o) {
  BusSession session(bus_choice(o));
  attach_progress(session.component(), o);
  session.open();
  Output output(o.format, Content::kReadings, source_of(session), o.log_file);
  Publishers publishers(o.publish, source_of(session), Lifetime::kOnce);
  std::string error;
  const bool ok = measure_and_write(session, output, o, error, publishers);
  publishers.finish();
  if (!ok) throw Failure(error);
  return kExitOk;
}

int run_list(const Options& o) {
  BusSession session(bus_choice(o));
  session.open();
  const std::string error = session.list();
  const auto rows = rows_of(session.component());
  Output(o.format, Content::kDevices, source_of(session)).write(rows, error);
  if (session.component().FSensorOverflow)
    std::fprintf(stderr, "qvds18x20: more than %d devices on the bus; listed the first %d\n", kMaxSensors, kMaxSensors);
  if (rows.empty()) throw Failure(error);
  return kExitOk;
}

int run_watch(const Options& o) {
  if (!(o.interval >= 0) || !std::isfinite(o.interval)) throw UsageError("--interval takes seconds, 0 or more");
  if (o.count < 0) throw UsageError("--count takes a number of rounds, 1 or more");
  BusSession session(bus_choice(o));
  attach_progress(session.component(), o);
  session.open();
  Output output(o.format, Content::kReadingsOverTime, source_of(session), o.log_file);
  Publishers publishers(o.publish, source_of(session), Lifetime::kContinuous);
  on_interrupt(&request_stop);
  const auto interval =
      std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(o.interval));
  int rounds = 0;
  int good = 0;
  while (!g_stop.load() && (o.count == 0 || rounds < o.count)) {
    const auto next = std::chrono::steady_clock::now() + interval;
    std::string error;
    const bool ok = measure_and_write(session, output, o, error, publishers);
    ++rounds;
    if (ok) ++good;
    if (!ok) std::fprintf(stderr, "qvds18x20: %s\n", error.c_str());
    if (o.count != 0 && rounds >= o.count) break;
    // Between rounds the main thread keeps serving its queue.
    RunMessageLoop([&] { return g_stop.load() || std::chrono::steady_clock::now() >= next; });
  }
  publishers.finish();
  return good > 0 ? kExitOk : kExitFailed;
}

int run_ports(const Options&) {
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
  if (ports.Count() == 0) std::fprintf(stderr, "qvds18x20: no serial ports found\n");
  return kExitOk;
}

int run_version(const Options& o) {
  BusSession session(bus_choice(o));
  Component& c = session.component();
  std::printf("qvds18x20 %s\ncomponent %s\ndriver (adapter type %d): %s\ndriver active: %s\n", QVDS_TOOL_VERSION,
              c.Version().c_str(), session.adapter(), c.DriverVer().c_str(), c.DriverActive() ? "yes" : "no");
  return kExitOk;
}

}  // namespace qvtool
