// Where --mqtt points: mqtt[s]://[user[:password]@]host[:port]/topic-prefix
#pragma once

#include <string>

namespace qvtool {

struct MqttTarget {
  bool tls = false;
  std::string user, password;  // percent-decoded
  bool has_password = false;
  std::string host;  // without brackets for IPv6 literals
  int port = 0;
  std::string prefix;  // topic prefix, no leading or trailing '/'

  // host:port as messages name the broker (never the credentials).
  std::string where() const;
};

// The environment variable that gives the password when the URL names a
// user but no password, so that it stays out of process listings.
inline constexpr const char* kMqttPasswordVariable = "QVDS18X20_MQTT_PASSWORD";

// Why no topic may begin with '$': such topics ($SYS/...) are the
// broker's own, and it drops what a client publishes there.
inline constexpr const char* kBrokerTopics =
    "topics beginning with $ are the broker's own ($SYS), and it drops what clients publish there";

// Parses a URL; throws UsageError saying what is wrong with it (without
// repeating a password it holds).
MqttTarget parse_mqtt_url(const std::string& url);

}  // namespace qvtool
