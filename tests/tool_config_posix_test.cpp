// The configuration file and the command line together: names, offsets
// and plausible ranges in every output, the command line winning, files
// that cannot be used refused whole with their place, ROM codes in every
// form, and the command line's own conveniences.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "onewire/crc.hpp"
#include "support/tool_process.hpp"

namespace {

using namespace testing_support;  // the tool as a process, its output, scratch folders

constexpr const char* kBus = R"({"devices": [
  {"type": "DS18B20", "serial": "0416913C6BFF", "celsius": 60.5},
  {"type": "DS18B20", "serial": "0316A2B80C11", "celsius": 4.0625},
  {"rom": "01.4D3C2B1A0000"}]})";

TEST(ToolConfig, NamesOffsetsAndRangesReachEveryOutput) {
  TempDir dir;
  const std::string devices = dir.File("bus.json", kBus);
  // The ROMs in OWFS's and the kernel's forms, as users carry them over.
  const std::string config = dir.File("q.toml", R"(sim = ")" + devices + R"("
format = "csv"
interval = 60            # watch's: read leaves it

[sensors."28.FF6B3C911604"]
name = "Boiler flow"
offset = -0.5

[sensors."28-0316a2b80c11"]
name = "Cellar"
max = 2.5
)");
  const std::string prom = dir.Path("c.prom");
  // The command line wins over the file's format. The cellar's value is
  // above its max: read says so with its exit status.
  const Result r = Tool({"read", "--config", config, "--format", "json", "--prometheus-file", prom});
  ASSERT_EQ(r.code, 3) << r.err;
  const auto j = nlohmann::json::parse(r.out);
  const auto& boiler = SensorEntry(j, "D70416913C6BFF28");
  EXPECT_EQ(boiler["label"], "Boiler flow");
  EXPECT_EQ(boiler["celsius"], 60.0) << "the offset is added to the exact value";
  EXPECT_EQ(boiler["temp"], "60.0");
  const auto& cellar = SensorEntry(j, "C30316A2B80C1128");
  EXPECT_EQ(cellar["status"], "out_of_bounds");
  EXPECT_EQ(cellar["celsius"], 4.0625) << "shown, not hidden";
  EXPECT_NE(cellar["reason"].get<std::string>().find("it read 4.0625, above its bounds -55 to 2.5 (its max, from the "
                                                     "configuration)"),
            std::string::npos)
      << cellar.dump();
  EXPECT_EQ(SensorEntry(j, "6300001A2B3C4D01")["model"], "DS2401") << "a device file's ROM in OWFS's form";
  EXPECT_NE(r.err.find("(C30316A2B80C1128, DS18B20, Cellar): it read 4.0625, above its bounds"), std::string::npos)
      << r.err;
  const std::string metrics = ReadFile(prom);
  EXPECT_NE(metrics.find("qvds18x20_temperature_celsius{rom=\"D70416913C6BFF28\",name=\"Boiler flow\",model=\"DS18B20\""),
            std::string::npos)
      << metrics;

  // The file's format, the names in the table, the kernel's ROM forms.
  const Result csv = Tool({"read", "--config", config, "--id-format", "kernel"});
  ASSERT_EQ(csv.code, 3) << csv.err;
  const auto rows = ParseCsv(csv.out);
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].count("label"), 1u);
  bool boiler_seen = false;
  for (const auto& row : rows)
    if (row.at("rom") == "28-0416913c6bff") {
      boiler_seen = true;
      EXPECT_EQ(row.at("label"), "Boiler flow");
      EXPECT_EQ(row.at("celsius"), "60");
    }
  EXPECT_TRUE(boiler_seen) << csv.out;
  const Result table = Tool({"read", "--config", config, "-f", "table", "--id-format", "owfs"});
  ASSERT_EQ(table.code, 3) << table.err;
  EXPECT_NE(Lines(table.out)[0].find("LABEL"), std::string::npos) << table.out;
  EXPECT_NE(table.out.find("28.FF6B3C911604"), std::string::npos) << table.out;
  EXPECT_NE(table.out.find("Boiler flow"), std::string::npos) << table.out;
}

// Nine scratchpad bytes as a device file writes them, CRC computed: a
// value the simulated sensor's range does not reach.
std::string ScratchpadHex(std::array<std::uint8_t, 8> bytes) {
  std::string hex;
  char b[3];
  for (auto v : bytes) {
    std::snprintf(b, sizeof b, "%02X", v);
    hex += b;
  }
  std::snprintf(b, sizeof b, "%02X", onewire::crc8(bytes.data(), 8));
  return hex + b;
}

