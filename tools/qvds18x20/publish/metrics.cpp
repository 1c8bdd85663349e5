#include "qvds18x20/publish/metrics.hpp"

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <set>
#include <system_error>

#include "qvds18x20/exit_codes.hpp"
#include "qvds18x20/report.hpp"
#include "qvds18x20/sensor_checks.hpp"
#include "qvds18x20/utf8.hpp"

namespace qvtool {
namespace {

// A label value is UTF-8 with \\, \" and \n escaped; the port comes from
// the user and may hold any bytes.
std::string label_value(const std::string& text) {
  std::string out;
  for (char c : utf8_escaped(text)) {
    if (c == '\\' || c == '"') out += '\\';
    if (c == '\n') {
      out += "\\n";
      continue;
    }
    out += c;
  }
  return out;
}

void header(std::string& out, const char* name, const char* type, const char* help) {
  out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

}  // namespace

Metrics::Metrics(std::vector<Source> buses) {
  for (const auto& b : buses) buses_.push_back({b.name.empty() ? b.port : b.name, b.port});
  if (buses_.empty()) buses_.push_back({"", ""});
}

void Metrics::record(const Measurement& m) {
  std::lock_guard lock(mutex_);
  const double when = std::chrono::duration<double>(m.when.time_since_epoch()).count();
  for (std::size_t i = 0; i < buses_.size(); ++i) {
    Bus& b = buses_[i];
    ++b.rounds;
    // A bus's own error, or the whole measurement's for one bus alone.
    const bool failed = i < m.buses.size() ? !m.buses[i].error.empty() : !m.error.empty();
    if (failed)
      ++b.failed;
    else
      b.last_success = when;
  }
  std::set<std::string> in_rows;
  for (const auto& r : m.rows) {
    if (!r.thermometer) continue;
    in_rows.insert(r.romstr);
    Sensor& s = sensors_[r.romstr];
    s.name = r.label.empty() ? r.name : r.label;
    s.model = r.model;
    if (!r.bus.empty()) {
      s.bus = r.bus;
      s.port = r.port;
    } else if (s.bus.empty()) {
      s.bus = buses_.front().name;
      s.port = buses_.front().port;
    }
    s.celsius.reset();
    s.out_of_bounds = out_of_bounds(r);
    s.alarm = r.alarm;
    if (r.celsius && std::isfinite(*r.celsius))
      s.celsius = r.celsius;
    else
      ++s.failures[r.status.empty() ? "not_measured" : r.status];
  }
  // A sensor seen earlier in the run and gone from the list since.
  for (auto& [rom, s] : sensors_)
    if (in_rows.count(rom) == 0) {
      s.celsius.reset();
      s.out_of_bounds = false;
      s.alarm = false;
      ++s.failures[kMissing];
    }
}

std::string Metrics::text() const {
  std::lock_guard lock(mutex_);
  std::string out;
  const auto labels = [&](const std::string& rom, const Sensor& s, const std::string& more = "") {
    return "{rom=\"" + label_value(rom) + "\",name=\"" + label_value(s.name) + "\",model=\"" + label_value(s.model) +
           "\",port=\"" + label_value(s.port) + "\",bus=\"" + label_value(s.bus) + "\"" + more + "}";
  };
  const auto bus_labels = [&](const Bus& b) {
    return "{port=\"" + label_value(b.port) + "\",bus=\"" + label_value(b.name) + "\"}";
  };
  header(out, "qvds18x20_build_info", "gauge", "The tool's version; always 1.");
  out += std::string("qvds18x20_build_info{version=\"") + label_value(QVDS_TOOL_VERSION) + "\"} 1\n";
  header(out, "qvds18x20_temperature_celsius", "gauge",
         "Temperature of the sensor in the last measurement (its exact value); absent when it was not read.");
  for (const auto& [rom, s] : sensors_)
    if (s.celsius) out += "qvds18x20_temperature_celsius" + labels(rom, s) + " " + celsius_text(*s.celsius) + "\n";
  header(out, "qvds18x20_sensor_read", "gauge", "1 when the sensor was read in the last measurement, else 0.");
  for (const auto& [rom, s] : sensors_) out += "qvds18x20_sensor_read" + labels(rom, s) + (s.celsius ? " 1\n" : " 0\n");
  header(out, "qvds18x20_sensor_out_of_bounds", "gauge",
         "1 when the sensor's value in the last measurement lay outside its bounds (the configuration's min and max, "
         "else the part's range), else 0.");
  for (const auto& [rom, s] : sensors_)
    out += "qvds18x20_sensor_out_of_bounds" + labels(rom, s) + (s.out_of_bounds ? " 1\n" : " 0\n");
  header(out, "qvds18x20_sensor_alarm", "gauge",
         "1 when the sensor's value in the last measurement was at or beyond its alarm thresholds (TH, TL), else 0.");
  for (const auto& [rom, s] : sensors_)
    if (s.celsius) out += "qvds18x20_sensor_alarm" + labels(rom, s) + (s.alarm ? " 1\n" : " 0\n");
  header(out, "qvds18x20_sensor_not_read_total", "counter",
         "Measurements that did not read the sensor, by reason (crc_error on a long or noisy line, power_on_value "
         "for a sensor that did not convert, not_selected for one that did not answer, missing for one not on the "
         "bus, ...).");
  for (const auto& [rom, s] : sensors_)
    for (const auto& [reason, n] : s.failures)
      out += "qvds18x20_sensor_not_read_total" + labels(rom, s, ",reason=\"" + label_value(reason) + "\"") + " " +
             std::to_string(n) + "\n";
  header(out, "qvds18x20_last_success_timestamp_seconds", "gauge",
         "Time of the bus's last measurement that read at least one sensor, in seconds since the epoch; 0: none yet.");
  for (const auto& b : buses_) {
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "%.3f", b.last_success);
    out += "qvds18x20_last_success_timestamp_seconds" + bus_labels(b) + " " + stamp + "\n";
  }
  header(out, "qvds18x20_measurements_total", "counter", "Measurements taken of the bus.");
  for (const auto& b : buses_) out += "qvds18x20_measurements_total" + bus_labels(b) + " " + std::to_string(b.rounds) + "\n";
  header(out, "qvds18x20_measurements_failed_total", "counter", "Measurements of the bus that read no sensor.");
  for (const auto& b : buses_)
    out += "qvds18x20_measurements_failed_total" + bus_labels(b) + " " + std::to_string(b.failed) + "\n";
  return out;
}

void PrometheusFile::check(const std::string& path) {
  std::error_code ec;
  const auto status = std::filesystem::status(path, ec);
  if (!ec && std::filesystem::exists(status)) {
    if (std::filesystem::is_directory(status))
      throw UsageError("--prometheus-file " + shorten(path, 200) +
                    ": is a folder; it takes the path of a file in it, such as " + shorten(path, 200) +
                    "/qvds18x20.prom");
    if (!std::filesystem::is_regular_file(status))
      throw UsageError("--prometheus-file " + shorten(path, 200) +
                    ": is not a regular file (writing it would replace it with one)");
  }
  // A path that cannot be written fails now, not after the first round.
  const std::string tmp = path + ".tmp";
  std::FILE* f = std::fopen(tmp.c_str(), "w");
  if (f == nullptr)
    throw Failure("--prometheus-file " + shorten(path, 200) + ": " + shorten(tmp, 200) + " cannot be created (" +
                  std::strerror(errno) + ")");
  std::fclose(f);
  std::remove(tmp.c_str());
}

PrometheusFile::PrometheusFile(std::string path, std::shared_ptr<const Metrics> metrics, Lifetime lifetime)
    : path_(std::move(path)), metrics_(std::move(metrics)), lifetime_(lifetime) {
  check(path_);
}

void PrometheusFile::publish(const Measurement&) {
  // The collector reads *.prom files only: the temporary name never matches.
  const std::string tmp = path_ + ".tmp";
  const std::string text = metrics_->text();
  std::string error;
  std::FILE* f = std::fopen(tmp.c_str(), "w");
  if (f == nullptr) {
    error = shorten(tmp, 200) + " cannot be created (" + std::strerror(errno) + ")";
  } else {
    const bool written = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    const int write_errno = errno;
    const bool closed = std::fclose(f) == 0;
    if (!written || !closed) error = shorten(tmp, 200) + " cannot be written (" + std::strerror(written ? errno : write_errno) + ")";
  }
  if (error.empty()) {
    std::error_code ec;
    std::filesystem::rename(tmp, path_, ec);
    if (ec) error = "cannot be replaced (" + ec.message() + ")";
  }
  if (!error.empty()) std::remove(tmp.c_str());
  if (error != last_error_) {
    if (!error.empty())
      report(Severity::kWarning, "--prometheus-file " + shorten(path_, 200) + ": " + error);
    else
      report(Severity::kNotice, "--prometheus-file " + shorten(path_, 200) + ": written again");
  }
  last_error_ = error;
}

void PrometheusFile::finish() {
  if (!last_error_.empty())
    throw Failure("--prometheus-file " + shorten(path_, 200) + ": the last " +
                  (lifetime_ == Lifetime::kOnce ? "measurement is" : "measurement's metrics are") +
                  " not in it (" + last_error_ + ")");
}

}  // namespace qvtool
