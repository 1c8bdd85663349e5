// What the tool prints and publishes of each sensor on buses people wire:
// parasite-powered sensors on an adapter that cannot feed them named once
// and never read, the power-on value never a reading, the exact value in
// every machine-read output, a sensor that stops answering shown as such,
// and the simulated bus never passed off as a real one.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "onewire/crc.hpp"
#include "support/tool_process.hpp"

namespace {

using namespace testing_support;  // the tool as a process, its output, scratch folders

// The case users meet first: two parasite-powered sensors and one on VDD.
constexpr const char* kParasiteBus = R"({"devices": [
  {"type": "DS18B20", "serial": "0416913C6BFF", "celsius": 21.5, "parasite": true},
  {"type": "DS18S20", "serial": "000802B4A1C3", "celsius": 25.5, "parasite": true},
  {"type": "DS18B20", "serial": "0316A2B80C11", "celsius": -3.25}]})";
const std::string kB20 = "D70416913C6BFF28";
const std::string kS20 = "65000802B4A1C310";
const std::string kCold = "C30316A2B80C1128";

// Nine scratchpad bytes as a device file writes them, CRC computed.
std::string scratchpad_hex(std::array<std::uint8_t, 8> bytes) {
  std::string hex;
  char b[3];
  for (auto v : bytes) {
    std::snprintf(b, sizeof b, "%02X", v);
    hex += b;
  }
  std::snprintf(b, sizeof b, "%02X", onewire::crc8(bytes.data(), 8));
  return hex + b;
}

int count_of(const std::string& text, const std::string& what) {
  int n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

TEST(ToolReadings, ParasiteSensorsTheAdapterCannotFeedAreNamedOnceAndNeverReadAsEightyFive) {
  TempDir dir;
  const std::string devices = dir.File("parasite.json", kParasiteBus);
  VirtualAdapter passive(dir.Path("passive"), "passive", devices);
  ASSERT_TRUE(passive.ready());
  const Result r = Tool({"read", "--port", passive.link(), "--adapter", "passive", "--format", "json"});
  ASSERT_EQ(r.code, 0) << r.err;
  const auto j = nlohmann::json::parse(r.out);
  EXPECT_FALSE(j["simulated"].get<bool>());
  EXPECT_EQ(SensorEntry(j, kCold)["celsius"], -3.25);
  const auto& b20 = SensorEntry(j, kB20);
  EXPECT_TRUE(b20["celsius"].is_null()) << b20.dump();
  EXPECT_EQ(b20["status"], "parasite_unfed");
  EXPECT_EQ(b20["power"], "parasite_unfed");
  EXPECT_NE(b20["reason"].get<std::string>().find("parasite"), std::string::npos);
  // Unfed, a DS18S20 holds nothing but its power-on value either.
  EXPECT_EQ(SensorEntry(j, kS20)["status"], "parasite_unfed");
  // Once, naming both (in bus order).
  EXPECT_EQ(count_of(r.err, "parasite-powered sensor(s) (" + kS20 + ", " + kB20 + ")"), 1) << r.err;
  EXPECT_NE(r.err.find(kB20 + ", DS18B20) was not read: it is parasite-powered and this adapter has no strong "
                             "pull-up"),
            std::string::npos)
      << r.err;

  // The same bus through a DS2480B: the strong pull-up feeds both.
  VirtualAdapter ds2480b(dir.Path("ds2480b"), "ds2480b", devices);
  ASSERT_TRUE(ds2480b.ready());
  const Result fed = Tool({"read", "-p", ds2480b.link(), "-a", "ds2480b", "-f", "json"});
  ASSERT_EQ(fed.code, 0) << fed.err;
  const auto k = nlohmann::json::parse(fed.out);
  EXPECT_EQ(SensorEntry(k, kB20)["celsius"], 21.5);
  EXPECT_EQ(SensorEntry(k, kS20)["celsius"], 25.5);
  EXPECT_EQ(SensorEntry(k, kB20)["power"], "parasite");
  EXPECT_EQ(fed.err.find("parasite"), std::string::npos) << fed.err;

  // watch says it once, not every round.
  const Result w = Tool({"watch", "--port", passive.link(), "--adapter", "passive", "-i", "0", "-c", "2", "-f", "csv"});
  ASSERT_EQ(w.code, 0) << w.err;
  EXPECT_EQ(count_of(w.err, "parasite-powered sensor(s)"), 1) << w.err;
}

TEST(ToolReadings, ThePowerOnValueIsNoReadingAndIsNotPublished) {
  TempDir dir;
  const std::string power_on = scratchpad_hex({0x50, 0x05, 0x4B, 0x46, 0x7F, 0xFF, 0x0C, 0x10});
  const std::string file = dir.File("bus.json", R"({"devices": [
      {"type": "DS18B20", "serial": "0000000000A1", "celsius": 21.0625},
      {"type": "DS18B20", "serial": "0000000000A2", "scratchpad": ")" + power_on + R"("},
      {"type": "DS18B20", "serial": "0000000000A3", "celsius": 85}]})");
  const std::string prom = dir.Path("t.prom");
  const Result csv = Tool({"read", "--sim", file, "--format", "csv", "--prometheus-file", prom});
  ASSERT_EQ(csv.code, 0) << csv.err;
  const auto rows = ParseCsv(csv.out);
  ASSERT_EQ(rows.size(), 3u);
  std::string power_on_rom;
  for (const auto& row : rows) {
    // The ROM text is the CRC, the serial, the family.
    const std::string serial = row.at("rom").substr(2, 12);
    if (serial == "0000000000A2") {
      power_on_rom = row.at("rom");
      EXPECT_EQ(row.at("status"), "power_on_value");
      EXPECT_EQ(row.at("temp"), "");
      EXPECT_EQ(row.at("celsius"), "");
      EXPECT_NE(row.at("reason").find("power-on value"), std::string::npos);
    } else if (serial == "0000000000A1") {
      // The exact value for machines, the component's text for people.
      EXPECT_EQ(row.at("celsius"), "21.0625");
      EXPECT_EQ(row.at("temp"), "21.1");
    } else {
      // A real 85 degrees: byte 6 says the part converted.
      EXPECT_EQ(row.at("celsius"), "85") << row.at("rom");
      EXPECT_EQ(row.at("status"), "read");
    }
  }
  ASSERT_FALSE(power_on_rom.empty());
  EXPECT_NE(csv.err.find(power_on_rom + ", DS18B20) was not read: it holds its power-on value"), std::string::npos)
      << csv.err;
  const std::string metrics = ReadFile(prom);
  EXPECT_EQ(metrics.find("qvds18x20_temperature_celsius{rom=\"" + power_on_rom + "\""), std::string::npos) << metrics;
  EXPECT_NE(metrics.find("qvds18x20_sensor_read{rom=\"" + power_on_rom +
                         "\",name=\"DS18B20\",model=\"DS18B20\",port=\"COM1\",bus=\"COM1\"} 0"),
            std::string::npos)
      << metrics;
  EXPECT_NE(metrics.find("reason=\"power_on_value\"} 1"), std::string::npos) << metrics;
  EXPECT_NE(metrics.find("} 21.0625\n"), std::string::npos) << metrics;
  EXPECT_NE(metrics.find("qvds18x20_build_info{version=\""), std::string::npos);

  const Result table = Tool({"read", "--sim", file});
  ASSERT_EQ(table.code, 0) << table.err;
  EXPECT_NE(table.out.find("21.1"), std::string::npos) << table.out;
  EXPECT_EQ(table.out.find("21.0625"), std::string::npos) << "the table shows one decimal";
}

