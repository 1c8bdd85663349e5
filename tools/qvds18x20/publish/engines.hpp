// The publishers that need an outside engine: libmosquitto for MQTT,
// cpp-httplib for the /metrics endpoint. posix/ builds them; a build
// without the engines (Windows) answers with a usage error instead.
#pragma once

#include <memory>

#include "qvds18x20/publish/metrics.hpp"
#include "qvds18x20/publish/publish.hpp"

namespace qvtool {

std::unique_ptr<Publisher> make_mqtt_publisher(const PublishOptions& o, Lifetime lifetime);

std::unique_ptr<Publisher> make_metrics_server(const std::string& listen, std::shared_ptr<const Metrics> metrics);

}  // namespace qvtool
