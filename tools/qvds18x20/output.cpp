#include "qvds18x20/output.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <nlohmann/json.hpp>
#include <optional>
#include <string_view>

#include "qvds18x20/exit_codes.hpp"
#include "qvds18x20/json_text.hpp"
#include "qvds18x20/platform.hpp"
#include "qvds18x20/sensor_checks.hpp"

namespace qvtool {
namespace {

using nlohmann::json;

const std::vector<std::string> kCsvReadingsHeader = {"time", "port",    "adapter", "index", "rom",    "name",  "temp",
                                                     "celsius", "model", "label", "status", "reason", "bus"};
// The first columns of it that logs begun earlier have: before the bus,
// and before the model, label and outcome. Such a log goes on in its own
// columns.
const std::vector<std::size_t> kCsvEarlierColumns = {12, 8};
const std::vector<std::string> kCsvDevicesHeader = {"index", "rom", "name", "model", "label", "power", "bus", "family"};

// Table columns are padded to these widths, the last one is not. The time
// is always 20 characters (2026-12-08T04:10:47Z).
constexpr std::size_t kTimeWidth = 20;
const std::vector<std::size_t> kColumnWidths = {6, 17, 8};  // index, ROM, name
constexpr std::size_t kTempWidth = 7;                         // -55.0, 125.0; then the label

// A row not in the component's list (a configured sensor missing) has
// no index.
std::string index_text(const SensorRow& r, const char* none) { return r.index < 0 ? none : std::to_string(r.index); }

// No temperature is infinite or NaN: such a value is no reading.
std::optional<double> finite(const std::optional<double>& c) {
  if (!c || !std::isfinite(*c)) return std::nullopt;
  return c;
}

}  // namespace

std::string celsius_text(double celsius) {
  // Sixteenths need four decimals; more is the offset's rounding noise.
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.4f", celsius);
  std::string text = buf;
  while (text.back() == '0') text.pop_back();
  if (text.back() == '.') text.pop_back();
  if (text == "-0") text = "0";
  return text;
}

namespace {

std::string csv_field(const std::string& s) {
  if (s.find_first_of(",\"\n") == std::string::npos) return s;
  std::string out = "\"";
  for (char c : s) {
    if (c == '"') out.push_back('"');
    out.push_back(c);
  }
  out.push_back('"');
  return out;
}

// A cell of text (a name, a reason, a port) as a spreadsheet must show
// it: one beginning with = + - @, a tab or a carriage return would be
// taken for a formula and run, so it gets a leading apostrophe, which
// spreadsheets show as text and do not display. Numbers are written
// as they are: -12.5 is a temperature, not a formula.
std::string csv_text(const std::string& s) {
  if (s.empty() || std::string_view("=+-@\t\r").find(s.front()) == std::string_view::npos) return s;
  return "'" + s;
}

// Appends only: GCC 12 at -O3 takes the inlined prepend of `"," + field`
// for an overlapping copy (-Wrestrict).
std::string csv_line(const std::vector<std::string>& cells) {
  std::string line;
  for (std::size_t i = 0; i < cells.size(); ++i) {
    if (i != 0) line.push_back(',');
    line.append(csv_field(cells[i]));
  }
  return line;
}

// `widths` pads every cell but the last, each followed by one space.
void print_table_line(const std::vector<std::string>& cells, const std::vector<std::size_t>& widths) {
  std::string line;
  for (std::size_t i = 0; i < cells.size(); ++i) {
    line += cells[i];
    if (i + 1 == cells.size()) break;
    if (cells[i].size() < widths[i]) line.append(widths[i] - cells[i].size(), ' ');
    line += ' ';
  }
  std::printf("%s\n", line.c_str());
}

}  // namespace

std::string iso_time(std::chrono::system_clock::time_point now) {
  const std::time_t t = std::chrono::system_clock::to_time_t(now);
  const std::tm tm = utc_time(t);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return buf;
}

const std::map<std::string, Format>& format_names() {
  static const std::map<std::string, Format> names = {
      {"table", Format::kTable}, {"csv", Format::kCsv}, {"json", Format::kJson}, {"none", Format::kNone}};
  return names;
}

Output::Output(Format format, Content content, std::vector<Source> buses, const std::string& log_file)
    : format_(format), content_(content), buses_(std::move(buses)), log_file_(log_file) {
  if (buses_.empty()) buses_.push_back(Source{});
  if (log_file_.empty()) return;
  // Read and appended through one stream: "a+" writes at the end whatever
  // the position, and reads from where we seek.
  log_ = std::fopen(log_file_.c_str(), "a+");
  if (log_ == nullptr) throw Failure(log_file_ + ": cannot be opened for appending (" + os_error_text(errno) + ")");
  // Unbuffered: a row goes to the file in the one write that can fail, not
  // in a later flush that would leave half of it behind.
  std::setvbuf(log_, nullptr, _IONBF, 0);
  const std::string header = csv_line(kCsvReadingsHeader);
  log_columns_ = kCsvReadingsHeader.size();
  std::fseek(log_, 0, SEEK_END);
  const long size = std::ftell(log_);
  std::string prefix;
  if (size == 0) {
    prefix = header + "\n";
  } else {
    std::fseek(log_, 0, SEEK_SET);
    std::string first;
    for (int ch; first.size() <= header.size() && (ch = std::fgetc(log_)) != EOF && ch != '\n';)
      first += static_cast<char>(ch);
    if (!first.empty() && first.back() == '\r') first.pop_back();
    bool known = first == header;
    for (std::size_t columns : kCsvEarlierColumns)
      if (!known && first == csv_line(std::vector<std::string>(kCsvReadingsHeader.begin(),
                                                               kCsvReadingsHeader.begin() + static_cast<long>(columns)))) {
        known = true;
        log_columns_ = columns;
      }
    if (!known) {
      std::fclose(log_);
      log_ = nullptr;
      throw Failure(log_file_ + ": not a log of this tool (its first line is \"" + shorten(first) +
                    "\", not \"" + header + "\"); not appending to it");
    }
    // A row torn by a crash of whoever wrote last stays as it is, but the
    // next one starts on a line of its own.
    std::fseek(log_, size - 1, SEEK_SET);
    if (std::fgetc(log_) != '\n') prefix = "\n";
  }
  std::fseek(log_, 0, SEEK_END);
  if (!prefix.empty()) {
    const long end = std::ftell(log_);
    if (std::fwrite(prefix.data(), 1, prefix.size(), log_) != prefix.size() || !sync_file(log_)) {
      const int err = errno;
      truncate_file(log_, end);
      throw Failure(log_file_ + ": cannot be written (" + os_error_text(err) + ")");
    }
  }
}

Output::~Output() {
  if (log_ != nullptr) std::fclose(log_);
}

void Output::write(const std::vector<SensorRow>& rows, const std::string& error, const Notes& notes) {
  write(rows, error, notes, iso_time(std::chrono::system_clock::now()));
}

void Output::write(const std::vector<SensorRow>& rows, const std::string& error, const Notes& notes,
                   const std::string& time) {
  switch (format_) {
    case Format::kTable:
      write_table(rows, time);
      break;
    case Format::kCsv:
      write_csv(rows, time);
      break;
    case Format::kJson:
      write_json(rows, error, notes, time);
      break;
    case Format::kNone:
      break;
  }
  // A reader that went away (`watch | head -2`) ends the run as a
  // termination request does, whatever SIGPIPE's disposition is by now.
  if (std::fflush(stdout) != 0 && errno == EPIPE) raise_interrupt();
  if (log_ != nullptr && readings()) write_log(rows, time);
}

void Output::write_log(const std::vector<SensorRow>& rows, const std::string& time) {
  std::string block;
  for (const auto& r : rows) {
    std::vector<std::string> cells = csv_cells(r, time);
    cells.resize(log_columns_);
    block += csv_line(cells) + "\n";
  }
  if (block.empty()) return;
  std::fseek(log_, 0, SEEK_END);
  const long end = std::ftell(log_);
  if (std::fwrite(block.data(), 1, block.size(), log_) == block.size() && sync_file(log_)) return;
  const int err = errno;
  // A full disk takes what fits: cut back to the last complete row, so
  // that the log never holds half a row.
  const bool cut = truncate_file(log_, end);
  throw Failure(log_file_ + ": cannot be written (" + os_error_text(err) + "); " +
                (cut ? "this measurement is not in it" : "its last row may be incomplete"));
}

void Output::write_table(const std::vector<SensorRow>& rows, const std::string& time) {
  const bool timed = content_ == Content::kReadingsOverTime;
  // The configuration's names go last, and only once it gives any; the
  // header comes again when the column appears.
  bool labelled = false;
  for (const auto& r : rows) labelled = labelled || !r.label.empty();
  if (labelled && !label_column_) {
    label_column_ = true;
    header_done_ = false;
  }
  // Several buses: each row says which it is on, first.
  const bool bus_column = buses_.size() > 1;
  std::size_t bus_width = 3;
  for (const auto& b : buses_) bus_width = std::max(bus_width, b.name.size());
  std::vector<std::size_t> widths;
  if (timed) widths.push_back(kTimeWidth);
  if (bus_column) widths.push_back(bus_width);
  widths.insert(widths.end(), kColumnWidths.begin(), kColumnWidths.end());
  if (readings()) widths.push_back(kTempWidth);
  // list: each DS18B20's family; settings: the settings, then why a
  // sensor's were not read or changed.
  const bool families = content_ == Content::kDevices &&
                        std::any_of(rows.begin(), rows.end(), [](const SensorRow& r) { return !r.family.empty(); });
  const bool settings = content_ == Content::kSettings;
  if (families) widths.push_back(8);
  if (settings) widths.insert(widths.end(), {4, 5, 5, 15, 7});
  auto line = [&](const std::string& time_cell, const std::string& bus_cell, const std::vector<std::string>& row,
                  const std::string& temp_cell, const std::vector<std::string>& more, const std::string& label_cell) {
    std::vector<std::string> cells;
    if (timed) cells.push_back(time_cell);
    if (bus_column) cells.push_back(bus_cell);
    cells.insert(cells.end(), row.begin(), row.end());
    if (readings()) cells.push_back(temp_cell);
    cells.insert(cells.end(), more.begin(), more.end());
    if (label_column_) cells.push_back(label_cell);
    print_table_line(cells, widths);
  };
  std::vector<std::string> more_header;
  if (families) more_header = {"FAMILY"};
  if (settings) more_header = {"RES", "LOW", "HIGH", "POWER", "EEPROM"};
  if (!header_done_ && !rows.empty()) {
    line("TIME", "BUS", {"INDEX", "ROM", "NAME"}, "TEMP", more_header, "LABEL");
    header_done_ = true;
  }
  const auto number = [](const std::optional<int>& n) { return n ? std::to_string(*n) : std::string("-"); };
  for (const auto& r : rows) {
    std::vector<std::string> more;
    if (families) more = {r.family.empty() ? "-" : r.family};
    if (settings)
      more = {number(r.resolution), number(r.alarm_low), number(r.alarm_high), r.power,
              !r.eeprom_matches ? "-" : *r.eeprom_matches ? "same" : "differs"};
    // A value outside its bounds is shown, marked for the eye.
    line(time, r.bus.empty() ? "-" : r.bus, {index_text(r, "-"), r.rom, r.name},
         r.temp.empty() ? "-" : r.temp + (out_of_bounds(r) ? "!" : ""), more, r.label);
  }
}

void Output::write_csv(const std::vector<SensorRow>& rows, const std::string& time) {
  if (!header_done_) {
    std::printf("%s\n", csv_line(readings() ? kCsvReadingsHeader : kCsvDevicesHeader).c_str());
    header_done_ = true;
  }
  for (const auto& r : rows) std::printf("%s\n", csv_line(csv_cells(r, time)).c_str());
}

namespace {
std::atomic<bool> g_json_written{false};
}  // namespace

bool json_written() { return g_json_written.load(); }

void Output::write_json(const std::vector<SensorRow>& rows, const std::string& error, const Notes& notes,
                        const std::string& time) const {
  std::printf("%s\n", json_text(rows, error, notes, time).c_str());
  g_json_written = true;
}

std::string Output::json_text(const std::vector<SensorRow>& rows, const std::string& error, const Notes& notes,
                              const std::string& time) const {
  json j;
  const Source& first = buses_.front();
  const auto text_or_null = [](const std::string& s) { return s.empty() ? json(nullptr) : json(s); };
  j["time"] = time;
  j["port"] = first.port;
  j["adapter"] = first.adapter;
  j["driver"] = first.driver;
  j["simulated"] = first.simulated;
  j["buses"] = json::array();
  for (std::size_t i = 0; i < buses_.size(); ++i) {
    const Source& b = buses_[i];
    const std::string error = i < notes.bus_errors.size() ? notes.bus_errors[i] : b.error;
    j["buses"].push_back({{"name", b.name.empty() ? b.port : b.name},
                          {"port", b.port},
                          {"adapter", b.adapter},
                          {"driver", b.driver},
                          {"simulated", b.simulated},
                          {"error", text_or_null(error)}});
  }
  j["sensors"] = json::array();
  for (const auto& r : rows) {
    json sensor = {{"index", r.index < 0 ? json(nullptr) : json(r.index)}, {"rom", r.rom}, {"name", r.name},
                   {"model", r.model}, {"label", text_or_null(r.label)}};
    if (readings()) {
      const auto c = finite(r.celsius);
      sensor["temp"] = c ? r.temp : std::string();
      sensor["celsius"] = c ? json(*c) : json(nullptr);
      sensor["status"] = r.status;
      sensor["reason"] = text_or_null(r.reason);
      sensor["alarm"] = c ? json(r.alarm) : json(nullptr);
    }
    sensor["power"] = r.power;
    sensor["bus"] = text_or_null(r.bus);
    if (content_ == Content::kDevices) sensor["family"] = text_or_null(r.family);
    if (content_ == Content::kSettings) {
      const auto number = [](const std::optional<int>& n) { return n ? json(*n) : json(nullptr); };
      sensor["resolution"] = number(r.resolution);
      sensor["alarm_low"] = number(r.alarm_low);
      sensor["alarm_high"] = number(r.alarm_high);
      sensor["eeprom_matches"] = r.eeprom_matches ? json(*r.eeprom_matches) : json(nullptr);
      sensor["reason"] = text_or_null(r.reason);
    }
    j["sensors"].push_back(sensor);
  }
  j["error"] = error.empty() ? json(nullptr) : json(error);
  j["code"] = notes.code ? json(*notes.code) : json(nullptr);
  j["more_devices"] = notes.more_devices;
  j["warnings"] = notes.warnings;
  return json_dump(j);
}

std::vector<std::string> Output::csv_cells(const SensorRow& r, const std::string& time) const {
  if (!readings())
    return {index_text(r, ""),     csv_text(r.rom),   csv_text(r.name), csv_text(r.model),
            csv_text(r.label),       csv_text(r.power), csv_text(r.bus), csv_text(r.family)};
  const auto c = finite(r.celsius);
  // A row without a bus (a configured sensor on none) is the first bus's.
  const bool own = !r.port.empty();
  return {time,
          csv_text(own ? r.port : buses_.front().port),
          std::to_string(own ? r.adapter : buses_.front().adapter),
          index_text(r, ""),
          csv_text(r.rom),
          csv_text(r.name),
          c ? r.temp : std::string(),
          c ? celsius_text(*c) : std::string(),
          csv_text(r.model),
          csv_text(r.label),
          csv_text(r.status),
          csv_text(r.reason),
          csv_text(r.bus)};
}

}  // namespace qvtool
