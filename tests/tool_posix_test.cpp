// The qvds18x20 tool run as a process, as a user runs it: its commands,
// formats and failures on the simulated bus and on a silent port.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "support/tool_process.hpp"

namespace {

using namespace testing_support;  // the tool as a process, its output, scratch folders

// The devices of a test file, with the texts the tool must print for them.
constexpr const char* kMixedBus = R"({
  "devices": [
    {"type": "DS18B20", "serial": "0000000000A1", "celsius": -12.5},
    {"type": "DS18S20", "serial": "0000000000B2", "celsius": 23.75},
    {"type": "DS2401",  "serial": "0000000000C3"}
  ]
})";

}  // namespace

TEST(Tool, ReadPrintsEverySensorOfTheDemonstrationBus) {
  const Result r = Tool({"read"});
  ASSERT_EQ(r.code, 0) << r.err;
  const auto lines = Lines(r.out);
  ASSERT_GE(lines.size(), 5u);
  EXPECT_EQ(lines[0].substr(0, 5), "INDEX");
  int below_zero = 0, ds2401 = 0;
  for (std::size_t i = 1; i < lines.size(); ++i) {
    if (lines[i].find(" -") != std::string::npos && lines[i].find("DS2401") == std::string::npos) ++below_zero;
    if (lines[i].find("DS2401") != std::string::npos) ++ds2401;
  }
  EXPECT_GE(below_zero, 1);
  EXPECT_EQ(ds2401, 1);
  // No progress on a pipe; only the word that this is no real bus.
  EXPECT_EQ(r.err, "qvds18x20: no --port given: this is the simulated bus and its demonstration devices\n");
}

TEST(Tool, FormatsParseBackToTheSimulatedTemperatures) {
  TempDir dir;
  const std::string file = dir.File("bus.json", kMixedBus);

  const Result csv = Tool({"read", "--sim", file, "--format", "csv"});
  ASSERT_EQ(csv.code, 0) << csv.err;
  std::map<std::string, std::map<std::string, std::string>> by_name;
  for (const auto& row : ParseCsv(csv.out)) by_name[row.at("name")] = row;
  ASSERT_EQ(by_name.size(), 3u);
  EXPECT_EQ(by_name["DS18B20"]["temp"], "-12.5");
  EXPECT_EQ(by_name["DS18B20"]["celsius"], "-12.5");
  EXPECT_EQ(by_name["DS18S20"]["temp"], "23.8");  // the exact value, to one decimal
  EXPECT_EQ(by_name["DS18S20"]["celsius"], "23.75");  // the exact extended-resolution value
  EXPECT_EQ(by_name["DS18S20"]["model"], "DS18S20");
  EXPECT_EQ(by_name["DS18S20"]["status"], "read");
  EXPECT_EQ(by_name["DS2401"]["status"], "no_thermometer");
  EXPECT_EQ(by_name["DS2401"]["temp"], "");
  EXPECT_EQ(by_name["DS18B20"]["rom"].substr(14), "28");
  EXPECT_EQ(by_name["DS18B20"]["port"], "COM1");

  const Result js = Tool({"read", "--sim", file, "--format", "json"});
  ASSERT_EQ(js.code, 0) << js.err;
  const auto j = nlohmann::json::parse(js.out);
  EXPECT_TRUE(j["error"].is_null());
  EXPECT_EQ(j["port"], "COM1");
  EXPECT_EQ(j["adapter"], 1);
  EXPECT_EQ(j["driver"], "Simulated 1-Wire bus");
  EXPECT_EQ(j["buses"].size(), 1u);
  EXPECT_EQ(j["buses"][0]["name"], "COM1");
  EXPECT_TRUE(j["simulated"].get<bool>());
  ASSERT_EQ(j["sensors"].size(), 3u);
  for (const auto& s : j["sensors"]) {
    if (s["name"] == "DS18B20") {
      EXPECT_EQ(s["temp"], "-12.5");
      EXPECT_DOUBLE_EQ(s["celsius"].get<double>(), -12.5);
    } else if (s["name"] == "DS18S20") {
      EXPECT_DOUBLE_EQ(s["celsius"].get<double>(), 23.75);
    } else {
      EXPECT_EQ(s["name"], "DS2401");
      EXPECT_EQ(s["temp"], "");
      EXPECT_TRUE(s["celsius"].is_null());
    }
  }
}

TEST(Tool, ListPrintsIndexRomAndName) {
  TempDir dir;
  const Result r = Tool({"list", "--sim", dir.File("bus.json", kMixedBus), "--format", "csv"});
  ASSERT_EQ(r.code, 0) << r.err;
  const auto rows = ParseCsv(r.out);
  ASSERT_EQ(rows.size(), 3u);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(rows[i].at("index"), std::to_string(i));
    EXPECT_EQ(rows[i].at("rom").size(), 16u);
  }
  const Result table = Tool({"list"});
  ASSERT_EQ(table.code, 0);
  EXPECT_EQ(Lines(table.out).size(), 7u);  // header and six demonstration devices
}

