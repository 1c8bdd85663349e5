#include "qvds18x20/publish/features.hpp"

namespace qvtool {

// The build says, per target (tools/CMakeLists.txt).
bool mqtt_built() { return QVDS_WITH_MQTT != 0; }
bool http_built() { return QVDS_WITH_HTTP != 0; }
bool owserver_built() { return QVDS_WITH_OWSERVER != 0; }

}  // namespace qvtool
