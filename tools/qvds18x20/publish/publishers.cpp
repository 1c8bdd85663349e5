#include <CLI/CLI.hpp>

#include "qvds18x20/exit_codes.hpp"
#include "qvds18x20/options.hpp"
#include "qvds18x20/publish/engines.hpp"
#include "qvds18x20/publish/features.hpp"
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

ListenAddress parse_metrics_listen(const std::string& listen) {
  const std::string form = "--metrics-listen takes [ADDR:]PORT with PORT 0..65535 (127.0.0.1:9123, [::1]:9123, "
                           "0.0.0.0:9123 for every interface)";
  ListenAddress where{"127.0.0.1", listen};
  const std::size_t colon = listen.rfind(':');
  if (colon != std::string::npos) {
    where.host = listen.substr(0, colon);
    where.port = listen.substr(colon + 1);
    if (where.host.size() >= 2 && where.host.front() == '[' && where.host.back() == ']')
      where.host = where.host.substr(1, where.host.size() - 2);
    else if (where.host.find(':') != std::string::npos)
      throw UsageError(form + ", not \"" + shorten(listen) + "\" (a v6 address goes in brackets)");
    if (where.host.empty())
      throw UsageError(form + ", not \"" + shorten(listen) +
                       "\": name the address, since listening on every interface shows the metrics to the network");
  }
  const bool digits = !where.port.empty() && where.port.size() <= 5 &&
                      where.port.find_first_not_of("0123456789") == std::string::npos;
  if (!digits || std::stol(where.port) > 65535) throw UsageError(form + ", not \"" + shorten(listen) + "\"");
  return where;
}

void add_publish_options(CLI::App& cmd, PublishOptions& o, bool continuous) {
  const std::string group = "Publishing";
  cmd.add_option("--mqtt", o.mqtt_url,
                 std::string("publish to the MQTT broker at mqtt[s]://[user[:password]@]host[:port]/topic-prefix "
                             "(the password may also come from $") +
                     kMqttPasswordVariable + ")")
      ->check(non_empty())
      ->group(group);
  cmd.add_option("--mqtt-cafile", o.mqtt_cafile, "CA certificates (PEM) for mqtts://; default: the system's store")
      ->check(non_empty())
      ->group(group);
  cmd.add_flag("--mqtt-discovery", o.mqtt_discovery, "publish Home Assistant MQTT discovery configs")->group(group);
  cmd.add_option("--mqtt-discovery-prefix", o.mqtt_discovery_prefix, "topic prefix of the discovery configs")
      ->capture_default_str()
      ->check(non_empty())
      ->group(group);
  if (continuous)
    cmd.add_option("--mqtt-queue", o.mqtt_queue, "measurements kept for the broker while it is away")
        ->capture_default_str()
        ->check(CLI::Range(1, 1000000))
        ->group(group);
  cmd.add_option("--mqtt-grace", o.mqtt_grace,
                 "seconds the tool goes on delivering at its end (connecting once more if the broker is away); "
                 "what is still undelivered then makes the exit status 1")
      ->capture_default_str()
      ->check(CLI::Range(0.0, 3600.0))
      ->group(group);
  cmd.add_option("--prometheus-file", o.prometheus_file,
                 "write metrics for node-exporter's textfile collector to this file after every measurement")
      ->check(non_empty())
      ->group(group);
  if (continuous)
    cmd.add_option("--metrics-listen", o.metrics_listen,
                   "serve metrics over HTTP at /metrics on [ADDR:]PORT (ADDR: 127.0.0.1 unless given)")
        ->check(non_empty())
        ->group(group);
  // A build without an engine offers none of its options (features.hpp):
  // every --mqtt* option is MQTT's, --metrics-listen the endpoint's.
  for (CLI::Option* opt : cmd.get_options()) {
    const std::string name = opt->get_name();
    if ((!mqtt_built() && name.rfind("--mqtt", 0) == 0) || (!http_built() && name == "--metrics-listen"))
      cmd.remove_option(opt);
  }
}

void Publishers::check(const PublishOptions& o, Lifetime) {
  const PublishOptions defaults;
  if (o.mqtt_url.empty() && (!o.mqtt_cafile.empty() || o.mqtt_discovery ||
                             o.mqtt_discovery_prefix != defaults.mqtt_discovery_prefix || o.mqtt_grace != defaults.mqtt_grace))
    throw UsageError("--mqtt-cafile, --mqtt-discovery, --mqtt-discovery-prefix and --mqtt-grace need --mqtt");
  if (!o.metrics_listen.empty()) parse_metrics_listen(o.metrics_listen);
  if (!o.mqtt_url.empty()) check_mqtt_options(o);
  if (!o.prometheus_file.empty()) PrometheusFile::check(o.prometheus_file);
}

Publishers::Publishers(const PublishOptions& o, const std::vector<Source>& buses, Lifetime lifetime) {
  check(o, lifetime);
  if (!o.mqtt_url.empty()) publishers_.push_back(make_mqtt_publisher(o, buses, lifetime));
  if (o.prometheus_file.empty() && o.metrics_listen.empty()) return;
  auto metrics = std::make_shared<Metrics>(buses);
  publishers_.push_back(std::make_unique<MetricsRecorder>(metrics));
  if (!o.prometheus_file.empty())
    publishers_.push_back(std::make_unique<PrometheusFile>(o.prometheus_file, metrics, lifetime));
  if (!o.metrics_listen.empty()) publishers_.push_back(make_metrics_server(o.metrics_listen, metrics));
}

Publishers::~Publishers() = default;

void Publishers::publish(const Measurement& m) {
  for (auto& p : publishers_) p->publish(m);
}

void Publishers::finish() {
  // Every publisher gets its turn at the end, whatever the one before it
  // could not do.
  std::string failures;
  for (auto& p : publishers_) {
    try {
      p->finish();
    } catch (const Failure& e) {
      failures += (failures.empty() ? "" : "; ") + std::string(e.what());
    }
  }
  if (!failures.empty()) throw Failure(failures);
}

}  // namespace qvtool
