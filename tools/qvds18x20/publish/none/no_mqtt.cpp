// A build without the MQTT publisher (no libmosquitto, or QVDS_WITH_MQTT
// off): its options are not offered (features.hpp), so nothing reaches
// these but a caller that did not ask.
#include "qvds18x20/exit_codes.hpp"
#include "qvds18x20/publish/engines.hpp"

namespace qvtool {

void check_mqtt_options(const PublishOptions&) {
  throw UsageError("--mqtt is not available in this build (it was built without MQTT)");
}

std::unique_ptr<Publisher> make_mqtt_publisher(const PublishOptions&, const std::vector<Source>&, Lifetime) {
  throw UsageError("--mqtt is not available in this build (it was built without MQTT)");
}

}  // namespace qvtool