// An overheating boiler is the reading that matters most: its value is
// shown everywhere, flagged, and read's exit status says so; watch goes
// on. Without bounds in the file the part's range is the bound.
TEST(ToolConfig, AValueOutsideItsBoundsIsShownFlaggedAndReadSaysSo) {
  TempDir dir;
  // 126.0: 0x07E0, converted (byte 6 = 0x10).
  const std::string hot = ScratchpadHex({0xE0, 0x07, 0x4B, 0x46, 0x7F, 0xFF, 0x10, 0x10});
  const std::string devices = dir.File("bus.json", R"({"devices": [
    {"type": "DS18B20", "serial": "0416913C6BFF", "celsius": 96.5},
    {"type": "DS18B20", "serial": "0316A2B80C11", "celsius": -12.5},
    {"type": "DS18B20", "serial": "0417C0DE0042", "scratchpad": ")" + hot + R"("}]})");
  const std::string config = dir.File("q.toml", "sim = \"" + devices + R"toml("
[sensors."28.FF6B3C911604"]
name = "boiler"
max = 95
)toml");
  const std::string prom = dir.Path("b.prom");
  const Result r = Tool({"read", "--config", config, "--format", "json", "--prometheus-file", prom});
  EXPECT_EQ(r.code, 3) << r.err;
  const auto j = nlohmann::json::parse(r.out);
  const auto& boiler = SensorEntry(j, "D70416913C6BFF28");
  EXPECT_EQ(boiler["celsius"], 96.5);
  EXPECT_EQ(boiler["temp"], "96.5");
  EXPECT_EQ(boiler["status"], "out_of_bounds");
  const auto& hottest = SensorEntry(j, "A10417C0DE004228");
  EXPECT_EQ(hottest["celsius"], 126.0);
  EXPECT_EQ(hottest["status"], "out_of_bounds");
  EXPECT_NE(hottest["reason"].get<std::string>().find("above its bounds -55 to 125 (the part's range)"),
            std::string::npos)
      << hottest.dump();
  EXPECT_EQ(SensorEntry(j, "C30316A2B80C1128")["status"], "read") << "-12.5 is well within";
  EXPECT_NE(r.err.find("boiler): it read 96.5, above its bounds -55 to 95"), std::string::npos) << r.err;
  const std::string metrics = ReadFile(prom);
  EXPECT_NE(metrics.find("qvds18x20_temperature_celsius{rom=\"D70416913C6BFF28\",name=\"boiler\",model=\"DS18B20\","
                         "port=\"COM1\",bus=\"COM1\"} 96.5\n"),
            std::string::npos)
      << metrics;
  EXPECT_NE(metrics.find("qvds18x20_sensor_out_of_bounds{rom=\"D70416913C6BFF28\",name=\"boiler\",model=\"DS18B20\","
                         "port=\"COM1\",bus=\"COM1\"} 1\n"),
            std::string::npos)
      << metrics;
  EXPECT_NE(metrics.find("qvds18x20_sensor_out_of_bounds{rom=\"C30316A2B80C1128\",name=\"DS18B20\","
                         "model=\"DS18B20\",port=\"COM1\",bus=\"COM1\"} 0\n"),
            std::string::npos)
      << metrics;
  // The table marks it; CSV carries the value and the status.
  const Result table = Tool({"read", "--config", config});
  EXPECT_EQ(table.code, 3);
  EXPECT_NE(table.out.find(" 96.5!"), std::string::npos) << table.out;
  EXPECT_NE(table.out.find(" -12.5 "), std::string::npos) << table.out;
  const Result watch = Tool({"watch", "--config", config, "-i", "0", "-c", "2", "-f", "csv"});
  EXPECT_EQ(watch.code, 0) << "watch goes on: " << watch.err;
  int flagged = 0;
  for (const auto& row : ParseCsv(watch.out))
    if (row.at("rom") == "D70416913C6BFF28") {
      EXPECT_EQ(row.at("celsius"), "96.5");
      flagged += row.at("status") == "out_of_bounds";
    }
  EXPECT_EQ(flagged, 2);
}

// Two sensors the configuration names, one of them on no bus.
constexpr const char* kExpected = R"toml(
[sensors."28.FF6B3C911604"]
name = "boiler"
[sensors."28.000000C0FFEE"]
name = "attic"
)toml";

