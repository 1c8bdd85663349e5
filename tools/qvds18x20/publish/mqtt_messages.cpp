#include "qvds18x20/publish/mqtt_messages.hpp"

#include <nlohmann/json.hpp>

#include "qvds18x20/config_file.hpp"
#include "qvds18x20/json_text.hpp"

namespace qvtool {
namespace {

const char* const kManufacturer = "Analog Devices (Maxim Integrated)";

std::string availability_topic(const std::string& prefix, const SensorRow& row) {
  return prefix + "/" + sensor_key(row) + "/availability";
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

std::vector<MqttMessage> measurement_messages(const std::string& prefix, const Measurement& m) {
  std::vector<MqttMessage> messages;
  for (const auto& r : m.rows) {
    if (!r.thermometer) continue;
    if (r.celsius) messages.push_back({prefix + "/" + sensor_key(r) + "/temperature", celsius_text(*r.celsius), true});
    messages.push_back({availability_topic(prefix, r), r.celsius ? kOnline : kOffline, true});
  }
  messages.push_back({prefix + "/measurement", m.json, false});
  return messages;
}

MqttMessage discovery_message(const std::string& discovery_prefix, const std::string& prefix, const SensorRow& row,
                              bool continuous) {
  // Unique ids come from the ROM alone, so that a sensor keeps its entity
  // when it moves to another bus or machine, or gets a name.
  const std::string id = "qvds18x20_" + row.romstr;
  const std::string key = sensor_key(row);
  nlohmann::json availability = nlohmann::json::array();
  availability.push_back({{"topic", availability_topic(prefix, row)}});
  if (continuous) availability.push_back({{"topic", status_topic(prefix)}});
  nlohmann::json config = {
      // A named sensor's entity has no name of its own (null): it is its
      // device's, which is the sensor's name.
      {"name", row.label.empty() ? nlohmann::json("Temperature") : nlohmann::json(nullptr)},
      {"unique_id", id},
      {"default_entity_id", "sensor.qvds18x20_" + name_slug(key)},
      {"state_topic", prefix + "/" + key + "/temperature"},
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
  return {discovery_prefix + "/sensor/" + id + "/config", json_dump(config), true};
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
  return {discovery_prefix + "/binary_sensor/" + id + "/config", json_dump(config), true};
}

}  // namespace qvtool
