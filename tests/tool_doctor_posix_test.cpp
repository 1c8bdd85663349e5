// qvds18x20 doctor as a user runs it: a device file of clones and a
// genuine sensor, each named by its family in the JSON output and in
// the table, the undocumented reads only on request, and the usage and
// empty-bus cases. The families here are the quick ones to convert: the
// tool runs the simulated bus in real time.
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

// A genuine sensor, four clones (one that never converts) and a DS18S20.
constexpr const char* kBus = R"({"devices": [
  {"family": "A1", "serial": "000000000001", "celsius": 21.5},
  {"family": "C", "serial": "000000000002", "celsius": 19.5, "resolution": 9},
  {"family": "D1", "serial": "000000000003", "celsius": 22.0},
  {"family": "E", "serial": "000000000004", "celsius": 20.75},
  {"family": "B1", "serial": "000000000005", "celsius": 21.25, "skip_conversions": true},
  {"type": "DS18S20", "serial": "000000000006", "celsius": 24.5}]})";

TEST(ToolDoctor, EachSensorComesWithItsFamilyInJson) {
  TempDir dir;
  const std::string devices = dir.File("clones.json", kBus);
  const Result r = Tool({"doctor", "--sim", devices, "--format", "json"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.err.find("warning"), std::string::npos) << r.err;
  const auto j = nlohmann::json::parse(r.out);
  EXPECT_TRUE(j["simulated"].get<bool>());
  EXPECT_TRUE(j["bus"]["presence"].get<bool>());
  EXPECT_FALSE(j["bus"]["undocumented"].get<bool>());
  ASSERT_EQ(j["sensors"].size(), 6u) << r.out;
  const struct {
    ThermometerFamily family;
    std::uint64_t serial;
    const char* name;
  } expected[] = {{ThermometerFamily::kA1, 1, "A1"},
                  {ThermometerFamily::kC, 2, "C"},
                  {ThermometerFamily::kD1, 3, "D1"},
                  {ThermometerFamily::kE, 4, "E"},
                  {ThermometerFamily::kB1, 5, "B1"}};
  for (const auto& e : expected) {
    const auto& s = SensorEntry(j, rom_of(e.family, e.serial));
    EXPECT_EQ(s["family"], e.name) << s.dump();
    EXPECT_EQ(s["model"], "DS18B20");
    EXPECT_TRUE(s["undocumented"].empty());
    EXPECT_TRUE(s["restored"].get<bool>()) << s.dump();
    EXPECT_EQ(s["reads"], 20);
  }
  const auto& a1 = SensorEntry(j, rom_of(ThermometerFamily::kA1, 1));
  EXPECT_EQ(a1["confidence"], "high");
  EXPECT_TRUE(a1["faults"].empty()) << a1.dump();
  EXPECT_EQ(a1["reading"]["status"], "read");
  EXPECT_EQ(a1["reading"]["celsius"], 21.5);
  ASSERT_TRUE(a1["conversion_ms"].is_number());
  EXPECT_GT(a1["conversion_ms"].get<double>(), 580.0);
  ASSERT_EQ(a1["conversion_ms_9_to_12_bits"].size(), 4u);
  EXPECT_NEAR(a1["time_ratio"].get<double>(), 2.0, 0.3);
  // The clone that never converts is named, and its value is no reading.
  const auto& b1 = SensorEntry(j, rom_of(ThermometerFamily::kB1, 5));
  EXPECT_EQ(b1["reading"]["status"], "unconfirmed");
  EXPECT_FALSE(b1["reading"]["ok"].get<bool>());
  EXPECT_NE(b1["summary"].get<std::string>().find("clone B1"), std::string::npos);
  // C is at 12 bits whatever was asked of it.
  EXPECT_EQ(SensorEntry(j, rom_of(ThermometerFamily::kC, 2))["resolution"], 12);
  // Not a DS18B20: no family of the clone research.
  bool s20 = false;
  for (const auto& s : j["sensors"])
    if (s["model"] == "DS18S20") {
      s20 = true;
      EXPECT_EQ(s["family"], "unknown");
      EXPECT_EQ(s["reading"]["status"], "read");
    }
  EXPECT_TRUE(s20) << r.out;
  bool clones = false;
  for (const auto& a : j["advice"]) clones = clones || a["kind"] == "clones";
  EXPECT_TRUE(clones) << j["advice"].dump();

}

TEST(ToolDoctor, TheTableSaysItInWords) {
  TempDir dir;
  const std::string devices = dir.File("quick.json", R"({"devices": [
    {"family": "C", "serial": "000000000009", "celsius": 19.5},
    {"family": "B1", "serial": "00000000000A", "celsius": 21.25, "skip_conversions": true}]})");
  const Result t = Tool({"doctor", "--sim", devices, "--id-format", "owfs"});
  ASSERT_EQ(t.code, 0) << t.err;
  const std::string c = qvds::format_rom(onewire::sim::make_family_rom(ThermometerFamily::kC, 9), qvds::RomForm::kOwfs);
  EXPECT_NE(t.out.find(c + "  clone C: reads right; parasite power works; EEPROM wears out after about 8 writes"),
            std::string::npos)
      << t.out;
  EXPECT_NE(t.out.find("clone B1: no conversion seen"), std::string::npos) << t.out;
  EXPECT_NE(t.out.find("it did not convert"), std::string::npos) << t.out;
  EXPECT_NE(t.out.find("advice:"), std::string::npos);
}

