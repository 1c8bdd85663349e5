// The tool's one formatter: what read, watch and list print on standard
// output (a table, CSV or JSON) and what read and watch append to the CSV
// log. It knows rows of text, not the component.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace qvtool {

// kNone prints nothing on standard output; the log and the publishers
// still get every measurement (a service whose output is the journal).
enum class Format { kTable, kCsv, kJson, kNone };

// The names --format takes, for every command that has it.
const std::map<std::string, Format>& format_names();

// One device of a bus, as the engine found or read it and the
// configuration names it.
struct SensorRow {
  int index = 0;     // its place among the rows of every bus; -1: none (a configured sensor missing)
  std::string rom;   // as --id-format prints it
  std::string name;  // the device's type ("DS18B20", "DS18S20")
  std::string temp;  // the exact value with one decimal; empty: not read in this measurement
  std::string romstr;             // the component's ROM form, whatever --id-format says: the device's identity
  std::string model;              // DS18B20, DS18S20, DS1822, DS1825/MAX31850, DS2401, or the family (0x81)
  std::string label;              // the configuration's name for it; empty: none
  std::optional<double> celsius;  // the exact value (with the configuration's offset); none: not read
  std::string status;             // the outcome's short name (read, crc_error, power_on_value, ...)
  std::string reason;             // why it was not read, or what is doubtful about the reading; empty: nothing
  std::string power;              // external, parasite, parasite_unfed or unknown
  bool thermometer = false;       // a family with a temperature (a missing reading is news)
  bool configured = false;        // the configuration names it
  bool alarm = false;             // read, and at or beyond its alarm thresholds (as the part decides)
  // --- what it is, and its settings (list, settings) ---
  std::string family;  // a DS18B20's family ("A1", "B1", ..., "unknown"); empty: not looked at
  std::optional<int> resolution;               // bits; none: fixed (a DS18S20) or not read
  std::optional<int> alarm_low, alarm_high;    // whole degrees; none: not read
  std::optional<bool> eeprom_matches;          // none: not read
  // --- where it is ---
  std::string bus;      // the bus's name (its port when it has none); empty: on no bus (a configured sensor missing)
  std::string bus_key;  // the bus's level in topics; empty: none (the only bus, or on no bus)
  std::string port;  // the bus's port as written
  int adapter = 0;   // the bus's adapter type
  // The name a person knows it by: its label, or its ROM.
  const std::string& known_as() const { return label.empty() ? romstr : label; }
};

// A bus the rows came from, named in CSV and JSON output.
struct Source {
  std::string port;
  int adapter = 0;
  std::string driver;
  bool simulated = false;  // the simulated bus, not a real one
  std::string name;        // the bus's name (its port when it has none)
  std::string key;         // its word in topics and labels
  std::string error;       // why it gave no readings this time; empty: it did
};

// What a measurement's rows do not show: more devices on the bus than
// listed, and what else makes the result less than the whole truth.
struct Notes {
  bool more_devices = false;
  std::vector<std::string> warnings;
  // The driver's result code that came with the error, where there is one
  // (a session that did not open); JSON carries it as "code".
  std::optional<std::int32_t> code;
  // Why each bus (in the order the output was given them) gave nothing
  // this time; empty entries, or none at all, for buses that did.
  std::vector<std::string> bus_errors;
};

// What a command prints of each row.
enum class Content {
  kDevices,           // list: index, ROM and name
  kReadings,          // read: and the temperature
  kReadingsOverTime,  // watch: and, in a table, the time of each row
  kSettings,          // settings: the resolution, thresholds, power and EEPROM
};

// The time every format stamps a measurement with (2026-12-08T04:10:47Z).
std::string iso_time(std::chrono::system_clock::time_point t);

// Whether an object has gone to standard output as --format json: a
// command that fails before its first one prints its error as one.
bool json_written();

// An exact temperature as CSV, MQTT and the metrics write it: as many
// decimals as it has, at most four (21.0625, 21.5, -3.25).
std::string celsius_text(double celsius);

class Output {
 public:
  // Opens the CSV log (appending; its header only into an empty file) when
  // `log_file` is given; throws Failure when it cannot be opened or has a
  // header other than ours. `buses`: where the rows come from, the first
  // named at the top of JSON output as it always was, every one in its
  // "buses".
  Output(Format format, Content content, std::vector<Source> buses, const std::string& log_file = "");
  Output(Format format, Content content, Source source, const std::string& log_file = "")
      : Output(format, content, std::vector<Source>{std::move(source)}, log_file) {}
  ~Output();
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;

  // One measurement or listing: to standard output, and for readings to
  // the log, pushed to the disk before returning (throws Failure when it
  // cannot be). A table or CSV header comes once, before the first rows;
  // JSON is one object per call, with `error` (null when empty),
  // `more_devices` and `warnings`. The log gets whole rows or nothing: a
  // write that fails part-way is cut back to the last complete row.
  void write(const std::vector<SensorRow>& rows, const std::string& error, const Notes& notes = {});
  // The same, stamped with `time` (from iso_time).
  void write(const std::vector<SensorRow>& rows, const std::string& error, const Notes& notes,
             const std::string& time);

  // The object --format json prints for these rows: what publishers send.
  std::string json_text(const std::vector<SensorRow>& rows, const std::string& error, const Notes& notes,
                        const std::string& time) const;

 private:
  void write_table(const std::vector<SensorRow>& rows, const std::string& time);
  void write_csv(const std::vector<SensorRow>& rows, const std::string& time);
  void write_json(const std::vector<SensorRow>& rows, const std::string& error, const Notes& notes,
                  const std::string& time) const;
  void write_log(const std::vector<SensorRow>& rows, const std::string& time);
  std::vector<std::string> csv_cells(const SensorRow& row, const std::string& time) const;
  bool readings() const { return content_ == Content::kReadings || content_ == Content::kReadingsOverTime; }

  Format format_;
  Content content_;
  std::vector<Source> buses_;
  std::string log_file_;
  std::FILE* log_ = nullptr;
  // A log begun before some of the columns were there goes on in its own
  // columns (how many).
  std::size_t log_columns_ = 0;
  bool header_done_ = false;
  bool label_column_ = false;
};

}  // namespace qvtool
