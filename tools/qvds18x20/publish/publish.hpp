// Publishing measurements beyond this machine: to an MQTT broker and to
// Prometheus (a textfile-collector file and an HTTP /metrics endpoint).
// The commands hand every measurement to Publishers; each publisher keeps
// its own pace, so a slow or absent broker never holds up a round.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "qvds18x20/output.hpp"

namespace CLI {
class App;
}

namespace qvtool {

struct PublishOptions {
  std::string mqtt_url;  // mqtt[s]://[user[:password]@]host[:port]/topic-prefix
  std::string mqtt_cafile;
  bool mqtt_discovery = false;
  std::string mqtt_discovery_prefix = "homeassistant";
  int mqtt_queue = 10000;  // measurements kept while the broker is away
  double mqtt_grace = 10;  // seconds to deliver what is queued at the end
  // Seconds after which Home Assistant shows a sensor's value as
  // unavailable when no new one came (discovery's expire_after); 0: never.
  // watch sets it to a few of its intervals.
  int expire_after = 0;
  std::string prometheus_file;
  std::string metrics_listen;  // [ADDR:]PORT
};

// Registers the publishing options on read (`continuous` false: no HTTP
// endpoint, which would end with the command) or watch.
void add_publish_options(CLI::App& cmd, PublishOptions& o, bool continuous);

// One measurement as every output shows it.
struct Measurement {
  std::vector<SensorRow> rows;
  // The buses it came from (as the publishers were given them), each
  // with its error when it gave nothing this time.
  std::vector<Source> buses;
  std::string error;  // empty when at least one sensor was read
  std::chrono::system_clock::time_point when;
  std::string json;  // exactly what --format json prints for it
};

class Publisher {
 public:
  virtual ~Publisher() = default;
  // Called on the main thread after every measurement; must not block on
  // the network.
  virtual void publish(const Measurement& m) = 0;
  // Called once before the command ends: delivers what it still can.
  // Throws Failure when something was not delivered (a one-shot command's
  // measurement, or any of watch's), so that the exit status says so.
  virtual void finish() {}
};

// How long a publisher keeps trying.
enum class Lifetime {
  kOnce,        // read: one measurement; failing to deliver it fails the command
  kContinuous,  // watch: rides out outages, keeping measurements queued
};

class Publishers {
 public:
  // Checks the options before anything runs (a command calls it before it
  // opens the bus): UsageError for values that cannot be used (a URL, a
  // folder given as the metrics file), Failure for a file that cannot be
  // used now (a CA file that is missing, a folder that cannot be written).
  static void check(const PublishOptions& o, Lifetime lifetime);

  // Starts every publisher the options ask for; throws Failure (or
  // UsageError for values that cannot be used) when one cannot start.
  // `buses`: the buses the measurements come from.
  Publishers(const PublishOptions& o, const std::vector<Source>& buses, Lifetime lifetime);
  ~Publishers();
  Publishers(const Publishers&) = delete;
  Publishers& operator=(const Publishers&) = delete;

  bool empty() const { return publishers_.empty(); }
  void publish(const Measurement& m);
  // Finishes every publisher, then throws the first one's Failure with
  // every other one's reason joined to it.
  void finish();

 private:
  std::vector<std::unique_ptr<Publisher>> publishers_;
};

}  // namespace qvtool
