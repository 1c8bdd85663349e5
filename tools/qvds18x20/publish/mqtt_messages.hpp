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

// The topic level a sensor's own topics go under: its label as the
// configuration gives it, made a topic word ("boiler_flow"), or its ROM.
std::string sensor_key(const SensorRow& row);

// One measurement, every topic retained but the last: for each
// thermometer <prefix>/<key>/availability, "online" when it was read in
// it and "offline" when not, and for each one read <prefix>/<key>/
// temperature with its exact value (21.0625); then <prefix>/measurement
// with the JSON object.
std::vector<MqttMessage> measurement_messages(const std::string& prefix, const Measurement& m);

// A Home Assistant discovery config announcing the sensor of `row` as a
// temperature entity fed by its temperature topic, available while its
// own availability topic (and with `continuous`, the status topic) says
// online, on a device of its own that hangs off the bus's device.
MqttMessage discovery_message(const std::string& discovery_prefix, const std::string& prefix, const SensorRow& row,
                              bool continuous);
// The bus's own device: a connectivity entity on the status topic, to
// which every sensor's device points (via_device).
MqttMessage bus_discovery_message(const std::string& discovery_prefix, const std::string& prefix,
                                  const Source& source);

}  // namespace qvtool
