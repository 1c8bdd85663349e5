// What goes to the MQTT broker, as topics and payloads; the connection
// that carries them is elsewhere (engines.hpp).
#pragma once

#include <string>
#include <vector>

#include "qvds18x20/publish/publish.hpp"

namespace qvtool {

struct MqttMessage {
  std::string topic, payload;
  bool retain = false;
};

// <prefix>/status: "online" while connected, "offline" (also the broker's
// last will) otherwise; retained so that late subscribers know.
std::string status_topic(const std::string& prefix);
inline constexpr const char* kOnline = "online";
inline constexpr const char* kOffline = "offline";

// One measurement: a retained <prefix>/<rom>/temperature for every sensor
// read in it, then <prefix>/measurement with the JSON object.
std::vector<MqttMessage> measurement_messages(const std::string& prefix, const Measurement& m);

// A Home Assistant discovery config announcing the sensor of `row` as a
// temperature entity fed by its temperature topic. `availability`: the
// entity follows the status topic.
MqttMessage discovery_message(const std::string& discovery_prefix, const std::string& prefix, const SensorRow& row,
                              bool availability);

}  // namespace qvtool
