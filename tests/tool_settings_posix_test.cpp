// qvds18x20 settings, alarms and list's families as a user runs them on
// the simulated bus: changes that a part takes and that it refuses, each
// refusal naming its sensor, saves only on request, the alarm search with
// thresholds from the command line and from the configuration, and the
// family of each DS18B20 in the list.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

#include "onewire/sim/clone_family.hpp"
#include "qvds/rom.hpp"
#include "support/tool_process.hpp"

namespace {

using namespace testing_support;  // the tool as a process, its output, scratch folders
using onewire::sim::ThermometerFamily;

std::string rom_of(ThermometerFamily family, std::uint64_t serial) {
  return qvds::format_rom(onewire::sim::make_family_rom(family, serial), qvds::RomForm::kQvds);
}

const nlohmann::json& SensorEntry(const nlohmann::json& j, const std::string& rom) {
  for (const auto& s : j["sensors"])
    if (s["rom"] == rom) return s;
  static const nlohmann::json none;
  ADD_FAILURE() << rom << " not in " << j.dump();
  return none;
}

// A genuine part, a clone with a fixed resolution (C), one without EEPROM
// (D1) and a DS18S20.
constexpr const char* kBus = R"({"devices": [
  {"family": "A1", "serial": "000000000001", "celsius": 21.5},
  {"family": "C", "serial": "000000000002", "celsius": 19.5},
  {"family": "D1", "serial": "000000000003", "celsius": 22.0},
  {"type": "DS18S20", "serial": "000000000006", "celsius": 24.5}]})";

TEST(ToolSettings, ChangesGoToTheScratchpadAndToEepromOnlyWhenAsked) {
  TempDir dir;
  const std::string devices = dir.File("bus.json", kBus);
  const std::string a1 = rom_of(ThermometerFamily::kA1, 1);
  const std::string d1 = rom_of(ThermometerFamily::kD1, 3);
  // One sensor named: it alone changes, and its EEPROM keeps the old.
  const Result one = Tool({"settings", "--sim", devices, "-f", "json", "--sensor", a1, "--resolution", "10",
                           "--alarm-low", "-5", "--alarm-high", "30"});
  ASSERT_EQ(one.code, 0) << one.err;
  const auto j = nlohmann::json::parse(one.out);
  ASSERT_EQ(j["sensors"].size(), 1u) << one.out;
  const auto& s = SensorEntry(j, a1);
  EXPECT_EQ(s["resolution"], 10);
  EXPECT_EQ(s["alarm_low"], -5);
  EXPECT_EQ(s["alarm_high"], 30);
  EXPECT_EQ(s["power"], "external");
  EXPECT_EQ(s["eeprom_matches"], false);
  EXPECT_TRUE(s["reason"].is_null());
  // Saved: the EEPROM holds it; the part without EEPROM says so, by ROM.
  const Result saved = Tool({"settings", "--sim", devices, "-f", "json", "--sensor", a1, "--sensor", d1,
                             "--alarm-high", "80", "--save"});
  EXPECT_EQ(saved.code, 1) << saved.err;
  const auto k = nlohmann::json::parse(saved.out);
  EXPECT_EQ(SensorEntry(k, a1)["eeprom_matches"], true);
  EXPECT_EQ(SensorEntry(k, a1)["alarm_high"], 80);
  EXPECT_NE(SensorEntry(k, d1)["reason"].get<std::string>().find("EEPROM"), std::string::npos) << saved.out;
  EXPECT_NE(saved.err.find(d1), std::string::npos) << saved.err;
  EXPECT_EQ(saved.err.find(a1), std::string::npos) << saved.err;
}

TEST(ToolSettings, APartThatCannotTakeASettingIsNamedAndTheOthersChange) {
  TempDir dir;
  const std::string devices = dir.File("bus.json", kBus);
  const Result r = Tool({"settings", "--sim", devices, "--resolution", "9", "-f", "json"});
  EXPECT_EQ(r.code, 1) << r.err;
  const auto j = nlohmann::json::parse(r.out);
  EXPECT_EQ(SensorEntry(j, rom_of(ThermometerFamily::kA1, 1))["resolution"], 9);
  EXPECT_EQ(SensorEntry(j, rom_of(ThermometerFamily::kD1, 3))["resolution"], 9);
  // The fixed-resolution clone stays at 12 and says so.
  const auto& c = SensorEntry(j, rom_of(ThermometerFamily::kC, 2));
  EXPECT_EQ(c["resolution"], 12);
  EXPECT_NE(c["reason"].get<std::string>().find("did not take resolution 9"), std::string::npos) << r.out;
  EXPECT_NE(r.err.find(rom_of(ThermometerFamily::kC, 2)), std::string::npos) << r.err;
  // A DS18S20 has no resolution to set.
  for (const auto& s : j["sensors"])
    if (s["model"] == "DS18S20") {
      EXPECT_TRUE(s["resolution"].is_null());
      EXPECT_NE(s["reason"].get<std::string>().find("no such setting"), std::string::npos) << r.out;
    }
  // A table by default, with the settings' columns.
  const Result table = Tool({"settings", "--sim", devices});
  EXPECT_EQ(table.code, 0) << table.err;
  EXPECT_NE(table.out.find("RES  LOW   HIGH  POWER"), std::string::npos) << table.out;
}

