#include "qvds18x20/publish/mqtt_messages.hpp"

#include <nlohmann/json.hpp>

#include "qvds18x20/json_text.hpp"

namespace qvtool {

std::string status_topic(const std::string& prefix) { return prefix + "/status"; }

std::vector<MqttMessage> measurement_messages(const std::string& prefix, const Measurement& m) {
  std::vector<MqttMessage> messages;
  for (const auto& r : m.rows)
    if (!r.temp.empty()) messages.push_back({prefix + "/" + r.rom + "/temperature", r.temp, true});
  messages.push_back({prefix + "/measurement", m.json, false});
  return messages;
}

MqttMessage discovery_message(const std::string& discovery_prefix, const std::string& prefix, const SensorRow& row,
                              bool availability) {
  // Unique ids come from the ROM alone, so that a sensor keeps its entity
  // when it moves to another bus or machine.
  const std::string id = "qvds18x20_" + row.rom;
  nlohmann::json config = {
      {"name", "Temperature"},
      {"unique_id", id},
      {"object_id", id},
      {"state_topic", prefix + "/" + row.rom + "/temperature"},
      {"device_class", "temperature"},
      {"state_class", "measurement"},
      {"unit_of_measurement", "°C"},
      {"device", {{"identifiers", {id}}, {"name", row.name + " " + row.rom}, {"model", row.name}}},
  };
  if (availability) {
    config["availability_topic"] = status_topic(prefix);
    config["payload_available"] = kOnline;
    config["payload_not_available"] = kOffline;
  }
  return {discovery_prefix + "/sensor/" + id + "/config", json_dump(config), true};
}

}  // namespace qvtool
