#include "qvds18x20/options.hpp"

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <map>
#include <memory>
#include <utility>
#include <vector>

#include "onewire/builtin_driver.hpp"
#include "onewire/port_names.hpp"
#include "qvds18x20/adapter_options.hpp"
#include "qvds18x20/commands.hpp"
#include "qvds18x20/exit_codes.hpp"
#include "qvds18x20/publish/features.hpp"
#include "rtl/sysutils.hpp"

namespace qvtool {
namespace {

const std::vector<std::pair<std::string, TLanSpeed>> kSpeedNames = {{"normal", lsNormal}, {"relaxed", lsRelaxed}};

// A choice among names (any case), said in words when the value is none
// of them: "takes table, csv or json, not \"xml\"". Passes the choice on
// as the number of its enumerator.
template <typename T>
CLI::Validator one_of(const std::map<std::string, T>& names) {
  std::vector<std::string> words;
  for (const auto& entry : names) words.push_back(entry.first);
  const std::string listing = or_list(words);
  return CLI::Validator(
      [&names, listing](std::string& value) -> std::string {
        for (const auto& [name, choice] : names)
          if (CompareText(value, name) == 0) {
            value = std::to_string(static_cast<int>(choice));
            return "";
          }
        return "takes " + listing + ", not \"" + shorten(value) + "\"";
      },
      "");
}

template <typename T>
std::vector<std::string> names_of(const std::vector<std::pair<std::string, T>>& table) {
  std::vector<std::string> names;
  for (const auto& entry : table) names.push_back(entry.first);
  return names;
}

TLanSpeed speed_of(const std::string& s) {
  for (const auto& [name, speed] : kSpeedNames)
    if (CompareText(s, name) == 0) return speed;
  throw UsageError("--speed takes " + or_list(names_of(kSpeedNames)) + ", not \"" + shorten(s) + "\"");
}


// The bus options; `speed` adds --speed, which only the component's
// session takes, `config` adds --config.
void add_bus_options(CLI::App& cmd, Options& o, bool speed = true, bool config = true) {
  // Both from the adapter table (adapter_options.hpp).
  cmd.add_option("-p,--port", o.port, port_help())
      ->type_name("PORT")
      ->check(non_empty())
      ->each([&o](const std::string&) { o.port_given = true; });
  cmd.add_option("-a,--adapter", o.adapter, adapter_help())
      ->type_name("TYPE")
      ->capture_default_str()
      ->check(non_empty())
      ->each([&o](const std::string&) { o.adapter_given = true; });
  if (speed)
    cmd.add_option("--speed", o.speed, "bus speed: " + or_list(names_of(kSpeedNames)))
        ->type_name("SPEED")
        ->capture_default_str()
        ->check(non_empty());
  cmd.add_option("--baud", o.baud,
                 "serial rate of a DS2480B adapter after detection; by default 115200, or 9600 behind a USB bridge "
                 "that delays answers by milliseconds (it falls back to 9600 where the rate fails)")
      ->type_name("RATE")
      ->check(CLI::Validator(
          [](std::string& value) -> std::string {
            for (const char* rate : {"9600", "19200", "57600", "115200"})
              if (value == rate) return "";
            return "takes 9600, 19200, 57600 or 115200, not \"" + shorten(value) + "\"";
          },
          ""));
  CLI::Option* sim = cmd.add_option("--sim", o.sim_file, "use the simulated bus, with the devices of this JSON file if given")
                         ->type_name("[FILE]")
                         ->expected(0, 1);
  if (config)
    cmd.add_option("--config", o.config_file,
                   "read options and sensor names from this TOML file; options given here win")
        ->type_name("FILE")
        ->check(non_empty());
  // Given without a file, --sim has no value to see: its count tells.
  // (CLI11 gives both "--sim" and "--sim ''" an empty value; the command
  // line itself tells them apart, empty_option_value().)
  cmd.parse_complete_callback([&o, sim] { o.sim = o.sim || sim->count() > 0; });
}

void add_format_option(CLI::App& cmd, Options& o) {
  cmd.add_option("-f,--format", o.format,
                 "output: table, csv, json or none (nothing on standard output; watch's default when that is the "
                 "systemd journal)")
      ->type_name("FORMAT")
      ->transform(one_of(format_names()))
      ->each([&o](const std::string&) { o.format_given = true; });
  cmd.add_option("--id-format", o.id_format,
                 "how ROM codes are printed: qvds, owfs or kernel (default qvds; see the manual)")
      ->type_name("FORM")
      ->transform(one_of(id_format_names()));
}

// A report's formats (doctor, settings): a table or JSON.
void add_report_format_option(CLI::App& cmd, Options& o) {
  static const std::map<std::string, Format> kReportFormats = {{"table", Format::kTable}, {"json", Format::kJson}};
  cmd.add_option("-f,--format", o.format, "output: table or json")
      ->type_name("FORMAT")
      ->transform(one_of(kReportFormats))
      ->each([&o](const std::string&) { o.format_given = true; });
  cmd.add_option("--id-format", o.id_format,
                 "how ROM codes are printed: qvds, owfs or kernel (default qvds; see the manual)")
      ->type_name("FORM")
      ->transform(one_of(id_format_names()));
}

// doctor: the bus, a table or JSON, and the undocumented reads.
void add_doctor_options(CLI::App& cmd, Options& o) {
  add_bus_options(cmd, o, false, false);
  add_report_format_option(cmd, o);
  cmd.add_flag("--undocumented", o.undocumented,
               "also read the undocumented codes 68, 93, 97, 8B, DE, 19 and 8E of each DS18B20 (reads only, but "
               "at the owner's risk: see the manual)");
}

void add_log_option(CLI::App& cmd, Options& o) {
  cmd.add_option("--log", o.log_file, "append every measurement to this CSV file")->type_name("FILE")->check(non_empty());
}

// What read and watch take: the bus, the output and the log.
void add_measurement_options(CLI::App& cmd, Options& o) {
  add_bus_options(cmd, o);
  add_format_option(cmd, o);
  add_log_option(cmd, o);
}

}  // namespace

std::string empty_option_value(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--") break;  // sim-usb's program and its own options
    if (arg == "--sim=" || (arg == "--sim" && i + 1 < argc && argv[i + 1][0] == 0))
      return "--sim: an empty file name is not allowed (--sim alone takes the demonstration devices)";
  }
  return "";
}

