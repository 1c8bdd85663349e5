// The tool's command line: the commands, their options, and what the
// option texts mean. Every option of read, list, watch and version is
// declared in options.cpp.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <map>

#include "qvds18x20/buses.hpp"
#include "qvds18x20/config_file.hpp"
#include "qvds18x20/output.hpp"
#include "qvds18x20/publish/publish.hpp"
#include "qvds18x20/rom_id.hpp"

namespace CLI {
class App;
class Validator;
}

namespace qvtool {

// The options as given; bus_choice() checks the bus ones.
struct Options {
  std::string port;            // COM name or device path; empty: simulated bus on COM1
  bool port_given = false;
  std::string adapter = "auto";  // a number or an adapter name; by default implied by the port (auto on a serial one)
  bool adapter_given = false;
  std::string speed = "normal";
  int baud = 0;                // DS2480B serial rate after detection; 0: the link chooses
  bool sim = false;            // --sim given
  std::string sim_file;        // --sim FILE
  Format format = Format::kTable;
  bool format_given = false;   // on the command line or in the configuration
  std::string log_file;
  std::string interval = "60";  // watch: seconds, as given
  std::string count;           // watch: rounds, as given; empty: until interrupted
  PublishOptions publish;      // read, watch: MQTT and Prometheus
  IdFormat id_format = IdFormat::kQvds;
  std::string owserver = "127.0.0.1:4304";  // serve: [ADDR:]PORT
  std::string config_file;     // --config FILE
  ConfigFile config;           // what it holds (sensors, buses; its options are the command line's by now)
  std::vector<std::string> sensors;  // read: the sensors named (any ROM form, or a configured name)
  std::map<std::string, std::string> origins;  // options that came from it, and where
  bool undocumented = false;   // doctor: the undocumented reads too
  // settings: the changes asked for, as given (checked by the command);
  // empty: none.
  std::string resolution, alarm_low, alarm_high;
  std::vector<std::string> sensor_ids;  // settings --sensor: the sensors to change; none: every thermometer
  bool save = false;                    // settings --save: store the result in EEPROM
};

// What watch's --interval and --count mean, checked.
struct WatchPlan {
  double interval = 0;  // seconds
  long count = 0;       // 0: until interrupted
};
// Throws UsageError for an interval outside 0..kMaxInterval seconds or a
// count that is not a whole number of rounds, 1 or more.
WatchPlan watch_plan(const Options& o);
inline constexpr double kMaxInterval = 86400.0;

// The check of every option whose value is a text: an empty one is what
// an unset shell variable gives, and taken as "none" or "the default" it
// would hide the mistake (--mqtt "$UNSET" turning publishing off).
const CLI::Validator& non_empty();

// The option of the command line that is given an empty value where the
// parser cannot see it (--sim takes a file or none), as a message; empty
// when there is none.
std::string empty_option_value(int argc, char** argv);

// Adds read, list, watch, ports and version to `app`; the one that runs
// leaves its exit code in `result`. The options they share, for what the
// configuration file adds before the parse.
std::shared_ptr<Options> add_commands(CLI::App& app, int& result);

// The commands that take --config.
const std::vector<std::string>& config_commands();

// The bus the options name; throws UsageError for an adapter or a speed
// it does not know, for an adapter without a port, and for --sim together
// with --port or --adapter.
BusChoice bus_choice(const Options& o);

// The buses a command runs on: the configuration's [[bus]] tables, or
// else the one bus of the command line (bus_choice). Throws UsageError
// for a configuration that names both.
std::vector<BusChoice> bus_choices(const Options& o);

}  // namespace qvtool
