// The publishers that need an outside engine: libmosquitto for MQTT, and
// standalone Asio for the /metrics endpoint. posix/ builds them; a build
// without the engines (Windows) answers with a usage error instead.
#pragma once

#include <memory>
#include <string>

#include "qvds18x20/publish/metrics.hpp"
#include "qvds18x20/publish/publish.hpp"

namespace qvtool {

namespace net {
class EventLoop;
}

// Checks what can be checked of the MQTT options before anything runs:
// the URL and the topics the prefixes make (characters, length, UTF-8,
// none of the broker's own $ topics), each a UsageError, and a CA file
// that cannot be read (Failure).
void check_mqtt_options(const PublishOptions& o);

// Starts the connection thread; Publishers checks the options first
// (check_mqtt_options). A message the library refuses all the same is
// dropped and named on standard error.
std::unique_ptr<Publisher> make_mqtt_publisher(const PublishOptions& o, const std::vector<Source>& buses,
                                               Lifetime lifetime);

// Where --metrics-listen points: [ADDR:]PORT, ADDR 127.0.0.1 when not
// given; a v6 address in brackets ([::1]:9123).
struct ListenAddress {
  std::string host;  // without brackets
  std::string port;  // digits, 0..65535
};
// Throws UsageError for anything else, ":PORT" included (which some
// programs take for every interface: here that is said as 0.0.0.0:PORT).
ListenAddress parse_metrics_listen(const std::string& listen);

// Serves `metrics` on `listen`, on `loop` (the tool's event loop, which
// other listeners may share; a loop of its own when none is given).
std::unique_ptr<Publisher> make_metrics_server(const std::string& listen, std::shared_ptr<const Metrics> metrics,
                                               std::shared_ptr<net::EventLoop> loop = nullptr);

}  // namespace qvtool