// A sensor the configuration names is expected: not on the bus, it is
// shown as missing in every output and said once a run.
TEST(ToolConfig, AConfiguredSensorNotOnTheBusIsMissingEverywhereAndSaidOnce) {
  TempDir dir;
  const std::string devices = dir.File("bus.json", R"({"devices": [
    {"type": "DS18B20", "serial": "0416913C6BFF", "celsius": 20.5},
    {"type": "DS18B20", "serial": "0316A2B80C11", "celsius": 21.5}]})");
  const std::string config = dir.File("q.toml", "sim = \"" + devices + "\"\n" + kExpected);
  const std::string gone = "3AEEFFC000000028";
  const Result r = Tool({"read", "--config", config, "--format", "json"});
  EXPECT_EQ(r.code, 0) << "the others were read: " << r.err;
  const auto j = nlohmann::json::parse(r.out);
  const auto& attic = SensorEntry(j, gone);
  EXPECT_TRUE(attic["index"].is_null());
  EXPECT_TRUE(attic["celsius"].is_null());
  EXPECT_EQ(attic["status"], "missing");
  EXPECT_EQ(attic["label"], "attic");
  EXPECT_NE(r.err.find("sensor " + gone + " (attic) is in the configuration but not on the bus"), std::string::npos)
      << r.err;
  const Result table = Tool({"read", "--config", config});
  EXPECT_NE(table.out.find("-      " + gone + "  DS18B20  -       attic"), std::string::npos) << table.out;
  const std::string prom = dir.Path("m.prom");
  const Result watch = Tool({"watch", "--config", config, "-i", "0", "-c", "3", "-f", "csv", "--prometheus-file", prom});
  ASSERT_EQ(watch.code, 0) << watch.err;
  int rows = 0;
  for (const auto& row : ParseCsv(watch.out))
    if (row.at("rom") == gone) {
      ++rows;
      EXPECT_EQ(row.at("index"), "");
      EXPECT_EQ(row.at("status"), "missing");
    }
  EXPECT_EQ(rows, 3);
  EXPECT_EQ(Lines(watch.err).size(), 1u) << "once a run:\n" << watch.err;
  const std::string metrics = ReadFile(prom);
  EXPECT_NE(metrics.find("qvds18x20_sensor_read{rom=\"" + gone + "\",name=\"attic\",model=\"DS18B20\",port=\"COM1\",bus=\"COM1\"} 0"),
            std::string::npos)
      << metrics;
  EXPECT_NE(metrics.find("qvds18x20_sensor_not_read_total{rom=\"" + gone +
                         "\",name=\"attic\",model=\"DS18B20\",port=\"COM1\",bus=\"COM1\",reason=\"missing\"} 3"),
            std::string::npos)
      << metrics;
  const Result listed = Tool({"list", "--config", config});
  EXPECT_EQ(listed.code, 0);
  EXPECT_NE(listed.err.find(gone + " (attic) is in the configuration but not on the bus"), std::string::npos)
      << listed.err;
}

// ... and found when it comes, without a restart: here the boiler is
// plugged in after the first round's search.
TEST(ToolConfig, AConfiguredSensorMissingIsFoundWhenItComes) {
  TempDir dir;
  const std::string late = dir.File("late.json", R"({"devices": [
    {"type": "DS18B20", "serial": "0416913C6BFF", "celsius": 20.5, "arrives_after": 0.3},
    {"type": "DS18B20", "serial": "0316A2B80C11", "celsius": 21.5}]})");
  const std::string config = dir.File("q.toml", "sim = \"" + late + "\"\n" + kExpected);
  const Result found = Tool({"watch", "--config", config, "-i", "0", "-c", "2", "-f", "json"});
  ASSERT_EQ(found.code, 0) << found.err;
  const auto rounds = Lines(found.out);
  ASSERT_EQ(rounds.size(), 2u);
  EXPECT_EQ(SensorEntry(nlohmann::json::parse(rounds[0]), "D70416913C6BFF28")["status"], "missing");
  EXPECT_EQ(SensorEntry(nlohmann::json::parse(rounds[1]), "D70416913C6BFF28")["celsius"], 20.5);
}

