#include "qvds18x20/commands.hpp"

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "onewire/port_names.hpp"
#include "onewire/tmex_driver.hpp"
#include "qvds18x20/config_args.hpp"
#include "qvds18x20/config_file.hpp"
#include "qvds18x20/device_file.hpp"
#include "qvds18x20/exit_codes.hpp"
#include "qvds18x20/platform.hpp"
#include "qvds18x20/port_listing.hpp"
#include "qvds18x20/readings.hpp"
#include "qvds18x20/publish/publish.hpp"
#include "rtl/messages.hpp"
#include "rtl/sysutils.hpp"

namespace qvtool {
namespace {

RowSettings row_settings(const Options& o) {
  RowSettings settings;
  settings.id_format = o.id_format;
  settings.sensors = o.config.sensors;
  return settings;
}

Source source_of(BusSession& session) {
  return {session.port_label(), session.adapter(), session.component().DriverVer(), session.simulated()};
}

// Publishing the demonstration devices would put made-up temperatures
// into real pipelines: only an explicit --sim may.
void refuse_publishing_the_implicit_bus(const Options& o) {
  if (o.port_given || o.sim) return;
  const PublishOptions& p = o.publish;
  const char* option = !p.mqtt_url.empty()          ? "--mqtt"
                       : !p.prometheus_file.empty() ? "--prometheus-file"
                       : !p.metrics_listen.empty()  ? "--metrics-listen"
                                                    : nullptr;
  if (option != nullptr)
    throw UsageError(std::string(option) +
                     " without --port would publish the simulated bus's demonstration devices as measurements; "
                     "give --port, or --sim to publish the simulated bus on purpose");
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

std::string sensor_text(const SensorRow& r) {
  return "sensor " + std::to_string(r.index) + " (" + r.rom + ", " + r.model + (r.label.empty() ? "" : ", " + r.label) +
         ")";
}

// What a measurement's rows leave out, said on standard error as well.
Notes notes_of(BusSession& session, const std::vector<SensorRow>& rows, bool measured) {
  Notes notes;
  notes.more_devices = session.more_devices();
  if (notes.more_devices)
    notes.warnings.push_back("more than " + std::to_string(kMaxSensors) + " devices on the bus; only the first " +
                             std::to_string(kMaxSensors) + " are listed");
  // Once a session: parasite sensors this adapter cannot feed.
  if (const std::string unfed = session.unfed_warning(); !unfed.empty()) notes.warnings.push_back(unfed);
  if (measured)
    for (const auto& r : rows) {
      if (!r.thermometer) continue;
      if (!r.celsius)
        notes.warnings.push_back(sensor_text(r) + " was not read: " + (r.reason.empty() ? "no answer" : r.reason));
      else if (!r.reason.empty())
        notes.warnings.push_back(sensor_text(r) + ": " + r.reason);
    }
  return notes;
}

void print_warnings(const Notes& notes) {
  for (const auto& w : notes.warnings) std::fprintf(stderr, "qvds18x20: warning: %s\n", w.c_str());
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
  const auto rows = rows_of(session.component(), row_settings(o), true);
  const Notes notes = notes_of(session, rows, ok);
  if (ok || o.format == Format::kJson) output.write(rows, error, notes, time);
  if (ok) print_warnings(notes);
  if (!publishers.empty()) publishers.publish({rows, error, when, output.json_text(rows, error, notes, time)});
  return ok;
}

// Opens the session; with --format json a session that does not open is
// still one object on standard output, with the reason and the driver's
// result code, so that a machine reading the output learns why too.
void open_session(BusSession& session, const Options& o, Content content) {
  try {
    session.open();
  } catch (const Failure& e) {
    if (o.format == Format::kJson) {
      Notes notes;
      notes.code = session.component().LastResult();
      Output(Format::kJson, content, source_of(session)).write({}, e.what(), notes);
    }
    throw;
  }
}

// The ROMs of the sensors read in this measurement.
std::set<std::string> read_roms(Component& c, const Options& o) {
  std::set<std::string> roms;
  for (const auto& r : rows_of(c, row_settings(o), true))
    if (r.celsius) roms.insert(r.romstr);
  return roms;
}

}  // namespace

// The simulated bus serves whoever runs the tool without a port; its
// demonstration devices must not pass for a real bus unnoticed.
void say_if_simulated(const Options& o) {
  // A configuration that names no bus is refused first (bus_choice).
  if (!o.config_file.empty()) return;
  if (!o.port_given && !o.sim)
    std::fprintf(stderr, "qvds18x20: no --port given: this is the simulated bus and its demonstration devices\n");
}

int run_command(Command command, const Options& o) {
  try {
    return command(o);
  } catch (const UsageError& e) {
    std::fprintf(stderr, "qvds18x20: %s\n", with_origin(e.what(), o.origins).c_str());
    return kExitUsage;
  } catch (const DeviceFileError& e) {
    if (o.format == Format::kJson && !json_written())
      Output(Format::kJson, Content::kReadings, Source{"COM1", 0, "", true}).write({}, e.what(), Notes{});
    std::fprintf(stderr, "qvds18x20: %s\n", e.what());
    return kExitFailed;
  } catch (const ConfigError& e) {
    std::fprintf(stderr, "qvds18x20: %s\n", e.what());
    return kExitUsage;
  } catch (const Failure& e) {
    // A machine reading JSON gets the failure as JSON too.
    if (o.format == Format::kJson && !json_written()) {
      Source source{o.port.empty() ? "COM1" : o.port, 0, "", !o.port_given || o.sim};
      Output(Format::kJson, Content::kReadings, source).write({}, e.what(), Notes{});
    }
    std::fprintf(stderr, "qvds18x20: %s\n", e.what());
    return kExitFailed;
  }
}

int run_read(const Options& o) {
  // Options that cannot be used fail before the bus is opened.
  refuse_publishing_the_implicit_bus(o);
  Publishers::check(o.publish, Lifetime::kOnce);
  say_if_simulated(o);
  BusSession session(bus_choice(o));
  if (interrupt_requested()) throw Failure("interrupted");
  attach_progress(session.component(), o);
  open_session(session, o, Content::kReadings);
  Output output(o.format, Content::kReadings, source_of(session), o.log_file);
  Publishers publishers(o.publish, source_of(session), Lifetime::kOnce);
  std::string error;
  const bool ok = measure_and_write(session, output, o, error, publishers);
  publishers.finish();
  if (!ok) throw Failure(error);
  return kExitOk;
}

int run_list(const Options& o) {
  say_if_simulated(o);
  BusSession session(bus_choice(o));
  open_session(session, o, Content::kDevices);
  const std::string error = session.list();
  const auto rows = rows_of(session.component(), row_settings(o), false);
  // Nothing on standard output for a command that fails.
  if (rows.empty()) throw Failure(error);
  const Notes notes = notes_of(session, rows, false);
  Output(o.format, Content::kDevices, source_of(session)).write(rows, error, notes);
  print_warnings(notes);
  return kExitOk;
}

int run_watch(const Options& o) {
  const WatchPlan plan = watch_plan(o);
  refuse_publishing_the_implicit_bus(o);
  Publishers::check(o.publish, Lifetime::kContinuous);
  say_if_simulated(o);
  BusSession session(bus_choice(o));
  attach_progress(session.component(), o);
  open_session(session, o, Content::kReadingsOverTime);
  Output output(o.format, Content::kReadingsOverTime, source_of(session), o.log_file);
  Publishers publishers(o.publish, source_of(session), Lifetime::kContinuous);
  const auto interval =
      std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(plan.interval));
  // Rounds start on a fixed schedule from the first, so the time each
  // takes does not add up; a round that overran starts the next at once.
  auto next = std::chrono::steady_clock::now();
  long rounds = 0;
  int good = 0;
  std::set<std::string> seen_last;
  while (!interrupt_requested() && (plan.count == 0 || rounds < plan.count)) {
    next += interval;
    if (next < std::chrono::steady_clock::now()) next = std::chrono::steady_clock::now();
    std::string error;
    std::vector<std::string> missing_notes;
    bool ok = false;
    {
      // A sensor read last round and not now: the list may be stale (a
      // device replaced, a session reopened), so the bus is searched again
      // before the round is reported.
      Component& c = session.component();
      std::string probe_error;
      const bool probe_ok = session.measure(probe_error);
      std::set<std::string> now = probe_ok ? read_roms(c, o) : std::set<std::string>{};
      bool missing = false;
      for (const auto& rom : seen_last) missing = missing || now.count(rom) == 0;
      if (missing && !interrupt_requested()) {
        session.list();
        ok = session.measure(error);
        now = ok ? read_roms(c, o) : std::set<std::string>{};
        for (const auto& rom : seen_last)
          if (now.count(rom) == 0)
            missing_notes.push_back("sensor " + rom + " was read in the last round and is missing now (searched again)");
      } else {
        ok = probe_ok;
        error = probe_error;
      }
      clear_progress(o);
      const auto when = std::chrono::system_clock::now();
      const std::string time = iso_time(when);
      const auto rows = rows_of(c, row_settings(o), true);
      Notes notes = notes_of(session, rows, ok);
      notes.warnings.insert(notes.warnings.end(), missing_notes.begin(), missing_notes.end());
      if (ok || o.format == Format::kJson) output.write(rows, error, notes, time);
      print_warnings(notes);
      // Publishers get every measurement, failed ones too.
      if (!publishers.empty()) publishers.publish({rows, error, when, output.json_text(rows, error, notes, time)});
      if (ok) seen_last = now;
    }
    ++rounds;
    if (ok) {
      ++good;
      // Interrupted from now on, the run has results to show for itself.
      session.set_interrupted_exit_code(kExitOk);
    }
    if (!ok) std::fprintf(stderr, "qvds18x20: %s\n", error.c_str());
    if (plan.count != 0 && rounds >= plan.count) break;
    // Between rounds the main thread keeps serving its queue.
    RunMessageLoop([&] { return interrupt_requested() || std::chrono::steady_clock::now() >= next; });
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
    // A COM name's device, as the driver would open it.
    const auto port = onewire::resolve_port(name, onewire::PortForm::kSerial).port;
    const std::string path = port && port->form == onewire::PortForm::kSerial ? port->device : "";
    std::printf("%-7s %s\n", name.c_str(), path.c_str());
  }
  const int others = print_adapter_ports();
  if (ports.Count() == 0 && others == 0) std::fprintf(stderr, "qvds18x20: no %s found\n", every_port_kind().c_str());
  return kExitOk;
}

int run_version(const Options& o) {
  BusSession session(bus_choice(o));
  Component& c = session.component();
  std::printf("qvds18x20 %s\ncomponent %s\ndriver (adapter type %d): %s\ndriver active: %s\n", QVDS_TOOL_VERSION,
              c.Version().c_str(), session.adapter(), c.DriverVer().c_str(), c.DriverActive() ? "yes" : "no");
  if (!o.port.empty() && !o.sim) {
    // The rate is the adapter's, known once a session has detected it.
    session.open();
    std::printf("serial rate: %d baud\n", session.serial_baud());
  }
  return kExitOk;
}

}  // namespace qvtool