TEST(ToolSettings, ValuesThatCannotBeAreUsageErrors) {
  for (const auto& args : std::vector<std::vector<std::string>>{{"--resolution", "13"},
                                                                {"--resolution", "ten"},
                                                                {"--alarm-low", "21.5"},
                                                                {"--alarm-high", "126"},
                                                                {"--alarm-low", "30", "--alarm-high", "20"},
                                                                {"--format", "csv"},
                                                                {"--sensor", "nonsense"}}) {
    std::vector<std::string> command = {"settings", "--sim"};
    command.insert(command.end(), args.begin(), args.end());
    const Result r = Tool(command);
    EXPECT_EQ(r.code, 2) << args.front() << ": " << r.err;
    EXPECT_TRUE(r.out.empty()) << r.out;
  }
}

TEST(ToolAlarms, OnlyTheSensorsTheAlarmSearchFindsWithThresholdsFromTheConfiguration) {
  TempDir dir;
  // The first is at its high threshold; the others are inside theirs.
  const std::string devices = dir.File("bus.json", R"({"devices": [
    {"family": "A1", "serial": "000000000001", "celsius": 21.5, "th": 21, "tl": -10},
    {"family": "A1", "serial": "000000000002", "celsius": 21.5, "th": 30, "tl": 10},
    {"type": "DS18S20", "serial": "000000000006", "celsius": 24.5, "th": 30, "tl": 0}]})");
  const std::string hot = rom_of(ThermometerFamily::kA1, 1);
  const std::string fine = rom_of(ThermometerFamily::kA1, 2);
  const Result r = Tool({"alarms", "--sim", devices, "-f", "json"});
  ASSERT_EQ(r.code, 0) << r.err;
  auto j = nlohmann::json::parse(r.out);
  ASSERT_EQ(j["sensors"].size(), 1u) << r.out;
  EXPECT_EQ(j["sensors"][0]["rom"], hot);
  EXPECT_EQ(j["sensors"][0]["celsius"], 21.5);
  EXPECT_EQ(j["sensors"][0]["alarm"], true);
  // read shows the same flags on every sensor.
  const Result read = Tool({"read", "--sim", devices, "-f", "json"});
  j = nlohmann::json::parse(read.out);
  EXPECT_EQ(SensorEntry(j, hot)["alarm"], true);
  EXPECT_EQ(SensorEntry(j, fine)["alarm"], false);
  // The configuration's threshold is in force from the start of the run.
  const std::string config = dir.File("c.toml", "sim = \"" + devices + "\"\n[sensors.\"" + fine +
                                                    "\"]\nname = \"cellar\"\nalarm_high = 20\n");
  const Result configured = Tool({"alarms", "--config", config, "-f", "json"});
  ASSERT_EQ(configured.code, 0) << configured.err;
  j = nlohmann::json::parse(configured.out);
  EXPECT_EQ(j["sensors"].size(), 2u) << configured.out;
  EXPECT_EQ(SensorEntry(j, fine)["label"], "cellar");
}

TEST(ToolList, EachDs18b20WithTheFamilyOneReadTells) {
  TempDir dir;
  const std::string devices = dir.File("bus.json", kBus);
  const Result r = Tool({"list", "--sim", devices, "-f", "json"});
  ASSERT_EQ(r.code, 0) << r.err;
  const auto j = nlohmann::json::parse(r.out);
  EXPECT_EQ(SensorEntry(j, rom_of(ThermometerFamily::kA1, 1))["family"], "A1");
  EXPECT_EQ(SensorEntry(j, rom_of(ThermometerFamily::kD1, 3))["family"], "D1");
  for (const auto& s : j["sensors"]) {
    if (s["model"] == "DS18S20") {
      EXPECT_TRUE(s["family"].is_null()) << r.out;
    }
  }
  const Result table = Tool({"list", "--sim", devices});
  EXPECT_NE(table.out.find("FAMILY"), std::string::npos) << table.out;
}

}  // namespace