TEST(ToolReadings, ASensorThatStopsAnsweringStopsLookingCurrent) {
  TempDir dir;
  // Two DS18S20: the link's block exchanges are the power survey, then
  // each round's conversion and two reads. The second sensor's read fails
  // in round two (the seventh) and again when watch searches and measures
  // once more (survey, conversion, reads: the eleventh).
  const std::string file = dir.File("bus.json", R"({"devices": [
      {"type": "DS18S20", "serial": "0000000000B1", "celsius": 20.5},
      {"type": "DS18S20", "serial": "0000000000B2", "celsius": 21.5}],
    "faults": [{"op": "QvBlockExchange", "call": 7, "code": -3}, {"op": "QvBlockExchange", "call": 11, "code": -3}]})");
  const std::string prom = dir.Path("w.prom");
  const Result r = Tool({"watch", "--sim", file, "-i", "0", "-c", "2", "-f", "json", "--prometheus-file", prom});
  ASSERT_EQ(r.code, 0) << r.err;
  const auto rounds = Lines(r.out);
  ASSERT_EQ(rounds.size(), 2u);
  const auto last = nlohmann::json::parse(rounds[1]);
  std::string gone;
  for (const auto& s : last["sensors"])
    if (s["celsius"].is_null()) gone = s["rom"];
  ASSERT_FALSE(gone.empty()) << rounds[1];
  EXPECT_NE(r.err.find(gone + " on COM1 was read in the last round and is missing now"), std::string::npos) << r.err;
  const std::string metrics = ReadFile(prom);
  EXPECT_EQ(metrics.find("qvds18x20_temperature_celsius{rom=\"" + gone + "\""), std::string::npos)
      << "a sensor not read has no current temperature:\n" << metrics;
  EXPECT_NE(metrics.find("qvds18x20_sensor_read{rom=\"" + gone + "\",name=\"DS18S20\",model=\"DS18S20\",port=\"COM1\",bus=\"COM1\"} 0"),
            std::string::npos)
      << metrics;
}

TEST(ToolReadings, TheSimulatedBusIsSaidAndIsNotPublishedByMistake) {
  TempDir dir;
  const std::string prom = dir.Path("s.prom");
  const Result implicit = Tool({"read", "--prometheus-file", prom});
  EXPECT_EQ(implicit.code, 2) << implicit.err;
  EXPECT_NE(implicit.err.find("--prometheus-file without --port would publish the simulated bus"), std::string::npos)
      << implicit.err;
  EXPECT_FALSE(std::ifstream(prom).good()) << "nothing published";
  const Result watch = Tool({"watch", "-i", "1", "--mqtt", "mqtt://127.0.0.1:1/x"});
  EXPECT_EQ(watch.code, 2);
  EXPECT_NE(watch.err.find("--mqtt without --port"), std::string::npos) << watch.err;
  // On purpose, it is fine; and the output says what it is.
  const Result explicit_sim = Tool({"read", "--sim", "--prometheus-file", prom, "--format", "json"});
  ASSERT_EQ(explicit_sim.code, 0) << explicit_sim.err;
  EXPECT_TRUE(nlohmann::json::parse(explicit_sim.out)["simulated"].get<bool>());
  EXPECT_TRUE(std::ifstream(prom).good());
  const Result listed = Tool({"list"});
  ASSERT_EQ(listed.code, 0);
  EXPECT_NE(listed.err.find("this is the simulated bus"), std::string::npos) << listed.err;
}

}  // namespace
