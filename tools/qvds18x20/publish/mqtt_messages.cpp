#include "qvds18x20/publish/mqtt_messages.hpp"

#include <nlohmann/json.hpp>

#include "qvds18x20/config_file.hpp"
#include "qvds18x20/json_text.hpp"

namespace qvtool {
namespace {

const char* const kManufacturer = "Analog Devices (Maxim Integrated)";

std::string availability_topic(const std::string& prefix, const std::string& key) {
  return prefix + "/" + key + "/availability";
}
std::string temperature_topic(const std::string& prefix, const std::string& key) {
  return prefix + "/" + key + "/temperature";
}
std::string attributes_topic(const std::string& prefix, const std::string& key) {
  return prefix + "/" + key + "/attributes";
}

// The bus's device, named after the topic prefix: one tool, one bus, one
// prefix.
std::string bus_id(const std::string& prefix) {
  const std::string slug = name_slug(prefix);
  return "qvds18x20_" + (slug.empty() ? std::string("bus") : slug + "_bus");
}

nlohmann::json origin() {
  return {{"name", "qvds18x20"}, {"sw_version", QVDS_TOOL_VERSION}};
}

}  // namespace

std::string status_topic(const std::string& prefix) { return prefix + "/status"; }

std::string sensor_key(const SensorRow& row) {
  const std::string slug = name_slug(row.label);
  return slug.empty() ? row.romstr : slug;
}

std::vector<std::string> sensor_topics(const std::string& prefix, const std::string& key) {
  return {temperature_topic(prefix, key), availability_topic(prefix, key), attributes_topic(prefix, key)};
}

MqttMessage offline_message(const std::string& prefix, const std::string& key) {
  return {availability_topic(prefix, key), kOffline, true};
}

std::vector<MqttMessage> measurement_messages(const std::string& prefix, const Measurement& m) {
  std::vector<MqttMessage> messages;
  for (const auto& r : m.rows) {
    if (!r.thermometer) continue;
    const std::string key = sensor_key(r);
    if (r.celsius) messages.push_back({temperature_topic(prefix, key), celsius_text(*r.celsius), true});
    const nlohmann::json attributes = {{"status", r.status},
                                       {"reason", r.reason.empty() ? nlohmann::json(nullptr) : nlohmann::json(r.reason)}};
    messages.push_back({attributes_topic(prefix, key), json_dump(attributes), true});
    messages.push_back({availability_topic(prefix, key), r.celsius ? kOnline : kOffline, true});
  }
  messages.push_back({prefix + "/measurement", m.json, false});
  return messages;
}

std::string discovery_topic(const std::string& discovery_prefix, const std::string& romstr) {
  return discovery_prefix + "/sensor/qvds18x20_" + romstr + "/config";
}

std::string bus_discovery_topic(const std::string& discovery_prefix, const std::string& prefix) {
  return discovery_prefix + "/binary_sensor/" + bus_id(prefix) + "/config";
}

MqttMessage discovery_message(const std::string& discovery_prefix, const std::string& prefix, const SensorRow& row,
                              bool continuous, int expire_after) {
  // Unique ids come from the ROM alone, so that a sensor keeps its entity
  // when it moves to another bus or machine, or gets a name.
  const std::string id = "qvds18x20_" + row.romstr;
  const std::string key = sensor_key(row);
  nlohmann::json availability = nlohmann::json::array();
  availability.push_back({{"topic", availability_topic(prefix, key)}});
  if (continuous) availability.push_back({{"topic", status_topic(prefix)}});
  nlohmann::json config = {
      // A named sensor's entity has no name of its own (null): it is its
      // device's, which is the sensor's name.
      {"name", row.label.empty() ? nlohmann::json("Temperature") : nlohmann::json(nullptr)},
      {"unique_id", id},
      {"default_entity_id", "sensor.qvds18x20_" + name_slug(key)},
      {"state_topic", temperature_topic(prefix, key)},
      {"json_attributes_topic", attributes_topic(prefix, key)},
      {"device_class", "temperature"},
      {"state_class", "measurement"},
      {"unit_of_measurement", "°C"},
      // Sixteenths of a degree: two decimals show them as the part gives them.
      {"suggested_display_precision", 2},
      {"availability", availability},
      {"availability_mode", "all"},
      {"payload_available", kOnline},
      {"payload_not_available", kOffline},
      {"device",
       {{"identifiers", {id}},
        {"name", row.label.empty() ? row.model + " " + row.romstr : row.label},
        {"manufacturer", kManufacturer},
        {"model", row.model},
        {"serial_number", row.romstr},
        {"via_device", bus_id(prefix)}}},
      {"origin", origin()},
  };
  if (expire_after > 0) config["expire_after"] = expire_after;
  return {discovery_topic(discovery_prefix, row.romstr), json_dump(config), true};
}

MqttMessage bus_discovery_message(const std::string& discovery_prefix, const std::string& prefix,
                                  const Source& source) {
  const std::string id = bus_id(prefix);
  nlohmann::json config = {
      {"name", "Connection"},
      {"unique_id", id + "_connection"},
      {"default_entity_id", "binary_sensor." + id + "_connection"},
      {"state_topic", status_topic(prefix)},
      {"payload_on", kOnline},
      {"payload_off", kOffline},
      {"device_class", "connectivity"},
      {"entity_category", "diagnostic"},
      {"device",
       {{"identifiers", {id}},
        {"name", "1-Wire bus " + source.port},
        {"model", "1-Wire adapter type " + std::to_string(source.adapter)},
        {"sw_version", QVDS_TOOL_VERSION}}},
      {"origin", origin()},
  };
  return {bus_discovery_topic(discovery_prefix, prefix), json_dump(config), true};
}

}  // namespace qvtool
