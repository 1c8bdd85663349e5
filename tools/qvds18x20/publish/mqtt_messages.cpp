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
std::string alarm_topic(const std::string& prefix, const std::string& key) { return prefix + "/" + key + "/alarm"; }

// A bus's device, named after the topic prefix and the bus's word.
std::string bus_id(const std::string& prefix, const std::string& bus_key) {
  const std::string slug = name_slug(bus_key.empty() ? prefix : prefix + " " + bus_key);
  return "qvds18x20_" + (slug.empty() ? std::string("bus") : slug + "_bus");
}

nlohmann::json origin() {
  return {{"name", "qvds18x20"}, {"sw_version", QVDS_TOOL_VERSION}};
}

}  // namespace

std::string status_topic(const std::string& prefix) { return prefix + "/status"; }

namespace {

std::string sensor_word(const SensorRow& row) {
  const std::string slug = name_slug(row.label);
  return slug.empty() ? row.romstr : slug;
}

}  // namespace

std::string sensor_key(const SensorRow& row) {
  return row.bus_key.empty() ? sensor_word(row) : row.bus_key + "/" + sensor_word(row);
}

std::string sensor_key(const SensorRow& row, const std::string& before) {
  if (!row.bus.empty()) return sensor_key(row);
  const auto slash = before.find('/');
  return slash == std::string::npos ? sensor_word(row) : before.substr(0, slash + 1) + sensor_word(row);
}

std::string bus_status_topic(const std::string& prefix, const std::string& bus_key) {
  return prefix + "/" + bus_key + "/status";
}

std::vector<std::string> sensor_topics(const std::string& prefix, const std::string& key) {
  return {temperature_topic(prefix, key), availability_topic(prefix, key), attributes_topic(prefix, key),
          alarm_topic(prefix, key)};
}

MqttMessage offline_message(const std::string& prefix, const std::string& key) {
  return {availability_topic(prefix, key), kOffline, true};
}

std::vector<MqttMessage> measurement_messages(const std::string& prefix, const Measurement& m,
                                              const std::function<std::string(const SensorRow&)>& key_of) {
  std::vector<MqttMessage> messages;
  for (const auto& b : m.buses)
    if (!b.key.empty()) messages.push_back({bus_status_topic(prefix, b.key), b.error.empty() ? kOnline : kOffline, true});
  for (const auto& r : m.rows) {
    if (!r.thermometer) continue;
    const std::string key = key_of ? key_of(r) : sensor_key(r);
    if (r.celsius) {
      messages.push_back({temperature_topic(prefix, key), celsius_text(*r.celsius), true});
      messages.push_back({alarm_topic(prefix, key), r.alarm ? "ON" : "OFF", true});
    }
    const auto text_or_null = [](const std::string& t) { return t.empty() ? nlohmann::json(nullptr) : nlohmann::json(t); };
    const nlohmann::json attributes = {{"status", r.status}, {"reason", text_or_null(r.reason)}, {"bus", text_or_null(r.bus)}};
    messages.push_back({attributes_topic(prefix, key), json_dump(attributes), true});
    messages.push_back({availability_topic(prefix, key), r.celsius ? kOnline : kOffline, true});
  }
  messages.push_back({prefix + "/measurement", m.json, false});
  return messages;
}

std::string discovery_topic(const std::string& discovery_prefix, const std::string& romstr) {
  return discovery_prefix + "/sensor/qvds18x20_" + romstr + "/config";
}

std::string alarm_discovery_topic(const std::string& discovery_prefix, const std::string& romstr) {
  return discovery_prefix + "/binary_sensor/qvds18x20_" + romstr + "_alarm/config";
}

std::string bus_discovery_topic(const std::string& discovery_prefix, const std::string& prefix,
                                const std::string& bus_key) {
  return discovery_prefix + "/binary_sensor/" + bus_id(prefix, bus_key) + "/config";
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
        {"via_device", bus_id(prefix, row.bus_key)}}},
      {"origin", origin()},
  };
  if (expire_after > 0) config["expire_after"] = expire_after;
  return {discovery_topic(discovery_prefix, row.romstr), json_dump(config), true};
}

MqttMessage alarm_discovery_message(const std::string& discovery_prefix, const std::string& prefix,
                                    const SensorRow& row, bool continuous) {
  const std::string id = "qvds18x20_" + row.romstr;
  const std::string key = sensor_key(row);
  nlohmann::json availability = nlohmann::json::array();
  availability.push_back({{"topic", availability_topic(prefix, key)}});
  if (continuous) availability.push_back({{"topic", status_topic(prefix)}});
  nlohmann::json config = {
      {"name", "Alarm"},
      {"unique_id", id + "_alarm"},
      {"default_entity_id", "binary_sensor.qvds18x20_" + name_slug(key) + "_alarm"},
      {"state_topic", alarm_topic(prefix, key)},
      {"payload_on", "ON"},
      {"payload_off", "OFF"},
      {"device_class", "problem"},
      {"availability", availability},
      {"availability_mode", "all"},
      {"payload_available", kOnline},
      {"payload_not_available", kOffline},
      // The device is the temperature entity's: its identifiers suffice.
      {"device", {{"identifiers", {id}}}},
      {"origin", origin()},
  };
  return {alarm_discovery_topic(discovery_prefix, row.romstr), json_dump(config), true};
}

MqttMessage bus_discovery_message(const std::string& discovery_prefix, const std::string& prefix,
                                  const Source& bus) {
  const std::string id = bus_id(prefix, bus.key);
  const std::string name = bus.name.empty() ? bus.port : bus.name;
  nlohmann::json availability = nlohmann::json::array();
  availability.push_back({{"topic", status_topic(prefix)}});
  nlohmann::json config = {
      {"name", "Connection"},
      {"unique_id", id + "_connection"},
      {"default_entity_id", "binary_sensor." + id + "_connection"},
      {"state_topic", bus.key.empty() ? status_topic(prefix) : bus_status_topic(prefix, bus.key)},
      {"payload_on", kOnline},
      {"payload_off", kOffline},
      {"device_class", "connectivity"},
      {"entity_category", "diagnostic"},
      {"device",
       {{"identifiers", {id}},
        {"name", "1-Wire bus " + name + (name == bus.port ? "" : " (" + bus.port + ")")},
        {"model", "1-Wire adapter type " + std::to_string(bus.adapter)},
        {"sw_version", QVDS_TOOL_VERSION}}},
      {"origin", origin()},
  };
  if (!bus.key.empty()) config["availability"] = availability;
  return {bus_discovery_topic(discovery_prefix, prefix, bus.key), json_dump(config), true};
}

}  // namespace qvtool