TEST(ToolDoctor, TheUndocumentedReadsAreMadeOnlyWhenAskedFor) {
  TempDir dir;
  const std::string devices = dir.File("two.json", R"({"devices": [
    {"family": "D1", "serial": "000000000007", "celsius": 18.0},
    {"family": "E", "serial": "000000000008", "celsius": 18.0}]})");
  const Result r = Tool({"doctor", "--sim", devices, "-f", "json", "--undocumented"});
  ASSERT_EQ(r.code, 0) << r.err;
  const auto j = nlohmann::json::parse(r.out);
  EXPECT_TRUE(j["bus"]["undocumented"].get<bool>());
  const auto& d1 = SensorEntry(j, rom_of(ThermometerFamily::kD1, 7));
  EXPECT_EQ(d1["family"], "D1");
  EXPECT_EQ(d1["confidence"], "high");
  ASSERT_EQ(d1["undocumented"].size(), 7u);
  bool hidden_register = false;
  for (const auto& a : d1["undocumented"])
    if (a["code"] == "8B") hidden_register = a["bytes"].get<std::string>().rfind("06", 0) == 0;
  EXPECT_TRUE(hidden_register) << d1["undocumented"].dump();
  EXPECT_EQ(SensorEntry(j, rom_of(ThermometerFamily::kE, 8))["family"], "E");
}

TEST(ToolDoctor, WhatItCannotDoIsSaid) {
  TempDir dir;
  // CSV is no format for a report.
  const Result csv = Tool({"doctor", "--sim", "--format", "csv"});
  EXPECT_EQ(csv.code, 2);
  EXPECT_NE(csv.err.find("--format"), std::string::npos) << csv.err;
  EXPECT_TRUE(csv.out.empty());
  // The simulated bus has no port.
  const Result port = Tool({"doctor", "--sim", "--port", "/dev/ttyUSB0"});
  EXPECT_EQ(port.code, 2) << port.err;
  // A bus with nothing on it: a report with the advice, and a failure.
  const std::string empty = dir.File("empty.json", R"({"devices": []})");
  const Result none = Tool({"doctor", "--sim", empty, "-f", "json"});
  EXPECT_EQ(none.code, 1);
  const auto j = nlohmann::json::parse(none.out);
  EXPECT_FALSE(j["bus"]["presence"].get<bool>());
  EXPECT_EQ(j["advice"][0]["kind"], "no_devices");
  EXPECT_NE(j["error"].get<std::string>().find("no device answered"), std::string::npos);
  EXPECT_NE(none.err.find("no device answered"), std::string::npos) << none.err;
}

}  // namespace
