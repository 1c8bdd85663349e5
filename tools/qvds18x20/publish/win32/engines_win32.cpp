#include "qvds18x20/exit_codes.hpp"
#include "qvds18x20/publish/engines.hpp"

namespace qvtool {

// No libmosquitto and no /metrics endpoint in the Windows build.
void check_mqtt_options(const PublishOptions&) {
  throw UsageError("--mqtt is not available in this build (it has no MQTT library)");
}

std::unique_ptr<Publisher> make_mqtt_publisher(const PublishOptions&, const Source&, Lifetime) {
  throw UsageError("--mqtt is not available in this build (it has no MQTT library)");
}

std::unique_ptr<Publisher> make_metrics_server(const std::string&, std::shared_ptr<const Metrics>) {
  throw UsageError("--metrics-listen is not available in this build (it has no HTTP server)");
}

}  // namespace qvtool
