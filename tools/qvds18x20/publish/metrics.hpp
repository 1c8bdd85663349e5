// Prometheus metrics of the measurements, in the text exposition format
// that node-exporter's textfile collector and a scrape of /metrics read.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <mutex>
#include <string>
#include <vector>

#include "qvds18x20/publish/publish.hpp"

namespace qvtool {

// Shared by the publisher that records measurements (main thread) and the
// HTTP endpoint that renders them (its own thread).
class Metrics {
 public:
  // `buses`: the buses the measurements come from.
  explicit Metrics(std::vector<Source> buses);

  void record(const Measurement& m);
  std::string text() const;

 private:
  struct Sensor {
    std::string name;   // the configuration's name, else its type
    std::string model;
    std::string bus, port;  // where it was last seen
    std::optional<double> celsius;  // none: not read in the last measurement
    bool out_of_bounds = false;     // its value in the last measurement lay outside its bounds
    bool alarm = false;             // at or beyond its alarm thresholds in the last measurement
    std::map<std::string, std::uint64_t> failures;  // measurements it was not read in, by reason
  };
  struct Bus {
    std::string name, port;
    std::uint64_t rounds = 0, failed = 0;
    double last_success = 0;  // seconds since the epoch; 0: never
  };

  mutable std::mutex mutex_;
  std::vector<Bus> buses_;
  std::map<std::string, Sensor> sensors_;  // by ROM (the component's form), every thermometer seen or configured
};

// Writes the metrics to a textfile-collector file after every
// measurement: a temporary file beside it, then a rename, so that a
// scrape never reads half a file.
class PrometheusFile : public Publisher {
 public:
  // Throws UsageError for a path that cannot be the file: a folder, a
  // device or another file that is not a regular one (the rename would
  // replace it); Failure for a place where the temporary file cannot be
  // made (yet).
  static void check(const std::string& path);

  PrometheusFile(std::string path, std::shared_ptr<const Metrics> metrics, Lifetime lifetime);
  // A write that fails is said on standard error with the system's
  // reason (again only when the reason changes) and leaves no temporary
  // file behind.
  void publish(const Measurement& m) override;
  // Throws Failure when the last measurement's metrics are not in the
  // file.
  void finish() override;

 private:
  std::string path_;
  std::shared_ptr<const Metrics> metrics_;
  Lifetime lifetime_;
  std::string last_error_;  // of the last write; empty when it went in
};

}  // namespace qvtool