const CLI::Validator& non_empty() {
  // No description: the help shows each option's own placeholder.
  static const CLI::Validator check(
      [](std::string& value) { return value.empty() ? std::string("an empty value is not allowed") : std::string(); },
      "", "not empty");
  return check;
}

const std::vector<std::string>& config_commands() {
  static const std::vector<std::string> commands = {"read", "list", "watch", "version", "serve", "settings", "alarms"};
  return commands;
}

std::vector<BusChoice> bus_choices(const Options& o) {
  const std::vector<BusConfig>& tables = o.config.buses;
  if (tables.empty()) return {bus_choice(o)};
  // The command line's own bus wins over the file's; the file's port and
  // its [[bus]] tables together say two things at once.
  const auto from_file = [&o](const char* option) {
    const auto it = o.origins.find(std::string("--") + option);
    return it != o.origins.end();
  };
  if (o.port_given || o.sim || o.adapter_given) {
    if (from_file("port") || from_file("sim") || from_file("adapter"))
      throw UsageError(o.config_file + ": give either port (and adapter) or [[bus]] tables, not both");
    return {bus_choice(o)};
  }
  std::vector<BusChoice> choices;
  for (const BusConfig& t : tables) {
    Options one = o;
    one.port = t.port;
    one.port_given = !t.port.empty();
    one.adapter = t.adapter.empty() ? std::string("1") : t.adapter;
    one.adapter_given = !t.adapter.empty();
    one.sim = t.sim;
    one.sim_file = t.sim_file;
    one.config_file.clear();
    try {
      BusChoice c = bus_choice(one);
      c.name = t.name;
      c.where = t.where;
      choices.push_back(std::move(c));
    } catch (const UsageError& e) {
      throw UsageError(t.where + ": " + e.what());
    }
  }
  return choices;
}

BusChoice bus_choice(const Options& o) {
  // A configuration that names no bus would quietly read the simulated
  // one's demonstration devices: a service's file must say where to read.
  if (!o.config_file.empty() && !o.port_given && !o.sim)
    throw UsageError(o.config_file + ": no port is given (set port = \"/dev/ttyUSB0\" there, or [[bus]] tables, or "
                     "give --port; sim = true reads the simulated bus)");
  // Simulated values labelled as a real port or adapter would pass for
  // measurements. The one adapter --sim takes is the USB adapter (USBn),
  // whose backend then runs on an emulated chip over the simulated bus.
  const bool serial_port = o.port_given && onewire::form_of_name(o.port) != onewire::PortForm::kUsb;
  const bool serial_adapter = o.adapter_given && adapter_number(o.adapter) != onewire::kAdapterTypeDs2490;
  if (o.sim && (serial_port || serial_adapter))
    throw UsageError("--sim cannot be combined with --port or --adapter: the simulated bus has no port");
  // An adapter is reached through its port; without one, the adapter's
  // name would be put on the demonstration devices.
  if (o.adapter_given && !o.port_given && !o.sim)
    throw UsageError("--adapter " + shorten(o.adapter) +
                     " needs --port: an adapter is reached through its port (`qvds18x20 ports` lists them); "
                     "--sim reads the simulated bus");
  BusChoice choice;
  // A USB adapter is named USBn and has no other name, a kernel w1
  // master w1_bus_mastern; the adapter type follows from the name unless
  // one was asked for, and a serial port's adapter is detected. The
  // simulated bus without a port is the passive adapter's COM1.
  choice.adapter = o.adapter_given ? adapter_number(o.adapter)
                   : o.port_given  ? implied_adapter(o.port)
                                   : onewire::kAdapterTypePassive;
  choice.adapter_given = o.adapter_given;
  choice.speed = speed_of(o.speed);
  choice.port = o.port;
  choice.sim = o.sim;
  choice.sim_file = o.sim_file;
  choice.baud = o.baud;
  return choice;
}

