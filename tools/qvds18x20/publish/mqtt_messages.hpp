// What goes to the MQTT broker, as topics and payloads; the connection
// that carries them is elsewhere (engines.hpp).
#pragma once

#include <functional>
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

// The topic levels a sensor's own topics go under: its bus's word, then
// its label as the configuration gives it, made a topic word
// ("boiler_flow"), or its ROM (also for a label in a script without Latin
// letters): "ttyusb0/boiler_flow". A row on no bus (a configured sensor
// missing) has the label's word alone; the publisher keeps the bus level
// it had, where it had one (below).
std::string sensor_key(const SensorRow& row);
// The key of a sensor that had `before` in an earlier round or run: one
// on no bus now (configured, missing) keeps the bus level it had and takes
// the word its name gives it now.
std::string sensor_key(const SensorRow& row, const std::string& before);

// <prefix>/<bus>/status: "online" while the bus answers, "offline" when its
// last round gave nothing; retained.
std::string bus_status_topic(const std::string& prefix, const std::string& bus_key);

// A sensor's own retained topics under `key`: temperature, availability,
// attributes and alarm.
std::vector<std::string> sensor_topics(const std::string& prefix, const std::string& key);
// "offline" on a sensor's availability topic: a sensor not on the bus.
MqttMessage offline_message(const std::string& prefix, const std::string& key);

// One measurement, every topic retained but the last: for each bus its
// status, for each thermometer <prefix>/<key>/availability, "online" when
// it was read in it and "offline" when not, <prefix>/<key>/attributes
// with its status, reason and bus ({"status": "out_of_bounds", "reason":
// "...", "bus": "..."}), <prefix>/<key>/alarm ("ON" at or beyond its
// alarm thresholds, "OFF" within), and for each one read
// <prefix>/<key>/temperature with its exact value (21.0625); then
// <prefix>/measurement with the JSON object. `key_of` gives a row's key
// (sensor_key unless given).
std::vector<MqttMessage> measurement_messages(const std::string& prefix, const Measurement& m,
                                              const std::function<std::string(const SensorRow&)>& key_of = {});

// The topics of a sensor's (temperature, alarm) and of a bus's discovery
// configs; `bus_key` empty: the one bus of runs before buses had names.
std::string discovery_topic(const std::string& discovery_prefix, const std::string& romstr);
std::string alarm_discovery_topic(const std::string& discovery_prefix, const std::string& romstr);
std::string bus_discovery_topic(const std::string& discovery_prefix, const std::string& prefix,
                                const std::string& bus_key = "");

// A Home Assistant discovery config announcing the sensor of `row` as a
// temperature entity fed by its temperature topic, its status and reason
// as attributes, available while its own availability topic (and with
// `continuous`, the status topic) says online, on a device of its own that
// hangs off the bus's device. With `expire_after` (seconds, 0: none) Home
// Assistant shows the value as unavailable when no new one came in that
// time: a run that stopped measuring but kept its connection.
MqttMessage discovery_message(const std::string& discovery_prefix, const std::string& prefix, const SensorRow& row,
                              bool continuous, int expire_after = 0);
// The sensor's alarm as a binary sensor of the same device: ON while its
// value is at or beyond its alarm thresholds (TH, TL).
MqttMessage alarm_discovery_message(const std::string& discovery_prefix, const std::string& prefix,
                                    const SensorRow& row, bool continuous);
// A bus's own device: a connectivity entity on the bus's status topic, to
// which the devices of its sensors point (via_device).
MqttMessage bus_discovery_message(const std::string& discovery_prefix, const std::string& prefix,
                                  const Source& bus);

}  // namespace qvtool
