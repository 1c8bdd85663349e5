// Which publishers' engines this build of the tool has (CMake's
// QVDS_WITH_MQTT, QVDS_WITH_HTTP and QVDS_WITH_OWSERVER, where their parts
// were found): the
// options of one it lacks are not offered at all.
#pragma once

namespace qvtool {

// The MQTT publisher (libmosquitto): --mqtt and its options.
bool mqtt_built();
// The /metrics endpoint: --metrics-listen.
bool http_built();
// The owserver protocol's server (standalone Asio): the serve command.
bool owserver_built();

}  // namespace qvtool