// Names are the user's text; a spreadsheet opening the CSV would run one
// that begins like a formula. Numbers stay numbers, below zero too.
TEST(ToolConfig, NamesCannotBecomeFormulasInCsvAndNegativeValuesStayNumbers) {
  TempDir dir;
  const std::string devices = dir.File("bus.json", R"({"devices": [
    {"type": "DS18B20", "serial": "0416913C6BFF", "celsius": -12.5},
    {"type": "DS18B20", "serial": "0316A2B80C11", "celsius": 4.0625},
    {"type": "DS18B20", "serial": "0417C0DE0042", "celsius": -0.0625}]})");
  const std::string config = dir.File("q.toml", "sim = \"" + devices + R"toml("
[sensors."28.FF6B3C911604"]
name = "=cmd|' /C calc'!A0"
[sensors."28-0316a2b80c11"]
name = "@SUM(1+1)"
[sensors."28-0417c0de0042"]
name = "-2 cellar"
)toml");
  const std::string log = dir.Path("log.csv");
  const Result r = Tool({"read", "--config", config, "--format", "csv", "--log", log});
  ASSERT_EQ(r.code, 0) << r.err;
  for (const std::string& text : {r.out, ReadFile(log)}) {
    std::map<std::string, std::map<std::string, std::string>> by_rom;
    for (const auto& row : ParseCsv(text)) by_rom[row.at("rom")] = row;
    ASSERT_EQ(by_rom.size(), 3u) << text;
    EXPECT_EQ(by_rom["D70416913C6BFF28"]["label"], "'=cmd|' /C calc'!A0") << text;
    EXPECT_EQ(by_rom["D70416913C6BFF28"]["celsius"], "-12.5");
    EXPECT_EQ(by_rom["D70416913C6BFF28"]["temp"], "-12.5");
    EXPECT_EQ(by_rom["C30316A2B80C1128"]["label"], "'@SUM(1+1)");
    EXPECT_EQ(by_rom["A10417C0DE004228"]["label"], "'-2 cellar");
    EXPECT_EQ(by_rom["A10417C0DE004228"]["celsius"], "-0.0625");
    for (const auto& [rom, row] : by_rom)
      for (const auto& [column, cell] : row)
        if (column != "temp" && column != "celsius" && !cell.empty()) {
          EXPECT_EQ(std::string("=+-@\t\r").find(cell[0]), std::string::npos) << column << ": " << cell;
        }
  }
  // JSON carries the names as they are: it is read by programs, not run.
  const Result json = Tool({"read", "--config", config, "--format", "json"});
  ASSERT_EQ(json.code, 0) << json.err;
  EXPECT_EQ(SensorEntry(nlohmann::json::parse(json.out), "D70416913C6BFF28")["label"], "=cmd|' /C calc'!A0");
  const Result devices_csv = Tool({"list", "--config", config, "--format", "csv"});
  ASSERT_EQ(devices_csv.code, 0) << devices_csv.err;
  EXPECT_NE(devices_csv.out.find(",'@SUM(1+1),"), std::string::npos) << devices_csv.out;
}

// The packaged template sets nothing itself: what an administrator
// appends to it (echo 'interval = 30' | sudo tee -a ...) is taken, not
// refused as a key given twice.
TEST(ToolConfig, ThePackagedTemplateTakesWhatIsAppendedToIt) {
  TempDir dir;
  const std::string config =
      dir.File("q.toml", ReadFile(std::string(QVDS_SOURCE_DIR) + "/packaging/qvds18x20.toml") +
                             "sim = true\ninterval = 0.1\nformat = \"csv\"\n");
  const Result r = Tool({"watch", "--config", config, "--count", "2"});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(ParseCsv(r.out).size(), 2u * 6u) << r.out;
}

