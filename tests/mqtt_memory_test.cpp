// What the MQTT publisher sends of a sensor and remembers between runs:
// its attributes and discovery config, and, given what earlier runs
// published, which sensors are gone (said offline), renamed (old topics
// cleared) or removed (topics and discovery config cleared); the memory
// written and read back.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "qvds18x20/publish/mqtt_memory.hpp"
#include "qvds18x20/publish/mqtt_messages.hpp"

namespace {

using qvtool::MqttPlan;
using qvtool::Remembered;
using qvtool::SensorRow;

const std::string kA = "D70416913C6BFF28";
const std::string kB = "C30316A2B80C1128";

SensorRow Row(const std::string& rom, const std::string& label, bool configured, const char* status = "read") {
  SensorRow r;
  r.romstr = r.rom = rom;
  r.name = r.model = "DS18B20";
  r.label = label;
  r.configured = configured;
  r.thermometer = true;
  r.status = status;
  // A sensor on a bus; a configured one missing is on none.
  if (r.status != "missing") {
    r.celsius = 20.5;
    r.bus = "COM1";
    r.bus_key = "com1";
  }
  return r;
}

bool Has(const std::vector<std::string>& list, const std::string& item) {
  return std::find(list.begin(), list.end(), item) != list.end();
}

const MqttPlan kPlan{"pfx", true, "homeassistant"};

TEST(MqttMessages, ASensorsAttributesAndDiscoveryConfigCarryItsStatusAndExpiry) {
  qvtool::Measurement m;
  m.rows = {Row(kA, "boiler", true, "out_of_bounds"), Row(kB, "\xe6\xb8\xa9\xe5\xba\xa6", true)};
  m.rows[0].reason = "it read 96.5, above its bounds -55 to 95";
  m.json = "{}";
  std::map<std::string, std::string> sent;
  m.rows[0].alarm = true;
  m.buses = {qvtool::Source{"/dev/ttyUSB0", 5, "DS2480B", false, "COM1", "com1", ""},
             qvtool::Source{"/dev/ttyUSB1", 5, "DS2480B", false, "attic", "attic", "the port went away"}};
  for (const auto& message : qvtool::measurement_messages("pfx", m)) sent[message.topic] = message.payload;
  EXPECT_EQ(sent.at("pfx/com1/boiler/temperature"), "20.5") << "a value outside its bounds is published";
  EXPECT_EQ(sent.at("pfx/com1/boiler/availability"), "online");
  EXPECT_EQ(sent.at("pfx/com1/boiler/alarm"), "ON");
  const auto attributes = nlohmann::json::parse(sent.at("pfx/com1/boiler/attributes"));
  EXPECT_EQ(attributes["status"], "out_of_bounds");
  EXPECT_EQ(attributes["reason"], "it read 96.5, above its bounds -55 to 95");
  EXPECT_EQ(attributes["bus"], "COM1");
  // A name without Latin letters makes no topic word: the ROM stands in.
  EXPECT_EQ(sent.at("pfx/com1/" + kB + "/temperature"), "20.5");
  EXPECT_EQ(sent.at("pfx/com1/" + kB + "/alarm"), "OFF");
  EXPECT_TRUE(nlohmann::json::parse(sent.at("pfx/com1/" + kB + "/attributes"))["reason"].is_null());
  // Each bus says whether it answered.
  EXPECT_EQ(sent.at("pfx/com1/status"), "online");
  EXPECT_EQ(sent.at("pfx/attic/status"), "offline");

  const auto watched = nlohmann::json::parse(qvtool::discovery_message("homeassistant", "pfx", m.rows[0], true, 180).payload);
  EXPECT_EQ(watched["expire_after"], 180);
  EXPECT_EQ(watched["json_attributes_topic"], "pfx/com1/boiler/attributes");
  EXPECT_EQ(watched["state_topic"], "pfx/com1/boiler/temperature");
  EXPECT_EQ(watched["device"]["via_device"], "qvds18x20_pfx_com1_bus");
  const auto alarm = nlohmann::json::parse(qvtool::alarm_discovery_message("homeassistant", "pfx", m.rows[0], true).payload);
  EXPECT_EQ(alarm["state_topic"], "pfx/com1/boiler/alarm");
  EXPECT_EQ(alarm["device"]["identifiers"][0], "qvds18x20_" + kA) << "the temperature's device";
  // One device per bus, each with its own connection entity.
  const auto attic = nlohmann::json::parse(qvtool::bus_discovery_message("homeassistant", "pfx", m.buses[1]).payload);
  EXPECT_EQ(attic["state_topic"], "pfx/attic/status");
  EXPECT_EQ(attic["device"]["identifiers"][0], "qvds18x20_pfx_attic_bus");
  EXPECT_EQ(attic["device"]["name"], "1-Wire bus attic (/dev/ttyUSB1)");
  const auto once = nlohmann::json::parse(qvtool::discovery_message("homeassistant", "pfx", m.rows[1], false).payload);
  EXPECT_FALSE(once.contains("expire_after")) << "read's value has no interval to expire after";
  EXPECT_EQ(once["device"]["name"], "\xe6\xb8\xa9\xe5\xba\xa6");
  EXPECT_EQ(once["state_topic"], "pfx/com1/" + kB + "/temperature");
}

TEST(MqttMemory, AFirstRunRemembersWhatItPublishesAndClearsNothing) {
  const auto r = qvtool::reconcile({}, {Row(kA, "", false), Row(kB, "cellar", true, "missing")}, kPlan);
  EXPECT_TRUE(r.clear.empty());
  EXPECT_TRUE(r.gone.empty());
  EXPECT_EQ(r.now.sensors.at(kA).key, "com1/" + kA);
  EXPECT_EQ(r.now.sensors.at(kB).key, "cellar") << "on no bus: its name alone";
  EXPECT_TRUE(r.now.sensors.at(kB).configured);
  EXPECT_EQ(r.now.discovery_prefix, "homeassistant");
}

TEST(MqttMemory, GoneRenamedAndRemovedSensorsAreToldApart) {
  Remembered before;
  before.discovery_prefix = "homeassistant";
  before.sensors[kA] = {"com1/" + kA, false};  // found again under a name
  before.sensors[kB] = {"cellar", true};    // taken out of the configuration, and not on the bus
  before.sensors["0123456789ABCD28"] = {"0123456789ABCD28", false};  // not found, never configured
  const auto r = qvtool::reconcile(before, {Row(kA, "Boiler flow", true)}, kPlan);
  EXPECT_EQ(r.renamed, std::vector<std::string>{kA});
  EXPECT_EQ(r.removed, std::vector<std::string>{kB});
  EXPECT_EQ(r.gone, std::vector<std::string>{"0123456789ABCD28"});
  for (const char* topic : {"pfx/com1/D70416913C6BFF28/temperature", "pfx/com1/D70416913C6BFF28/availability",
                            "pfx/com1/D70416913C6BFF28/attributes", "pfx/com1/D70416913C6BFF28/alarm",
                            "pfx/cellar/temperature", "pfx/cellar/availability", "pfx/cellar/attributes",
                            "homeassistant/sensor/qvds18x20_C30316A2B80C1128/config",
                            "homeassistant/binary_sensor/qvds18x20_C30316A2B80C1128_alarm/config"})
    EXPECT_TRUE(Has(r.clear, topic)) << topic;
  EXPECT_FALSE(Has(r.clear, "homeassistant/sensor/qvds18x20_D70416913C6BFF28/config"))
      << "a renamed sensor keeps its entity: the config is published again";
  EXPECT_FALSE(Has(r.clear, "pfx/0123456789ABCD28/availability")) << "a sensor gone is said offline, not forgotten";
  EXPECT_EQ(r.now.sensors.at(kA).key, "com1/boiler_flow");
  EXPECT_EQ(r.now.sensors.count(kB), 0u);
  EXPECT_EQ(r.now.sensors.count("0123456789ABCD28"), 1u);
  EXPECT_EQ(r.now.to_clear, r.clear) << "remembered until the broker took them";
}

TEST(MqttMemory, TopicsOfRunsBeforeBusesHadALevelAreClearedAndAMissingSensorKeepsItsOwn) {
  Remembered before;
  before.sensors[kA] = {"boiler", true};       // a run before topics named the bus
  before.sensors[kB] = {"com1/cellar", true};  // configured, on no bus now
  const auto r = qvtool::reconcile(before, {Row(kA, "boiler", true), Row(kB, "cellar", true, "missing")}, kPlan);
  EXPECT_EQ(r.now.sensors.at(kA).key, "com1/boiler");
  EXPECT_TRUE(Has(r.clear, "pfx/boiler/temperature"));
  EXPECT_EQ(r.now.sensors.at(kB).key, "com1/cellar") << "its retained topics stay where its entity looks";
  EXPECT_FALSE(Has(r.clear, "pfx/com1/cellar/availability"));
}

TEST(MqttMemory, DiscoverySwitchedOffOrMovedClearsItsConfigsAndPendingClearingsAreKept) {
  Remembered before;
  before.discovery_prefix = "homeassistant";
  before.sensors[kA] = {"com1/" + kA, false};
  before.to_clear = {"pfx/old/temperature"};
  const auto off = qvtool::reconcile(before, {Row(kA, "", false)}, MqttPlan{"pfx", false, "homeassistant"});
  EXPECT_TRUE(Has(off.clear, "homeassistant/sensor/qvds18x20_D70416913C6BFF28/config"));
  EXPECT_TRUE(Has(off.clear, "homeassistant/binary_sensor/qvds18x20_pfx_bus/config"));
  EXPECT_TRUE(Has(off.clear, "homeassistant/binary_sensor/qvds18x20_D70416913C6BFF28_alarm/config"));
  EXPECT_TRUE(Has(off.clear, "pfx/old/temperature")) << "an earlier run's clearing that did not go out";
  EXPECT_EQ(off.now.discovery_prefix, "");
  const auto moved = qvtool::reconcile(before, {Row(kA, "", false)}, MqttPlan{"pfx", true, "ha"});
  EXPECT_TRUE(Has(moved.clear, "homeassistant/sensor/qvds18x20_D70416913C6BFF28/config"));
  EXPECT_EQ(moved.now.discovery_prefix, "ha");
  const auto same = qvtool::reconcile(before, {Row(kA, "", false)}, kPlan);
  EXPECT_EQ(same.clear, std::vector<std::string>{"pfx/old/temperature"});
}

TEST(MqttMemory, IsWrittenAndReadBackAndAForeignFileCountsAsNothing) {
  const auto dir = std::filesystem::temp_directory_path() /
                   ("qvds-memory-" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
  std::filesystem::remove_all(dir);
  const qvtool::MqttMemory memory((dir / "state").string(), "127.0.0.1:1883/pfx");
  std::string trouble;
  EXPECT_TRUE(memory.load(trouble).sensors.empty());
  EXPECT_EQ(trouble, "");
  Remembered r;
  r.discovery_prefix = "homeassistant";
  r.sensors[kA] = {"boiler", true};
  r.to_clear = {"pfx/old/temperature"};
  ASSERT_TRUE(memory.save(r, trouble)) << trouble;
  const Remembered back = memory.load(trouble);
  EXPECT_EQ(trouble, "");
  EXPECT_EQ(back.discovery_prefix, "homeassistant");
  EXPECT_EQ(back.sensors.at(kA).key, "boiler");
  EXPECT_TRUE(back.sensors.at(kA).configured);
  EXPECT_EQ(back.to_clear, r.to_clear);
  // Another prefix on the same broker has a file of its own.
  const qvtool::MqttMemory other((dir / "state").string(), "127.0.0.1:1883/pfx2");
  EXPECT_NE(other.file(), memory.file());
  EXPECT_TRUE(other.load(trouble).sensors.empty());
  // A damaged file is said, and nothing is taken from it.
  std::ofstream(memory.file()) << "{\"target\": 5}";
  EXPECT_TRUE(memory.load(trouble).sensors.empty());
  EXPECT_NE(trouble.find("not a memory of this tool"), std::string::npos) << trouble;
  std::filesystem::remove_all(dir);
}

}  // namespace
