// The configuration file (TOML): what the command line can say, as keys
// named after the long options (`port = "/dev/ttyUSB0"`, `interval = 60`,
// `mqtt_discovery = true`), and what it cannot: a table per sensor,
//
//   [sensors."28.FF6B3C911604"]      # the ROM in any form rom_id.hpp reads
//   name = "boiler flow"
//   offset = -0.25                   # added to the exact value
//   min = -10                        # outside [min, max]: shown, flagged out_of_bounds
//   max = 95                         # (by default the part's range, -55 to 125)
//
// Options given on the command line win over the file. A file that cannot
// be used changes nothing: it is refused whole, with its line and column.
#pragma once

#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "onewire/link.hpp"

namespace qvtool {

class ConfigError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The longest name a sensor may have, in bytes of UTF-8.
inline constexpr std::size_t kMaxNameBytes = 64;

// The part's own range: a sensor's bounds where the file gives none.
inline constexpr double kPartMin = -55.0, kPartMax = 125.0;

// What the file says of one sensor.
struct SensorSettings {
  std::string name;  // empty: none
  double offset = 0;
  std::optional<double> min, max;  // none: kPartMin, kPartMax
  // What read and watch set in its scratchpad when they start (never in
  // its EEPROM): resolution 9..12, alarm thresholds in whole degrees.
  std::optional<int> resolution, alarm_low, alarm_high;
  std::string where;  // "FILE:LINE:COLUMN" of its table, for messages
};

// One [[bus]] table: a bus the tool runs, as --port, --adapter and --sim
// would name it.
struct BusConfig {
  std::string name;     // empty: none (it goes by its port)
  std::string port;     // empty: the simulated bus
  std::string adapter;  // as --adapter takes it; empty: implied by the port
  bool sim = false;     // sim = true, or sim = "FILE"
  std::string sim_file;
  std::string where;  // "FILE:LINE:COLUMN" of the table
};

// One option's value as the command line would give it, and where the file
// gave it (for messages).
struct ConfigValue {
  std::string text;
  bool is_bool = false;
  std::string where;  // "FILE:LINE:COLUMN"
};

struct ConfigFile {
  std::string path;
  std::map<std::string, ConfigValue> options;  // by long option name, dashes as in the option
  std::map<onewire::Rom, SensorSettings> sensors;
  std::vector<BusConfig> buses;  // [[bus]] tables, in order
};

// Files larger than this are no configuration files.
inline constexpr std::size_t kMaxConfigFileSize = 256 * 1024;

// Reads and checks a configuration file; throws ConfigError naming the
// file, the line and column, and what is wrong. Keys are checked against
// the option names later, by whoever knows the command.
ConfigFile load_config(const std::string& path);
// The same from text; `origin` names it in messages.
ConfigFile parse_config(const std::string& text, const std::string& origin);

// A name as it goes into an MQTT topic and a Home Assistant entity id:
// lower case Latin letters, digits and underscores ("Boiler flow #2"
// gives "boiler_flow_2"); empty when nothing of it is left (a name in
// another script), and the ROM takes its place there.
std::string name_slug(const std::string& name);

}  // namespace qvtool