TEST(ToolConfig, AFileThatCannotBeUsedIsRefusedWholeWithItsPlace) {
  TempDir dir;
  struct Case {
    const char* text;
    const char* says;
  };
  const Case cases[] = {
      {"port = \"/dev/null\"\ninterval = \"x\n", ":2:"},                      // broken TOML
      {"sim = true\nportt = \"/dev/ttyUSB0\"\n", ":2:9: unknown key \"portt\""},  // a typo
      {"sim = true\n[sensors.\"28.FF6B3C911604.D8\"]\nname = \"a\"\n", "CRC"},
      {"sim = true\nmqtt_discovery = \"yes\"\n", "takes true or false"},
      {"sim = true\nformat = \"xml\"\n", "(in "},  // the parser's own message, with the file's place
      {"interval = 60\n", "no port is given"},   // a service's file must name its bus
      {"sim = true\nmqtt_discovery = true\n", "need --mqtt (in "},  // a check of the options, placed
      // A malformed value of any kind is the file's fault: a usage error
      // with its place, which the service does not restart on.
      {"sim = true\nmqtt = \"http://broker.lan/home\"\n", ":2:"},
      {"sim = true\nmqtt = \"mqtt://broker.lan/$SYS/home\"\n", ":2:"},
      {"sim = true\nprometheus_file = \"/\"\n", ":2:"},
      {"sim = true\nhelp = true\n", ":2:8: unknown key \"help\""},  // not the help text with exit 0
  };
  for (const Case& c : cases) {
    const std::string file = dir.File("bad.toml", c.text);
    const Result r = Tool({"read", "--config", file});
    EXPECT_EQ(r.code, 2) << c.text << r.err;
    EXPECT_EQ(r.out, "") << c.text;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << c.text << " -> " << r.err;
    EXPECT_NE(r.err.find("bad.toml"), std::string::npos) << r.err;
    EXPECT_EQ(Lines(r.err).size(), 1u) << r.err;
  }
  // A file that cannot be read says why, in the system's words.
  const Result missing = Tool({"read", "--config", dir.Path("none.toml")});
  EXPECT_EQ(missing.code, 2);
  EXPECT_NE(missing.err.find("none.toml: cannot be read (No such file or directory)"), std::string::npos)
      << missing.err;
  const Result folder = Tool({"read", "--config", dir.Path("")});
  EXPECT_EQ(folder.code, 2);
  EXPECT_NE(folder.err.find(": cannot be read (Is a directory)"), std::string::npos) << folder.err;
}

TEST(ToolCommandLine, WithJsonAFailureIsAnObjectToo) {
  const Result no_port = Tool({"read", "--port", "COM250", "--format", "json"});
  EXPECT_EQ(no_port.code, 1);
  const auto j = nlohmann::json::parse(no_port.out);
  EXPECT_NE(j["error"].get<std::string>().find("cannot open a session on COM250"), std::string::npos) << no_port.out;
  EXPECT_EQ(j["code"], -1) << "the driver's result code";
  EXPECT_TRUE(j["sensors"].empty());
  const Result no_device = Tool({"list", "--port", "/dev/no-such-adapter", "--format", "json"});
  EXPECT_EQ(no_device.code, 1);
  EXPECT_NE(nlohmann::json::parse(no_device.out)["error"].get<std::string>().find("no such device"), std::string::npos);
  // A measurement that fails after the session opened is one object, not two.
  const Result empty_bus = Tool({"read", "--sim", testing_support::TempDir().File("e.json", R"({"devices": []})"),
                                 "--format", "json"});
  EXPECT_EQ(empty_bus.code, 1);
  EXPECT_EQ(Lines(empty_bus.out).size(), 1u) << empty_bus.out;
}

TEST(ToolCommandLine, VersionShortOptionsAndOneStyleOfUsageError) {
  const Result v = Tool({"--version"});
  EXPECT_EQ(v.code, 0);
  EXPECT_EQ(v.out.rfind("qvds18x20 ", 0), 0u) << v.out;
  const Result bad = Tool({"read", "--formt", "json"});
  EXPECT_EQ(bad.code, 2);
  EXPECT_EQ(bad.err.rfind("qvds18x20: ", 0), 0u) << bad.err;
  EXPECT_NE(bad.err.find("(see qvds18x20 read --help)"), std::string::npos) << bad.err;
  EXPECT_EQ(Lines(bad.err).size(), 1u) << bad.err;
  // A value outside a choice names the choices in words, without the
  // option library's own notation.
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"read", "--format", "xml"}, {"list", "--id-format", "linux"}, {"read", "--baud", "1234"}}) {
    const Result choice = Tool(args);
    EXPECT_EQ(choice.code, 2) << choice.err;
    EXPECT_NE(choice.err.find("takes "), std::string::npos) << choice.err;
    EXPECT_NE(choice.err.find(", not \"" + args.back() + "\""), std::string::npos) << choice.err;
    for (const char* notation : {"{", "->", "FAILED"})
      EXPECT_EQ(choice.err.find(notation), std::string::npos) << choice.err;
  }
  EXPECT_EQ(Tool({"read", "--sim", "-f", "JSON"}).code, 0) << "names in any case";
  for (const char* cmd : {"read", "list", "watch", "ports", "version", "sim-adapter", "sim-usb", "sim-i2c"}) {
    const Result help = Tool({cmd, "--help"});
    for (const char* placeholder : {" TEXT", ":TEXT", " INT", "FLOAT", "ENUM", " UINT"})
      EXPECT_EQ(help.out.find(placeholder), std::string::npos) << cmd << ": " << placeholder << "\n" << help.out;
  }
}

}  // namespace
