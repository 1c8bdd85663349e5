// The tool's one formatter: what read, watch and list print on standard
// output (a table, CSV or JSON) and what read and watch append to the CSV
// log. It knows rows of text, not the component.
#pragma once

#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace qvtool {

enum class Format { kTable, kCsv, kJson };

// The names --format takes, for every command that has it.
const std::map<std::string, Format>& format_names();

// One device of the sensor list, as the component gives it.
struct SensorRow {
  int index = 0;
  std::string rom, name;
  std::string temp;  // empty: not read in this measurement
};

// What the rows came from, named in CSV and JSON output.
struct Source {
  std::string port;
  int adapter = 0;
  std::string driver;
};

// What a measurement's rows do not show: more devices on the bus than
// listed, and what else makes the result less than the whole truth.
struct Notes {
  bool more_devices = false;
  std::vector<std::string> warnings;
};

// What a command prints of each row.
enum class Content {
  kDevices,           // list: index, ROM and name
  kReadings,          // read: and the temperature
  kReadingsOverTime,  // watch: and, in a table, the time of each row
};

// The time every format stamps a measurement with (2026-12-08T04:10:47Z).
std::string iso_time(std::chrono::system_clock::time_point t);

class Output {
 public:
  // Opens the CSV log (appending; its header only into an empty file) when
  // `log_file` is given; throws Failure when it cannot be opened or has a
  // header other than ours.
  Output(Format format, Content content, Source source, const std::string& log_file = "");
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
  bool readings() const { return content_ != Content::kDevices; }

  Format format_;
  Content content_;
  Source source_;
  std::string log_file_;
  std::FILE* log_ = nullptr;
  bool header_done_ = false;
};

}  // namespace qvtool
