#include <CLI/CLI.hpp>

#include "qvds18x20/exit_codes.hpp"
#include "qvds18x20/publish/engines.hpp"
#include "qvds18x20/publish/metrics.hpp"
#include "qvds18x20/publish/mqtt_url.hpp"
#include "qvds18x20/publish/publish.hpp"

namespace qvtool {
namespace {

// Keeps the shared metrics current; runs before the publishers that show them.
class MetricsRecorder : public Publisher {
 public:
  explicit MetricsRecorder(std::shared_ptr<Metrics> metrics) : metrics_(std::move(metrics)) {}
  void publish(const Measurement& m) override { metrics_->record(m); }

 private:
  std::shared_ptr<Metrics> metrics_;
};

}  // namespace

void add_publish_options(CLI::App& cmd, PublishOptions& o, bool continuous) {
  const std::string group = "Publishing";
  cmd.add_option("--mqtt", o.mqtt_url,
                 std::string("publish to the MQTT broker at mqtt[s]://[user[:password]@]host[:port]/topic-prefix "
                             "(the password may also come from $") +
                     kMqttPasswordVariable + ")")
      ->group(group);
  cmd.add_option("--mqtt-cafile", o.mqtt_cafile, "CA certificates (PEM) for mqtts://; default: the system's store")
      ->group(group);
  cmd.add_flag("--mqtt-discovery", o.mqtt_discovery, "publish Home Assistant MQTT discovery configs")->group(group);
  cmd.add_option("--mqtt-discovery-prefix", o.mqtt_discovery_prefix, "topic prefix of the discovery configs")
      ->capture_default_str()
      ->group(group);
  if (continuous)
    cmd.add_option("--mqtt-queue", o.mqtt_queue, "measurements kept for the broker while it is away")
        ->capture_default_str()
        ->check(CLI::PositiveNumber)
        ->group(group);
  cmd.add_option("--prometheus-file", o.prometheus_file,
                 "write metrics for node-exporter's textfile collector to this file after every measurement")
      ->group(group);
  if (continuous)
    cmd.add_option("--metrics-listen", o.metrics_listen, "serve metrics over HTTP at /metrics on [ADDR:]PORT")
        ->group(group);
}

Publishers::Publishers(const PublishOptions& o, const Source& source, Lifetime lifetime) {
  if (o.mqtt_url.empty() &&
      (!o.mqtt_cafile.empty() || o.mqtt_discovery || o.mqtt_discovery_prefix != PublishOptions().mqtt_discovery_prefix))
    throw UsageError("--mqtt-cafile and --mqtt-discovery need --mqtt");
  if (!o.mqtt_url.empty()) publishers_.push_back(make_mqtt_publisher(o, lifetime));
  if (o.prometheus_file.empty() && o.metrics_listen.empty()) return;
  auto metrics = std::make_shared<Metrics>(source.port);
  publishers_.push_back(std::make_unique<MetricsRecorder>(metrics));
  if (!o.prometheus_file.empty()) publishers_.push_back(std::make_unique<PrometheusFile>(o.prometheus_file, metrics));
  if (!o.metrics_listen.empty()) publishers_.push_back(make_metrics_server(o.metrics_listen, metrics));
}

Publishers::~Publishers() = default;

void Publishers::publish(const Measurement& m) {
  for (auto& p : publishers_) p->publish(m);
}

void Publishers::finish() {
  for (auto& p : publishers_) p->finish();
}

}  // namespace qvtool