TEST(Tool, WatchAppendsEveryRoundToTheLog) {
  TempDir dir;
  const std::string log = dir.Path("log.csv");
  const Result r = Tool({"watch", "--interval", "0", "--count", "3", "--sim", dir.File("bus.json", kMixedBus),
                         "--log", log, "--format", "csv"});
  ASSERT_EQ(r.code, 0) << r.err;
  std::ifstream in(log);
  std::stringstream text;
  text << in.rdbuf();
  const auto rows = ParseCsv(text.str());
  ASSERT_EQ(rows.size(), 9u);  // three rounds of three devices, one header
  for (const auto& row : rows) {
    EXPECT_EQ(row.at("time").size(), 20u);  // 2026-12-08T04:10:47Z
    if (row.at("name") == "DS18B20") {
      EXPECT_EQ(row.at("temp"), "-12.5");
    }
  }
  // A second run appends without a second header.
  ASSERT_EQ(Tool({"watch", "--interval", "0", "--count", "1", "--sim", dir.File("bus2.json", kMixedBus), "--log", log}).code, 0);
  std::ifstream again(log);
  std::stringstream all;
  all << again.rdbuf();
  EXPECT_EQ(Lines(all.str()).size(), 13u);
}

TEST(Tool, VersionAndPortsAndHelp) {
  const Result v = Tool({"version"});
  ASSERT_EQ(v.code, 0);
  EXPECT_NE(v.out.find("component 1.1"), std::string::npos);
  EXPECT_NE(v.out.find("driver active: yes"), std::string::npos);
  EXPECT_EQ(Tool({"ports"}).code, 0);
  for (const char* cmd : {"read", "list", "watch", "ports", "version"}) {
    const Result h = Tool({cmd, "--help"});
    EXPECT_EQ(h.code, 0) << cmd;
    EXPECT_NE(h.out.find("Usage"), std::string::npos) << cmd;
  }
}

TEST(Tool, FailuresAreOneClearLineAndANonZeroExit) {
  TempDir dir;
  struct Case {
    std::vector<std::string> args;
    int code;
    std::string message;
  };
  const std::vector<Case> cases = {
      {{"read", "--sim", dir.File("empty.json", R"({"devices": []})")}, 1, "no devices found on the bus"},
      {{"read", "--sim", dir.File("bad.json", "{\n  \"devices\": [\n    {\"type\": \"DS18B20\",}\n  ]\n}")}, 1,
       "line 3, column 24: malformed JSON"},
      {{"read", "--sim", dir.File("odd.json", R"({"devices": [{"type": "DS9999"}]})")}, 1, "unknown device type"},
      {{"read", "--sim", dir.Path("missing.json")}, 1, "cannot be read"},
      {{"read", "--port", "/dev/qvds-no-such-port"}, 1, "/dev/qvds-no-such-port: no such device"},
      {{"read", "--port", "/etc/hostname"}, 1, "cannot open a session on /etc/hostname"},
      {{"read", "--port", "COM250"}, 1, "the port does not exist or cannot be opened"},
      {{"read", "--port", "USB250"}, 1, "the port does not exist or cannot be opened"},
      {{"read", "--port", "nonsense"}, 2, "--port takes a COM name"},
      {{"read", "--adapter", "parallel"}, 2, "--adapter takes"},
      {{"read", "--frobnicate"}, 2, ""},
      {{"watch", "--interval", "a minute"}, 2, "--interval"},
      {{"read", "--sim", dir.File("faulty.json",
                                  R"({"devices": [{"type": "DS18B20"}], "faults": [{"op": "TMTouchReset", "code": -4}]})")},
       0, ""},
  };
  for (const Case& k : cases) {
    const Result r = Tool(k.args);
    std::string joined;
    for (const auto& a : k.args) joined += a + " ";
    EXPECT_EQ(r.code, k.code) << joined << "\n" << r.err;
    if (!k.message.empty()) {
      EXPECT_NE(r.err.find(k.message), std::string::npos) << joined << "\n" << r.err;
    }
    if (k.code == 1) {
      EXPECT_EQ(r.err.rfind("qvds18x20: ", 0), 0u) << r.err;
      EXPECT_EQ(Lines(r.err).size(), 1u) << r.err;
    }
  }
}

TEST(Tool, WatchStopsCleanlyOnCtrlC) {
  TempDir dir;
  const std::string log = dir.Path("log.csv");
  bool sent = false;
  const Result r = Tool({"watch", "--interval", "0.2", "--format", "csv", "--log", log}, std::chrono::seconds(30),
                        [&](pid_t pid, const std::string& out) {
                          if (!sent && Lines(out).size() >= 8) {  // header and a first round
                            kill(pid, SIGINT);
                            sent = true;
                          }
                        });
  ASSERT_TRUE(sent);
  EXPECT_EQ(r.code, 0) << r.err;
  // Every round that was printed is also complete in the log.
  const auto printed = ParseCsv(r.out);
  std::ifstream in(log);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_EQ(ParseCsv(text.str()).size(), printed.size());
  EXPECT_EQ(printed.size() % 6, 0u);
}

TEST(Tool, AnAdapterThatDoesNotAnswerFailsWithinSeconds) {
  // A pseudo-terminal whose far end nobody serves: a port with no adapter.
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  const std::string slave = ptsname(master);
  for (const char* adapter : {"ds2480b", "passive"}) {
    const auto start = std::chrono::steady_clock::now();
    const Result r = Tool({"read", "--port", slave, "--adapter", adapter}, std::chrono::seconds(30));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10)) << adapter;
    EXPECT_EQ(r.code, 1) << adapter;
    EXPECT_NE(r.err.find("qvds18x20: "), std::string::npos) << r.err;
    EXPECT_EQ(Lines(r.err).size(), 1u) << r.err;
  }
  close(master);
}
