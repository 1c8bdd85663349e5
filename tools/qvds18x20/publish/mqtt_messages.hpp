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
// configuration gives it, made a topic word ("boiler_flow"), or its ROM
// (also for a label in a script without Latin letters).
std::string sensor_key(const SensorRow& row);

// A sensor's own retained topics under `key`: temperature, availability
// and attributes.
std::vector<std::string> sensor_topics(const std::string& prefix, const std::string& key);
// "offline" on a sensor's availability topic: a sensor not on the bus.
MqttMessage offline_message(const std::string& prefix, const std::string& key);

// One measurement, every topic retained but the last: for each
// thermometer <prefix>/<key>/availability, "online" when it was read in
// it and "offline" when not, <prefix>/<key>/attributes with its status
// and reason ({"status": "out_of_bounds", "reason": "..."}), and for each
// one read <prefix>/<key>/temperature with its exact value (21.0625);
// then <prefix>/measurement with the JSON object.
std::vector<MqttMessage> measurement_messages(const std::string& prefix, const Measurement& m);

// The topics of a sensor's and of the bus's discovery configs.
std::string discovery_topic(const std::string& discovery_prefix, const std::string& romstr);
std::string bus_discovery_topic(const std::string& discovery_prefix, const std::string& prefix);

// A Home Assistant discovery config announcing the sensor of `row` as a
// temperature entity fed by its temperature topic, its status and reason
// as attributes, available while its own availability topic (and with
// `continuous`, the status topic) says online, on a device of its own that
// hangs off the bus's device. With `expire_after` (seconds, 0: none) Home
// Assistant shows the value as unavailable when no new one came in that
// time: a run that stopped measuring but kept its connection.
MqttMessage discovery_message(const std::string& discovery_prefix, const std::string& prefix, const SensorRow& row,
                              bool continuous, int expire_after = 0);
// The bus's own device: a connectivity entity on the status topic, to
// which every sensor's device points (via_device).
MqttMessage bus_discovery_message(const std::string& discovery_prefix, const std::string& prefix,
                                  const Source& source);

}  // namespace qvtool
