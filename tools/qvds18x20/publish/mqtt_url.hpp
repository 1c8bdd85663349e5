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

// Parses a URL; throws Failure saying what is wrong with it (without
// repeating a password it holds).
MqttTarget parse_mqtt_url(const std::string& url);

}  // namespace qvtool