WatchPlan watch_plan(const Options& o) {
  WatchPlan plan;
  const char* text = o.interval.c_str();
  char* end = nullptr;
  errno = 0;
  const double seconds = std::strtod(text, &end);
  if (o.interval.empty() || end == text || *end != 0 || errno == ERANGE || !std::isfinite(seconds) || seconds < 0 ||
      seconds > kMaxInterval)
    throw UsageError("--interval takes seconds from 0 to " + std::to_string(static_cast<long>(kMaxInterval)) +
                     ", not \"" + shorten(o.interval) + "\"");
  plan.interval = seconds;
  if (!o.count.empty()) {
    const char* c = o.count.c_str();
    errno = 0;
    const long long n = std::strtoll(c, &end, 10);
    if (end == c || *end != 0 || errno == ERANGE || n < 1 || n > std::numeric_limits<long>::max())
      throw UsageError("--count takes a number of rounds, 1 or more, not \"" + shorten(o.count) + "\"");
    plan.count = static_cast<long>(n);
  }
  return plan;
}

std::shared_ptr<Options> add_commands(CLI::App& app, int& result) {
  // One set of options for all commands: only one of them runs.
  auto o = std::make_shared<Options>();
  const auto command = [&app, &result, o](const char* name, const char* description, Command run) {
    CLI::App* cmd = app.add_subcommand(name, description);
    cmd->callback([o, &result, run] { result = run_command(run, *o); });
    return cmd;
  };

  CLI::App* read = command("read", "measure once and print every sensor, or the sensors named", run_read);
  add_measurement_options(*read, *o);
  read->add_option("sensor", o->sensors,
                   "a sensor to read alone: its ROM in any form (28.FF6B3C911604, D70416913C6BFF28, "
                   "28-0416913c6bff) or its name in the configuration")
      ->type_name("SENSOR");

  CLI::App* list = command("list", "find the devices on the bus", run_list);
  add_bus_options(*list, *o);
  add_format_option(*list, *o);

  CLI::App* watch = command("watch", "measure repeatedly until Ctrl-C or --count rounds", run_watch);
  add_measurement_options(*watch, *o);
  watch->add_option("-i,--interval", o->interval, "seconds from the start of one measurement to the next")
      ->type_name("SECONDS")
      ->capture_default_str()
      ->check(non_empty());
  watch->add_option("-c,--count", o->count, "stop after this many measurements")->type_name("N")->check(non_empty());

  // Publishing: read publishes its one measurement, watch every one.
  add_publish_options(*read, o->publish, false);
  add_publish_options(*watch, o->publish, true);

  CLI::App* settings = command("settings",
                               "print every thermometer's resolution, alarm thresholds, power and EEPROM state; with "
                               "--resolution, --alarm-low or --alarm-high, change them",
                               run_settings);
  add_bus_options(*settings, *o);
  add_report_format_option(*settings, *o);
  settings->add_option("--resolution", o->resolution, "set the resolution: 9, 10, 11 or 12 bits")
      ->type_name("BITS")
      ->check(non_empty());
  settings->add_option("--alarm-low", o->alarm_low, "set the low alarm threshold, whole degrees C from -55 to 125")
      ->type_name("C")
      ->check(non_empty());
  settings->add_option("--alarm-high", o->alarm_high, "set the high alarm threshold, whole degrees C from -55 to 125")
      ->type_name("C")
      ->check(non_empty());
  settings->add_option("--sensor", o->sensor_ids,
                       "change this sensor only (any ROM form, or its name in the configuration); repeatable; by "
                       "default every thermometer")
      ->type_name("ROM")
      ->check(non_empty());
  settings->add_flag("--save", o->save, "store the settings in each sensor's EEPROM (only where it differs)");

  CLI::App* alarms = command("alarms", "measure, and print the sensors at or beyond an alarm threshold", run_alarms);
  add_bus_options(*alarms, *o);
  add_format_option(*alarms, *o);

  add_doctor_options(*command("doctor",
                              "tell what each sensor on the bus is (a genuine DS18B20 or which clone), its settings, "
                              "conversion time and CRC errors, with advice for the bus",
                              run_doctor),
                     *o);

  command("ports",
          "list the serial ports and the device behind each, the USB adapters, the I2C buses and the kernel's w1 "
          "masters (Linux)",
          run_ports);

  add_bus_options(*command("version", "versions of the tool, the component and the driver", run_version), *o);

  if (owserver_built()) {
    CLI::App* serve = command("serve",
                              "serve the bus over the owserver protocol (Home Assistant, openHAB, FHEM, Node-RED, "
                              "OWFS's tools) until Ctrl-C",
                              run_serve);
    add_bus_options(*serve, *o, false);
    serve->add_option("--owserver", o->owserver,
                      "listen on [ADDR:]PORT (ADDR: 127.0.0.1 unless given; 0.0.0.0 for every interface)")
        ->capture_default_str()
        ->check(non_empty());
  }
  return o;
}

}  // namespace qvtool
