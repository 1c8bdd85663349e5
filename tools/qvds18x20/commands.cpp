#include "qvds18x20/commands.hpp"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "onewire/adapters.hpp"
#include "onewire/ds18x20/doctor_rules.hpp"
#include "onewire/port_names.hpp"
#include "qvds18x20/config_args.hpp"
#include "qvds18x20/config_file.hpp"
#include "qvds18x20/device_file.hpp"
#include "qvds18x20/exit_codes.hpp"
#include "qvds18x20/platform.hpp"
#include "qvds18x20/port_listing.hpp"
#include "qvds18x20/publish/publish.hpp"
#include "qvds18x20/readings.hpp"
#include "qvds18x20/report.hpp"
#include "qvds18x20/sensor_checks.hpp"
#include "qvds18x20/service_notify.hpp"
#include "rtl/sysutils.hpp"

namespace qvtool {
namespace {

// The shortest expire_after watch gives Home Assistant, in seconds:
// rounds back to back must not flicker between a value and none.
constexpr double kMinExpireAfter = 30;

RowSettings row_settings(const Options& o) {
  RowSettings settings;
  settings.id_format = o.id_format;
  settings.sensors = o.config.sensors;
  return settings;
}

std::vector<Source> sources_of(const BusSet& set) {
  std::vector<Source> sources;
  for (const OpenedBus& b : set.buses())
    sources.push_back({b.port_label, b.adapter, b.driver, b.simulated, b.label, b.key, b.error});
  return sources;
}

// The source of the command line's one bus, before anything is open: for
// a failure's JSON object.
Source fallback_source(const Options& o) {
  return Source{o.port.empty() ? "COM1" : o.port, 0, "", !o.port_given || o.sim, "", "", ""};
}

// Publishing the demonstration devices would put made-up temperatures
// into real pipelines: only an explicit --sim (or a configured bus) may.
void refuse_publishing_the_implicit_bus(const Options& o) {
  if (o.port_given || o.sim || !o.config.buses.empty()) return;
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

void show_progress(const Options& o, const char* what) {
  if (shows_progress(o)) std::fprintf(stderr, "\r%s", what);
}

void clear_progress(const Options& o) {
  if (shows_progress(o)) std::fputs("\r\033[K", stderr);
}

void print_warnings(const Notes& notes) {
  for (const auto& w : notes.warnings) report(Severity::kWarning, "warning: " + w);
}

// The sensors `read` was asked for, as ROMs: each in any ROM form, or a
// name the configuration gives.
std::vector<onewire::Rom> named_sensors(const Options& o, const std::vector<std::string>& texts) {
  std::vector<onewire::Rom> roms;
  for (const std::string& text : texts) {
    std::optional<onewire::Rom> rom;
    for (const auto& [r, s] : o.config.sensors)
      if (!s.name.empty() && s.name == text) rom = r;
    std::string why;
    if (!rom) rom = parse_rom_id(text, &why);
    if (!rom)
      throw UsageError("\"" + shorten(text) + "\" is neither a ROM nor a sensor named in the configuration (" + why +
                       ")");
    if (std::find(roms.begin(), roms.end(), *rom) == roms.end()) roms.push_back(*rom);
  }
  return roms;
}

// Why a bus gave no readings, in words: its error, or what became of its
// thermometers.
std::string bus_failure(const OpenedBus& b, const qvds::Result<qvds::Measurement>& r,
                        const std::vector<SensorRow>& rows) {
  if (!b.error.empty()) return b.error;
  if (!r) {
    if (r.error() == qvds::Errc::kNoDevices) return "measuring on " + b.label + " failed: no devices found on the bus";
    return "measuring on " + b.label + " failed: " + r.message();
  }
  if (r->read_count() > 0) return "";
  int thermometers = 0;
  std::vector<std::pair<std::string, std::vector<std::string>>> reasons;
  for (const SensorRow& row : rows) {
    if (row.bus != b.label || !row.thermometer) continue;
    ++thermometers;
    auto it = std::find_if(reasons.begin(), reasons.end(), [&](const auto& e) { return e.first == row.reason; });
    if (it == reasons.end()) it = reasons.insert(reasons.end(), {row.reason, {}});
    it->second.push_back(row.rom);
  }
  if (thermometers == 0)
    return "measuring on " + b.label + " failed: the bus has " + std::to_string(r->readings.size()) +
           " device(s) but no thermometer";
  std::string text;
  for (const auto& [why, roms] : reasons) {
    if (!text.empty()) text += "; ";
    for (std::size_t k = 0; k < roms.size(); ++k) text += (k == 0 ? "" : ", ") + roms[k];
    text += ": " + (why.empty() ? std::string("no answer") : why);
  }
  return "measuring on " + b.label + " failed: none of the " + std::to_string(thermometers) +
         " thermometer(s) was read (" + text + ")";
}

// One round of every bus as the outputs take it.
struct Round {
  std::vector<SensorRow> rows;
  std::string error;  // when no bus read any sensor: why, bus by bus
  Notes notes;
  bool ok = false;              // at least one sensor was read
  bool bus_failed = false;      // a bus gave nothing
  bool out_of_bounds = false;   // a value outside its sensor's bounds
  std::chrono::system_clock::time_point when;
};

// What the runs of a command remember between rounds: warnings said once.
struct RunMemory {
  std::set<std::string> missing_said;  // configured sensors said to be missing
  std::set<std::string> unfed_said;    // buses whose unfed parasite sensors were named
};

Round make_round(BusSet& set, const std::vector<qvds::Result<qvds::Measurement>>& results, const Options& o,
                 RunMemory& memory, const std::vector<onewire::Rom>& named) {
  Round round;
  round.when = std::chrono::system_clock::now();
  const RowSettings settings = row_settings(o);
  round.rows = round_rows(set.buses(), results, settings);
  // Sensors named on the command line that no bus has.
  for (const onewire::Rom& rom : named) {
    const std::string romstr = format_rom(rom, IdFormat::kQvds);
    if (std::any_of(round.rows.begin(), round.rows.end(), [&](const SensorRow& r) { return r.romstr == romstr; }))
      continue;
    SensorRow r;
    r.index = -1;
    r.romstr = romstr;
    r.rom = format_rom(rom, o.id_format);
    r.model = r.name = model_name(rom[0]);
    r.thermometer = onewire::ds18x20::is_thermometer(rom[0]);
    r.status = qvds::status_name(qvds::ReadStatus::kNotSelected);
    r.reason = "it is on none of the buses";
    r.power = "unknown";
    if (const auto it = o.config.sensors.find(rom); it != o.config.sensors.end()) r.label = it->second.name;
    round.rows.push_back(std::move(r));
  }
  // The configuration's sensors that no bus has (all of them, unless
  // sensors were named).
  if (named.empty()) {
    auto missing = missing_rows(round.rows, o.config.sensors, o.id_format);
    round.rows.insert(round.rows.end(), missing.begin(), missing.end());
  }
  const bool several = set.buses().size() > 1;
  std::vector<std::string> failures;
  for (std::size_t i = 0; i < set.buses().size(); ++i) {
    const OpenedBus& b = set.buses()[i];
    const std::string why = bus_failure(b, results[i], round.rows);
    round.notes.bus_errors.push_back(why);
    if (!why.empty()) {
      failures.push_back(why);
      round.bus_failed = true;
      if (!round.notes.code && b.code) round.notes.code = b.code;
      if (!round.notes.code && !results[i] && results[i].failure().driver_code != 0)
        round.notes.code = results[i].failure().driver_code;
    }
    // Once a run: parasite sensors this bus's adapter cannot feed.
    if (results[i] && memory.unfed_said.count(b.label) == 0) {
      std::vector<std::string> unfed;
      for (const qvds::Reading& r : results[i]->readings)
        if (r.power == qvds::PowerSupply::kParasiteUnfed) unfed.push_back(format_rom(r.rom, o.id_format));
      if (!unfed.empty()) {
        memory.unfed_said.insert(b.label);
        std::string roms;
        for (std::size_t k = 0; k < unfed.size(); ++k) roms += (k == 0 ? "" : ", ") + unfed[k];
        round.notes.warnings.push_back(
            std::to_string(unfed.size()) + " parasite-powered sensor(s) (" + roms + ") on " + b.label +
            ", whose adapter has no strong pull-up: they cannot convert and will not be read; power them from VDD "
            "(3 to 5.5 V), or use a DS2480B, DS2490 or DS2482 adapter");
      }
    }
  }
  for (auto& w : missing_warnings(round.rows, memory.missing_said)) round.notes.warnings.push_back(std::move(w));
  for (const auto& r : round.rows) {
    round.ok = round.ok || (r.thermometer && r.celsius.has_value());
    round.out_of_bounds = round.out_of_bounds || out_of_bounds(r);
  }
  if (!round.ok) {
    for (const auto& f : failures) round.error += (round.error.empty() ? "" : "; ") + f;
    if (round.error.empty()) round.error = "no sensor was read";
  } else {
    // A bus that gave nothing while others did is news, not the end.
    for (const auto& f : failures) round.notes.warnings.push_back(f);
    for (const auto& r : round.rows) {
      if (!r.thermometer || r.status == kMissing) continue;
      if (!r.celsius)
        round.notes.warnings.push_back(sensor_text(r, several) + " was not read: " +
                                       (r.reason.empty() ? "no answer" : r.reason));
      else if (!r.reason.empty())
        round.notes.warnings.push_back(sensor_text(r, several) + ": " + r.reason);
    }
  }
  return round;
}

// A round written to every output; publishers get every one, failed ones
// too.
void write_round(const Round& round, Output& output, const Options& o, Publishers& publishers, BusSet& set) {
  const std::string time = iso_time(round.when);
  if (round.ok || o.format == Format::kJson) output.write(round.rows, round.error, round.notes, time);
  if (!publishers.empty()) {
    Measurement m{round.rows, sources_of(set), round.error, round.when,
                  output.json_text(round.rows, round.error, round.notes, time)};
    for (std::size_t i = 0; i < m.buses.size() && i < round.notes.bus_errors.size(); ++i)
      m.buses[i].error = round.notes.bus_errors[i];
    publishers.publish(m);
  }
}

// Opens every bus; with --format json, buses none of which opens are
// still one object on standard output, with the reasons and the driver's
// result code, so that a machine reading the output learns why too.
void open_buses(BusSet& set, const Options& o, Content content) {
  if (set.open()) {
    for (const OpenedBus& b : set.buses())
      if (!b.error.empty()) report(Severity::kError, b.error);
    return;
  }
  std::string why;
  Notes notes;
  for (const OpenedBus& b : set.buses()) {
    why += (why.empty() ? "" : "; ") + b.error;
    notes.bus_errors.push_back(b.error);
    if (!notes.code && b.code) notes.code = b.code;
  }
  if (o.format == Format::kJson) Output(Format::kJson, content, sources_of(set)).write({}, why, notes);
  throw Failure(why);
}

// What each bus measures: every device, or those of the sensors named.
std::vector<qvds::MeasureOptions> measure_options(const BusSet& set, const std::vector<onewire::Rom>& named,
                                                  bool search) {
  std::vector<qvds::MeasureOptions> what(set.buses().size());
  for (auto& w : what) {
    w.only = named;
    w.skip_unknown = !named.empty() && set.buses().size() > 1;
    w.search = search;
  }
  return what;
}

// The most one call on one sensor may take (a save to EEPROM on a slow
// adapter takes well under a second).
qvds::CallOptions sensor_call() {
  qvds::CallOptions call;
  call.timeout = kOperationDeadline;
  return call;
}

// A whole number an option takes, checked; nothing when not given.
std::optional<int> whole_option(const std::string& text, const char* option, int low, int high) {
  if (text.empty()) return std::nullopt;
  int value = 0;
  const char* end = text.data() + text.size();
  const auto [at, ec] = std::from_chars(text.data(), end, value);
  if (ec != std::errc() || at != end || value < low || value > high)
    throw UsageError(std::string(option) + " takes a whole number from " + std::to_string(low) + " to " +
                     std::to_string(high) + ", not \"" + shorten(text) + "\"");
  return value;
}

// The configuration's resolution and thresholds, put into the scratchpad
// of each sensor it names that a bus has (never into EEPROM: that is
// `settings --save`). What a sensor does not take is a warning; the
// round reads it as it is.
void apply_configured_settings(BusSet& set, const Options& o) {
  const bool any = std::any_of(o.config.sensors.begin(), o.config.sensors.end(), [](const auto& e) {
    return e.second.resolution || e.second.alarm_low || e.second.alarm_high;
  });
  if (!any) return;
  const auto found = set.search();
  for (std::size_t i = 0; i < found.size(); ++i) {
    if (!found[i]) continue;  // the round says why
    OpenedBus& b = set.buses()[i];
    for (const qvds::Device& d : *found[i]) {
      const auto it = o.config.sensors.find(d.rom);
      if (it == o.config.sensors.end()) continue;
      qvds::SettingsChange change;
      change.resolution = it->second.resolution;
      change.alarm_low = it->second.alarm_low;
      change.alarm_high = it->second.alarm_high;
      if (change.empty()) continue;
      const auto done = b.bus.change_settings(d.rom, change, sensor_call());
      if (!done)
        report(Severity::kWarning, "warning: " + it->second.where + ": the settings of sensor " +
                                       format_rom(d.rom, o.id_format) + " on " + b.label +
                                       " were not applied: " + done.message());
    }
  }
}

// list: a DS18B20's family as one scratchpad read tells it (the ROM and
// the power-up bytes; no write, no conversion); "unknown" where that
// leaves several.
std::string family_of(qvds::Bus& bus, const qvds::Device& d) {
  if (d.rom[0] != 0x28) return "";
  const auto latest = bus.read_latest(d.rom, sensor_call());
  if (!latest || !latest->has_scratchpad) return "unknown";
  const auto verdict = onewire::ds18x20::quick_family(d.rom, latest->scratchpad, latest->power);
  return onewire::ds18x20::clone_family_name(verdict.family);
}

}  // namespace

// The simulated bus serves whoever runs the tool without a port; its
// demonstration devices must not pass for a real bus unnoticed.
void say_if_simulated(const Options& o) {
  // A configuration that names no bus is refused first (bus_choices).
  if (!o.config_file.empty()) return;
  if (!o.port_given && !o.sim)
    report(Severity::kWarning, "no --port given: this is the simulated bus and its demonstration devices");
}

int run_command(Command command, const Options& o) {
  try {
    return command(o);
  } catch (const UsageError& e) {
    report(Severity::kError, with_origin(e.what(), o.origins));
    return kExitUsage;
  } catch (const DeviceFileError& e) {
    if (o.format == Format::kJson && !json_written())
      Output(Format::kJson, Content::kReadings, Source{"COM1", 0, "", true, "", "", ""}).write({}, e.what(), Notes{});
    report(Severity::kError, e.what());
    return kExitFailed;
  } catch (const ConfigError& e) {
    report(Severity::kError, e.what());
    return kExitUsage;
  } catch (const Failure& e) {
    // A machine reading JSON gets the failure as JSON too.
    if (o.format == Format::kJson && !json_written())
      Output(Format::kJson, Content::kReadings, fallback_source(o)).write({}, e.what(), Notes{});
    report(Severity::kError, with_origin(e.what(), o.origins));
    return kExitFailed;
  }
}

int run_read(const Options& o) {
  // Options that cannot be used fail before the bus is opened.
  refuse_publishing_the_implicit_bus(o);
  Publishers::check(o.publish, Lifetime::kOnce);
  const std::vector<onewire::Rom> named = named_sensors(o, o.sensors);
  say_if_simulated(o);
  BusSet set(bus_choices(o));
  if (interrupt_requested()) throw Failure("interrupted");
  open_buses(set, o, Content::kReadings);
  Output output(o.format, Content::kReadings, sources_of(set), o.log_file);
  Publishers publishers(o.publish, sources_of(set), Lifetime::kOnce);
  apply_configured_settings(set, o);
  show_progress(o, "measuring...");
  const auto results = set.measure(measure_options(set, named, false));
  clear_progress(o);
  RunMemory memory;
  const Round round = make_round(set, results, o, memory, named);
  write_round(round, output, o, publishers, set);
  if (round.ok) print_warnings(round.notes);
  publishers.finish();
  if (!round.ok) throw Failure(round.error);
  if (round.bus_failed) return kExitFailed;
  return round.out_of_bounds ? kExitOutOfBounds : kExitOk;
}

int run_list(const Options& o) {
  say_if_simulated(o);
  BusSet set(bus_choices(o));
  open_buses(set, o, Content::kDevices);
  const auto found = set.search();
  const RowSettings settings = row_settings(o);
  std::vector<SensorRow> rows;
  std::string error;
  Notes notes;
  int index = 0;
  for (std::size_t i = 0; i < found.size(); ++i) {
    const OpenedBus& b = set.buses()[i];
    std::string why = b.error;
    if (why.empty() && !found[i])
      why = "searching " + b.label + " failed: " +
            (found[i].error() == qvds::Errc::kNoDevices ? std::string("no devices found on the bus") : found[i].message());
    if (!why.empty()) {
      error += (error.empty() ? "" : "; ") + why;
      if (!notes.code && !found[i] && found[i].failure().driver_code != 0) notes.code = found[i].failure().driver_code;
      continue;
    }
    for (const qvds::Device& d : *found[i]) {
      rows.push_back(device_row(d, b, settings, index++));
      rows.back().family = family_of(set.buses()[i].bus, d);
    }
  }
  // Nothing on standard output for a command that fails.
  if (rows.empty()) throw Failure(error);
  if (!error.empty()) notes.warnings.push_back(error);
  // A configured sensor not on the bus is no device of the list, but
  // worth a word.
  std::set<std::string> warned;
  for (auto& w : missing_warnings(missing_rows(rows, o.config.sensors, o.id_format), warned))
    notes.warnings.push_back(std::move(w));
  Output(o.format, Content::kDevices, sources_of(set)).write(rows, "", notes);
  print_warnings(notes);
  return error.empty() ? kExitOk : kExitFailed;
}

int run_watch(const Options& given) {
  Options o = given;
  // A service's output is the journal: a table there every interval would
  // bury what it says. The log and the publishers get every round.
  if (!o.format_given && is_journal(stdout)) o.format = Format::kNone;
  const WatchPlan plan = watch_plan(o);
  refuse_publishing_the_implicit_bus(o);
  // A value older than three rounds (half a minute at least) is no
  // longer current: a run stuck with its connection up shows as such.
  PublishOptions publish = o.publish;
  publish.expire_after = static_cast<int>(std::max(kMinExpireAfter, std::ceil(3 * plan.interval)));
  Publishers::check(publish, Lifetime::kContinuous);
  say_if_simulated(o);
  BusSet set(bus_choices(o));
  open_buses(set, o, Content::kReadingsOverTime);
  Output output(o.format, Content::kReadingsOverTime, sources_of(set), o.log_file);
  Publishers publishers(publish, sources_of(set), Lifetime::kContinuous);
  // Once, at the start: a sensor that powers up later holds its EEPROM's
  // settings until the next start (settings --save stores them for good).
  apply_configured_settings(set, o);
  notify_ready();
  const auto interval =
      std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(plan.interval));
  // Rounds start on a fixed schedule from the first, so the time each
  // takes does not add up; a round that overran starts the next at once.
  auto next = std::chrono::steady_clock::now();
  long rounds = 0;
  int good = 0;
  RunMemory memory;
  // What each bus read in the last round that read it.
  std::vector<std::set<onewire::Rom>> seen_last(set.buses().size());
  bool search_next = false;  // a configured sensor missing: search again first
  while (!interrupt_requested() && (plan.count == 0 || rounds < plan.count)) {
    next += interval;
    if (next < std::chrono::steady_clock::now()) next = std::chrono::steady_clock::now();
    // A bus that did not open (or went away) is tried again each round.
    set.open();
    show_progress(o, "measuring...");
    auto results = set.measure(measure_options(set, {}, search_next));
    // A round cut short by a signal is no round: the run ends with the
    // rounds it has.
    if (interrupt_requested()) {
      clear_progress(o);
      break;
    }
    // A sensor read last round and not now: the list may be stale (a
    // device replaced), so the bus is searched again before the round is
    // reported.
    std::vector<std::string> missing_notes;
    for (std::size_t i = 0; i < results.size(); ++i) {
      if (!results[i] || interrupt_requested()) continue;
      std::set<onewire::Rom> now;
      for (const auto& r : results[i]->readings)
        if (r.ok()) now.insert(r.rom);
      bool lost = false;
      for (const auto& rom : seen_last[i]) lost = lost || now.count(rom) == 0;
      if (!lost || results[i]->searched) continue;
      qvds::MeasureOptions again;
      again.search = true;
      qvds::CallOptions call;
      call.timeout = kOperationDeadline;
      auto retry = set.buses()[i].bus.measure(again, call);
      if (retry) {
        results[i] = std::move(retry);
        now.clear();
        for (const auto& r : results[i]->readings)
          if (r.ok()) now.insert(r.rom);
      }
      for (const auto& rom : seen_last[i])
        if (now.count(rom) == 0)
          missing_notes.push_back("sensor " + format_rom(rom, o.id_format) + " on " + set.buses()[i].label +
                                  " was read in the last round and is missing now (searched again)");
    }
    clear_progress(o);
    Round round = make_round(set, results, o, memory, {});
    // A round that read nothing (the adapter gone) is its error's one
    // line: every sensor missing from it says nothing more.
    if (round.ok) round.notes.warnings.insert(round.notes.warnings.end(), missing_notes.begin(), missing_notes.end());
    write_round(round, output, o, publishers, set);
    print_warnings(round.notes);
    search_next = false;
    for (std::size_t i = 0; i < results.size(); ++i) {
      if (!results[i]) continue;
      std::set<onewire::Rom> now;
      for (const auto& r : results[i]->readings)
        if (r.ok()) now.insert(r.rom);
      if (!now.empty()) seen_last[i] = std::move(now);
    }
    for (const auto& r : round.rows) search_next = search_next || r.status == kMissing;
    int read = 0, thermometers = 0;
    for (const auto& r : round.rows) {
      thermometers += r.thermometer;
      read += r.thermometer && r.celsius.has_value();
    }
    const std::string time = iso_time(round.when);
    notify_status(round.ok ? "measured at " + time + ": " + std::to_string(read) + " of " +
                                 std::to_string(thermometers) + " sensors read"
                           : "measuring failed at " + time);
    notify_alive();
    ++rounds;
    if (round.ok) {
      ++good;
      // Interrupted from now on, the run has results to show for itself.
      set.set_interrupted_exit_code(kExitOk);
    }
    if (!round.ok) report(Severity::kError, round.error);
    if (plan.count != 0 && rounds >= plan.count) break;
    // Between rounds the main thread waits, and says it is alive however
    // long the interval.
    while (!interrupt_requested() && std::chrono::steady_clock::now() < next) {
      notify_alive();
      const auto left = next - std::chrono::steady_clock::now();
      wait_for_interrupt(std::min<std::chrono::steady_clock::duration>(left, std::chrono::milliseconds(200)));
    }
  }
  notify_stopping();
  publishers.finish();
  // Stopped by a signal before any round ended is a clean stop too (a
  // service stopped while it starts); rounds that all failed are not.
  if (rounds == 0 && interrupt_requested()) return kExitOk;
  return good > 0 ? kExitOk : kExitFailed;
}

int run_ports(const Options&) {
  onewire::DriverGuard none(nullptr);  // listing ports needs no driver
  TQvDs18x20 c(nullptr);
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
  if (ports.Count() == 0 && others == 0) report(Severity::kNotice, "no " + every_port_kind() + " found");
  return kExitOk;
}

int run_version(const Options& o) {
  std::vector<BusChoice> choices = bus_choices(o);
  onewire::DriverGuard none(nullptr);  // the component is asked for its own version only
  TQvDs18x20 c(nullptr);
  std::printf("qvds18x20 %s\ncomponent %s\n", QVDS_TOOL_VERSION, c.Version().c_str());
  std::printf("driver: %s\n",
              onewire::adapters_version_text(onewire::builtin_adapters(), onewire::BuiltinDriverOptions{}).c_str());
  BusSet set(std::move(choices));
  const bool real = std::any_of(set.buses().begin(), set.buses().end(), [](const OpenedBus& b) { return !b.simulated; });
  if (!real) {
    std::printf("driver active: yes\n");
    return kExitOk;
  }
  // The adapter and its rate are known once a bus is open.
  set.open();
  int status = kExitOk;
  for (const OpenedBus& b : set.buses()) {
    if (!b.error.empty()) {
      report(Severity::kError, b.error);
      status = kExitFailed;
      continue;
    }
    std::printf("%s: %s, serial rate: %d baud\n", b.label.c_str(), b.driver.c_str(), b.bus.serial_baud());
  }
  std::printf("driver active: %s\n", status == kExitOk ? "yes" : "no");
  return status;
}

int run_settings(const Options& o) {
  qvds::SettingsChange change;
  change.resolution = whole_option(o.resolution, "--resolution", 9, 12);
  change.alarm_low = whole_option(o.alarm_low, "--alarm-low", -55, 125);
  change.alarm_high = whole_option(o.alarm_high, "--alarm-high", -55, 125);
  if (change.alarm_low && change.alarm_high && *change.alarm_low > *change.alarm_high)
    throw UsageError("--alarm-low " + std::to_string(*change.alarm_low) + " is above --alarm-high " +
                     std::to_string(*change.alarm_high));
  const std::vector<onewire::Rom> named = named_sensors(o, o.sensor_ids);
  say_if_simulated(o);
  BusSet set(bus_choices(o));
  open_buses(set, o, Content::kSettings);
  const auto found = set.search();
  const RowSettings row_options = row_settings(o);
  const bool several = set.buses().size() > 1;
  std::vector<SensorRow> rows;
  std::string error;
  Notes notes;
  int failed = 0;
  int index = 0;
  std::set<onewire::Rom> seen;
  for (std::size_t i = 0; i < found.size(); ++i) {
    OpenedBus& b = set.buses()[i];
    std::string why = b.error;
    if (why.empty() && !found[i])
      why = "searching " + b.label + " failed: " +
            (found[i].error() == qvds::Errc::kNoDevices ? std::string("no devices found on the bus") : found[i].message());
    if (!why.empty()) {
      error += (error.empty() ? "" : "; ") + why;
      continue;
    }
    for (const qvds::Device& d : *found[i]) {
      if (!onewire::ds18x20::is_thermometer(d.rom[0])) continue;
      if (!named.empty() && std::find(named.begin(), named.end(), d.rom) == named.end()) continue;
      if (interrupt_requested()) throw Failure("interrupted");
      seen.insert(d.rom);
      SensorRow r = device_row(d, b, row_options, index++);
      std::string trouble;
      // A change, then the save; what the sensor holds afterwards is
      // what is shown, whatever happened.
      if (!change.empty())
        if (const auto changed = b.bus.change_settings(d.rom, change, sensor_call()); !changed)
          trouble = "not changed: " + changed.message();
      if (trouble.empty() && o.save) {
        const auto saved = b.bus.save_settings(d.rom, sensor_call());
        if (!saved)
          trouble = "not saved to EEPROM: " + saved.message();
        else if (!saved->verified)
          trouble = "saved, but its EEPROM did not read back what was written";
      }
      if (const auto now = b.bus.settings(d.rom, true, sensor_call()); now) {
        r.resolution = now->resolution;
        r.alarm_low = now->alarm_low;
        r.alarm_high = now->alarm_high;
        r.eeprom_matches = now->eeprom_matches;
        r.power = qvds::power_name(now->power);
      } else {
        trouble += (trouble.empty() ? "" : "; ") + std::string("settings not read: ") + now.message();
      }
      r.reason = trouble;
      if (!trouble.empty()) {
        ++failed;
        notes.warnings.push_back(sensor_text(r, several) + ": " + trouble);
      }
      rows.push_back(std::move(r));
    }
  }
  for (const onewire::Rom& rom : named)
    if (seen.count(rom) == 0) {
      ++failed;
      notes.warnings.push_back("sensor " + format_rom(rom, o.id_format) + " is on none of the buses, or no thermometer");
    }
  if (rows.empty()) throw Failure(!error.empty() ? error : named.empty() ? "no thermometer on the bus" : notes.warnings.front());
  if (!error.empty()) notes.warnings.push_back(error);
  Output(o.format, Content::kSettings, sources_of(set)).write(rows, "", notes);
  print_warnings(notes);
  return failed > 0 || !error.empty() ? kExitFailed : kExitOk;
}

int run_alarms(const Options& o) {
  say_if_simulated(o);
  BusSet set(bus_choices(o));
  open_buses(set, o, Content::kReadings);
  apply_configured_settings(set, o);
  show_progress(o, "measuring...");
  const auto found = set.each<qvds::AlarmResult>(
      [](std::size_t, OpenedBus& b, qvds::Completion<qvds::AlarmResult> done, const qvds::CallOptions& call) {
        b.bus.alarm_search_async(std::move(done), call);
      });
  clear_progress(o);
  std::vector<qvds::Result<qvds::Measurement>> results;
  std::set<std::string> alarmed;
  for (const auto& f : found) {
    if (!f) {
      results.emplace_back(f.failure());
      continue;
    }
    results.emplace_back(f->measurement);
    for (const onewire::Rom& rom : f->in_alarm) alarmed.insert(format_rom(rom, IdFormat::kQvds));
  }
  RunMemory memory;
  Round round = make_round(set, results, o, memory, {});
  // Only the sensors the bus's alarm search found; one whose value was
  // not trusted is said, and is no alarm.
  std::vector<SensorRow> rows;
  for (SensorRow& r : round.rows) {
    if (alarmed.count(r.romstr) == 0) continue;
    if (!r.celsius) {
      round.notes.warnings.push_back(sensor_text(r, set.buses().size() > 1) +
                                     " answered the alarm search, but its value was not read: " +
                                     (r.reason.empty() ? "no answer" : r.reason));
      continue;
    }
    rows.push_back(std::move(r));
  }
  Output output(o.format, Content::kReadings, sources_of(set));
  if (round.ok || o.format == Format::kJson) output.write(rows, round.error, round.notes, iso_time(round.when));
  if (!round.ok) throw Failure(round.error);
  print_warnings(round.notes);
  if (round.bus_failed) return kExitFailed;
  return round.out_of_bounds ? kExitOutOfBounds : kExitOk;
}

}  // namespace qvtool
