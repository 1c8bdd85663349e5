#include "qvds18x20/publish/metrics.hpp"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "qvds18x20/exit_codes.hpp"

namespace qvtool {
namespace {

// DS18S20, DS1822, DS18B20: devices whose missing reading is news.
bool is_thermometer(const SensorRow& r) {
  if (!r.temp.empty()) return true;
  const std::string family = r.rom.size() >= 2 ? r.rom.substr(r.rom.size() - 2) : "";
  return family == "10" || family == "22" || family == "28";
}

std::string label_value(const std::string& s) {
  std::string out;
  for (char c : s) {
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

void Metrics::record(const Measurement& m) {
  std::lock_guard lock(mutex_);
  ++rounds_;
  if (!m.error.empty()) ++failed_;
  for (auto& [rom, sensor] : sensors_) sensor.temp.clear();
  for (const auto& r : m.rows)
    if (is_thermometer(r)) sensors_[r.rom] = {r.name, r.temp};
  if (m.error.empty())
    last_success_ = std::chrono::duration<double>(m.when.time_since_epoch()).count();
}

std::string Metrics::text() const {
  std::lock_guard lock(mutex_);
  std::string out;
  const auto labels = [&](const std::string& rom, const Sensor& s) {
    return "{rom=\"" + label_value(rom) + "\",name=\"" + label_value(s.name) + "\",port=\"" + label_value(port_) + "\"}";
  };
  header(out, "qvds18x20_temperature_celsius", "gauge",
         "Temperature of the sensor in the last measurement; absent when it was not read.");
  for (const auto& [rom, s] : sensors_)
    if (!s.temp.empty()) out += "qvds18x20_temperature_celsius" + labels(rom, s) + " " + s.temp + "\n";
  header(out, "qvds18x20_sensor_read", "gauge", "1 when the sensor was read in the last measurement, else 0.");
  for (const auto& [rom, s] : sensors_)
    out += "qvds18x20_sensor_read" + labels(rom, s) + (s.temp.empty() ? " 0\n" : " 1\n");
  header(out, "qvds18x20_last_success_timestamp_seconds", "gauge",
         "Time of the last measurement that read at least one sensor, in seconds since the epoch; 0: none yet.");
  char stamp[64];
  std::snprintf(stamp, sizeof stamp, "%.3f", last_success_);
  out += std::string("qvds18x20_last_success_timestamp_seconds{port=\"") + label_value(port_) + "\"} " + stamp + "\n";
  header(out, "qvds18x20_measurements_total", "counter", "Measurements taken.");
  out += "qvds18x20_measurements_total{port=\"" + label_value(port_) + "\"} " + std::to_string(rounds_) + "\n";
  header(out, "qvds18x20_measurements_failed_total", "counter", "Measurements that read no sensor.");
  out += "qvds18x20_measurements_failed_total{port=\"" + label_value(port_) + "\"} " + std::to_string(failed_) + "\n";
  return out;
}

PrometheusFile::PrometheusFile(std::string path, std::shared_ptr<const Metrics> metrics)
    : path_(std::move(path)), metrics_(std::move(metrics)) {
  // A path that cannot be written fails now, not after the first round.
  std::FILE* f = std::fopen((path_ + ".tmp").c_str(), "w");
  if (f == nullptr) throw Failure(path_ + ".tmp: cannot be created for --prometheus-file");
  std::fclose(f);
  std::remove((path_ + ".tmp").c_str());
}

void PrometheusFile::publish(const Measurement&) {
  // The collector reads *.prom files only: the temporary name never matches.
  const std::string tmp = path_ + ".tmp";
  const std::string text = metrics_->text();
  std::FILE* f = std::fopen(tmp.c_str(), "w");
  bool ok = f != nullptr && std::fwrite(text.data(), 1, text.size(), f) == text.size();
  if (f != nullptr) ok = std::fclose(f) == 0 && ok;
  std::error_code ec;
  if (ok) std::filesystem::rename(tmp, path_, ec);
  if (!ok || ec) std::fprintf(stderr, "qvds18x20: %s: cannot be written\n", path_.c_str());
}

}  // namespace qvtool
