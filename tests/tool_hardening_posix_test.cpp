// The qvds18x20 tool where users meet trouble: ports held by another
// program, stalled adapters, interrupted watches, results short of the
// whole truth, meaningless options, foreign log files, bad device files.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "support/tool_process.hpp"
#include "support/user_port_settings_posix.hpp"

using namespace testing_support;  // the tool as a process, its output, scratch folders

TEST(ToolHardening, APortInUseIsBusyForASecondProgramAndTheFirstKeepsItsSensors) {
  TempDir dir;
  VirtualAdapter adapter(dir.Path("adapter"));
  ASSERT_TRUE(adapter.ready());
  bool second_done = false;
  Result second;
  const Result first = Tool({"watch", "--interval", "0.2", "--count", "3", "--port", adapter.link(), "--adapter",
                             "DS2480B", "--format", "csv"},
                            std::chrono::seconds(60), [&](pid_t, const std::string& out) {
                              if (second_done || Lines(out).size() < 2) return;
                              second_done = true;
                              const auto start = std::chrono::steady_clock::now();
                              second = Tool({"read", "--port", adapter.link(), "--adapter", "ds2480b"});
                              EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
                            });
  ASSERT_TRUE(second_done);
  EXPECT_EQ(second.code, 1);
  EXPECT_NE(second.err.find("in use by another program"), std::string::npos) << second.err;
  EXPECT_EQ(second.out, "");
  ASSERT_EQ(first.code, 0) << first.err;
  EXPECT_EQ(first.err, "");
  const auto rows = ParseCsv(first.out);
  ASSERT_EQ(rows.size(), 18u) << first.out;  // three rounds of the six demonstration devices
  for (const auto& row : rows)
    if (row.at("name") != "DS2401") {
      EXPECT_NE(row.at("temp"), "") << row.at("rom");
    }
}

TEST(ToolHardening, CtrlCEndsAStalledWatchPromptlyAndPutsThePortBack) {
  TempDir dir;
  VirtualAdapter adapter(dir.Path("adapter"));
  ASSERT_TRUE(adapter.ready());
  // Settings a user left on the port.
  const int fd = open(adapter.link().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(fd, 0);
  termios before{};
  ASSERT_TRUE(testing_support::leave_user_settings(fd, before));

  const std::string log = dir.Path("log.csv");
  bool stalled = false;
  std::chrono::steady_clock::time_point interrupted;
  // No pause between rounds: the stall meets a round in progress.
  const Result r = Tool({"watch", "--interval", "0", "--port", adapter.link(), "--adapter", "ds2480b", "--format",
                         "csv", "--log", log},
                        std::chrono::seconds(60), [&](pid_t pid, const std::string& out) {
                          if (stalled || Lines(out).size() < 7) return;
                          stalled = true;
                          adapter.stall();
                          interrupted = std::chrono::steady_clock::now();
                          kill(pid, SIGINT);
                        });
  ASSERT_TRUE(stalled);
  // The operation deadline is 20 s; an interrupt takes about one.
  EXPECT_LT(std::chrono::steady_clock::now() - interrupted, std::chrono::seconds(8));
  EXPECT_EQ(r.code, 0) << r.err;  // rounds were measured before
  // Within the grace second the round either ended on the silent adapter
  // (quietly, or failed and said so, as any failed round does), or the
  // tool abandoned it and said so. On a busy machine the round may fail
  // first: the stall began before the interrupt.
  if (!r.err.empty()) {
    const bool abandoned = r.err.find("interrupted") != std::string::npos;
    const bool round_failed = r.err.find("measuring on " + adapter.link() + " failed") != std::string::npos;
    EXPECT_TRUE(abandoned || round_failed) << r.err;
  }
  testing_support::expect_user_settings_back(fd, before);
  close(fd);
  // Whole rounds only, the same in the log as on the screen.
  const auto logged = ParseCsv(ReadFile(log));
  EXPECT_EQ(logged.size() % 6, 0u);
  EXPECT_EQ(logged.size(), ParseCsv(r.out).size());
}

TEST(ToolHardening, ResultsShortOfTheWholeTruthSaySo) {
  TempDir dir;
  // More devices than the component holds: the tool has no such cap.
  const std::string many = DevicesFile(dir, "many.json", 23);
  for (const char* format : {"table", "json"}) {
    const Result r = Tool({"read", "--sim", many, "--format", format});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.err.find("more than 21 devices"), std::string::npos) << format << ": " << r.err;
    if (std::string(format) == "json") {
      const auto j = nlohmann::json::parse(r.out);
      EXPECT_FALSE(j["more_devices"].get<bool>());
      EXPECT_EQ(j["sensors"].size(), 23u);
    }
  }
  // A sensor not read.
  const Result damaged = Tool({"read", "--sim", dir.File("damaged.json", R"({"devices": [
      {"type": "DS18B20", "serial": "0000000000A1"},
      {"type": "DS18B20", "serial": "0000000000A2", "scratchpad": "500548467FFF0C10FF"}]})"),
                               "--format", "json"});
  ASSERT_EQ(damaged.code, 0) << damaged.err;
  EXPECT_NE(damaged.err.find("0000000000A228"), std::string::npos) << damaged.err;
  EXPECT_NE(damaged.err.find("was not read"), std::string::npos) << damaged.err;
  EXPECT_EQ(nlohmann::json::parse(damaged.out)["warnings"].size(), 1u);

  // watch: a sensor read last round and not now is searched for again;
  // reported only when it stays away. The link's block exchanges: the
  // power survey, the first round's conversion and read, the second's
  // conversion and read (the fifth), the search's survey, conversion and
  // read once more (the eighth).
  const char* once = R"({"devices": [{"type": "DS18S20", "serial": "0000000000B2"}],
      "faults": [{"op": "QvBlockExchange", "call": 5, "code": -3}]})";
  const Result back = Tool({"watch", "--interval", "0", "--count", "2", "--sim", dir.File("once.json", once), "--format", "csv"});
  ASSERT_EQ(back.code, 0) << back.err;
  EXPECT_EQ(back.err, "");
  const auto rows = ParseCsv(back.out);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_NE(rows[1].at("temp"), "") << "the second round was reported before the sensor was searched for again";
  const char* twice = R"({"devices": [{"type": "DS18S20", "serial": "0000000000B2"}],
      "faults": [{"op": "QvBlockExchange", "call": 5, "code": -3}, {"op": "QvBlockExchange", "call": 8, "code": -3}]})";
  const Result gone = Tool({"watch", "--interval", "0", "--count", "2", "--sim", dir.File("twice.json", twice)});
  // The bus's only sensor: the round read nothing, and its one line says
  // which sensor and why.
  EXPECT_NE(gone.err.find("none of the 1 thermometer(s) was read (920000000000B210: "), std::string::npos) << gone.err;
  EXPECT_EQ(Lines(gone.err).size(), 1u) << gone.err;
}

// Unplugged during a watch: each round says so in one line, not a line
// for every sensor it no longer reads.
TEST(ToolHardening, AnAdapterThatGoesAwayIsOneLineARound) {
  TempDir dir;
  VirtualAdapter adapter(dir.Path("adapter"));
  ASSERT_TRUE(adapter.ready());
  bool unplugged = false;
  const Result r = Tool({"watch", "--interval", "0.2", "--count", "4", "--port", adapter.link(), "--adapter",
                         "ds2480b", "--format", "csv"},
                        std::chrono::seconds(60), [&](pid_t, const std::string& out) {
                          if (unplugged || Lines(out).size() < 7) return;
                          unplugged = true;
                          adapter.unplug();
                        });
  ASSERT_TRUE(unplugged);
  EXPECT_EQ(r.code, 0) << "a round was measured";
  const auto lines = Lines(r.err);
  ASSERT_GE(lines.size(), 1u) << r.err;
  EXPECT_LE(lines.size(), 3u) << r.err;
  for (const auto& line : lines) EXPECT_NE(line.find("failed"), std::string::npos) << r.err;
}

TEST(ToolHardening, OptionsThatCannotMeanWhatTheySayAreUsageErrors) {
  TempDir dir;
  const std::vector<std::vector<std::string>> refused = {
      {"read", "--sim", "--port", "/dev/ttyS0"},
      {"read", "--adapter", "5", "--sim"},
      {"read", "--port", ""},
      {"read", "--log", ""},
      {"read", "--adapter", ""},
      {"watch", "--interval", "1", "--count", "0"},
      {"watch", "--interval", "1", "--count", ""},
      {"watch", "--interval", "1", "--count", "-1"},
      {"watch", "--interval", "1", "--count", "2.5"},
      {"watch", "--interval", ""},
      {"watch", "--interval", "9.3e9"},
      {"watch", "--interval", "nan"},
      {"watch", "--interval", "-1"},
      {"frobnicate"},
      {"sim-adapter", "--link", ""},
      // An adapter is reached through its port: without one these would
      // read the demonstration devices under the adapter's name.
      {"read", "--adapter", "w1"},
      {"read", "--adapter", "ds2480b"},
      {"read", "-a", "usb"},
      {"list", "--adapter", "passive"},
      {"watch", "--interval", "1", "--adapter", "5"},
      {"version", "--adapter", "1"},
  };
  for (const auto& args : refused) {
    const Result r = Tool(args);
    std::string joined;
    for (const auto& a : args) joined += a + " ";
    EXPECT_EQ(r.code, 2) << joined << "\n" << r.err;
    EXPECT_EQ(r.out, "") << joined;
  }
  EXPECT_NE(Tool({"frobnicate"}).err.find("unknown command \"frobnicate\""), std::string::npos);
  EXPECT_NE(Tool({"read", "--adapter", "w1"}).err.find("--adapter w1 needs --port"), std::string::npos);
  // The USB adapter's backend runs on the simulated bus on purpose.
  EXPECT_EQ(Tool({"read", "--adapter", "usb", "--sim"}).code, 0);
  // Names in any letter case, for every option that takes names.
  EXPECT_EQ(Tool({"list", "--format", "CSV"}).code, 0);
  EXPECT_EQ(Tool({"list", "--speed", "Normal"}).code, 0);
  const Result upper = Tool({"read", "--port", "/dev/qvds-no-such-port", "--adapter", "DS2480B"});
  EXPECT_EQ(upper.code, 1) << upper.err;  // the adapter name was taken; the port is missing
  // The schedule holds: five rounds 0.3 s apart take 1.2 s from first to last.
  const auto start = std::chrono::steady_clock::now();
  const Result paced = Tool({"watch", "--interval", "0.3", "--count", "5", "--format", "csv"});
  const auto took = std::chrono::steady_clock::now() - start;
  ASSERT_EQ(paced.code, 0) << paced.err;
  EXPECT_GE(took, std::chrono::milliseconds(1200));
}

TEST(ToolHardening, TheLogRefusesForeignFilesAndNeverKeepsHalfARow) {
  TempDir dir;
  const std::string foreign = dir.File("foreign.csv", "when,what\n1,2\n");
  const Result r = Tool({"read", "--log", foreign});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("not a log of this tool"), std::string::npos) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(ReadFile(foreign), "when,what\n1,2\n");

  // A log whose last row was torn: new rows start on a line of their own.
  const std::string torn = dir.Path("torn.csv");
  ASSERT_EQ(Tool({"read", "--log", torn}).code, 0);
  const std::string whole = ReadFile(torn);
  { std::ofstream(torn, std::ios::app) << "2026-12-08T04:10:47Z,COM1,1,0,65000"; }
  ASSERT_EQ(Tool({"read", "--log", torn}).code, 0);
  const auto lines = Lines(ReadFile(torn));
  ASSERT_EQ(lines.size(), 1u + 6u + 1u + 6u);
  EXPECT_EQ(lines[7], "2026-12-08T04:10:47Z,COM1,1,0,65000");
  EXPECT_EQ(std::count(lines[8].begin(), lines[8].end(), ','), 12);

  // A disk that fills: whatever fits of a round is cut back, so the log
  // ends with a complete row.
  const std::string full = dir.Path("full.csv");
  ASSERT_EQ(Tool({"read", "--log", full}).code, 0);
  const auto size = static_cast<rlim_t>(ReadFile(full).size());
  const Result filled = Tool({"watch", "--interval", "0", "--count", "3", "--log", full}, std::chrono::seconds(30),
                             nullptr, [size] {
                               signal(SIGXFSZ, SIG_IGN);
                               const rlimit limit{size + 150, size + 150};
                               setrlimit(RLIMIT_FSIZE, &limit);
                             });
  EXPECT_EQ(filled.code, 1);
  EXPECT_NE(filled.err.find("cannot be written"), std::string::npos) << filled.err;
  const std::string after = ReadFile(full);
  EXPECT_EQ(after.size(), size) << "the round that did not fit is gone entirely";
  EXPECT_EQ(after.back(), '\n');
}

TEST(ToolHardening, DeviceFilesAreCheckedKeyByKey) {
  TempDir dir;
  struct Case {
    const char* text;
    const char* message;
  };
  const std::vector<Case> cases = {
      {R"({"devices": [{"type": "DS18B20", "serial": "0000000000A1"}, {"type": "DS18B20", "serial": "0000000000A1"}]})",
       "device 1: has the same ROM as device 0"},
      {R"({"devices": [{"type": "DS18B20", "celcius": 30}]})", "device 0: unknown key \"celcius\""},
      {R"({"devices": [{"type": "DS18B20", "serial": 161}]})", "device 0: \"serial\" must be 12 hex digits"},
      {R"({"devices": [{"type": 28}]})", "device 0: \"type\" must be a device name or a hex family code"},
      {R"({"devices": [{"type": "DS18B20", "resolution": 4294967305}]})", "device 0: \"resolution\" must be within"},
      {R"({"devices": [], "faults": [{"op": "TMFirst", "code": -3, "call": "1"}]})", "fault 0: \"call\" must be"},
      {R"({"devices": [], "extra": 1})", "unknown key \"extra\""},
  };
  int n = 0;
  for (const Case& k : cases) {
    const Result r = Tool({"read", "--sim", dir.File("case" + std::to_string(n++) + ".json", k.text)});
    EXPECT_EQ(r.code, 1) << k.text;
    EXPECT_NE(r.err.find(k.message), std::string::npos) << k.text << "\n" << r.err;
    EXPECT_EQ(Lines(r.err).size(), 1u) << r.err;
  }
  const Result zero = Tool({"read", "--sim", "/dev/zero"}, std::chrono::seconds(30));
  EXPECT_EQ(zero.code, 1);
  EXPECT_NE(zero.err.find("larger than"), std::string::npos) << zero.err.substr(0, 200);
  const std::string huge = R"({"devices": [{"type": ")" + std::string(10'000'000, 'x') + R"("}]})";
  const Result echoed = Tool({"read", "--sim", dir.File("huge.json", huge)});
  EXPECT_EQ(echoed.code, 1);
  EXPECT_LT(echoed.err.size(), 1000u) << "a huge value was echoed whole";
}

TEST(ToolHardening, MessagesSayWhatHappenedAndWhere) {
  TempDir dir;
  const Result no_thermometer = Tool({"read", "--sim", dir.File("ds2401.json", R"({"devices": [{"type": "DS2401"}]})")});
  EXPECT_EQ(no_thermometer.code, 1);
  // The cause in words.
  EXPECT_NE(no_thermometer.err.find("measuring on COM1 failed: the bus has 1 device(s) but no thermometer"),
            std::string::npos)
      << no_thermometer.err;
  const Result stalled = Tool({"read", "--sim", dir.File("start.json", R"({"devices": [{"type": "DS18B20"}],
      "faults": [{"op": "TMExtendedStartSession", "code": -3}]})")});
  EXPECT_EQ(stalled.err,
            "qvds18x20: cannot open a session on COM1 (adapter type 1): the adapter did not answer, or answered "
            "nonsense\n");
  const Result empty_bus = Tool({"read", "--sim", dir.File("none.json", R"({"devices": []})")});
  EXPECT_EQ(empty_bus.err, "qvds18x20: measuring on COM1 failed: no devices found on the bus\n");
  const Result unnumbered = Tool({"read", "--port", "COM250", "--adapter", "passive"});
  EXPECT_EQ(unnumbered.err.rfind("qvds18x20: cannot open a session on COM250 (adapter type 1): the port does not exist "
                                 "or cannot be opened; no serial port has the number 250",
                                 0),
            0u)
      << unnumbered.err;
  const Result not_serial = Tool({"read", "--port", "/dev/null"});
  EXPECT_NE(not_serial.err.find("/dev/null: not a serial port"), std::string::npos) << not_serial.err;
  const Result no_log = Tool({"read", "--log", dir.Path("missing-dir/log.csv")});
  EXPECT_EQ(no_log.code, 1);
  EXPECT_NE(no_log.err.find("No such file or directory"), std::string::npos) << no_log.err;
  // A failing list prints nothing on standard output.
  const Result empty = Tool({"list", "--format", "csv", "--sim", dir.File("empty.json", R"({"devices": []})")});
  EXPECT_EQ(empty.code, 1);
  EXPECT_EQ(empty.out, "");
}

TEST(ToolHardening, AVirtualAdapterDoesNotTakeOverARunningOnesLink) {
  TempDir dir;
  VirtualAdapter first(dir.Path("adapter"));
  ASSERT_TRUE(first.ready());
  const Result second = Tool({"sim-adapter", "--link", first.link()}, std::chrono::seconds(20));
  EXPECT_EQ(second.code, 1);
  EXPECT_NE(second.err.find("not taking it over"), std::string::npos) << second.err;
  EXPECT_EQ(second.out, "");
  // The first adapter still answers through its link.
  const Result read = Tool({"read", "--port", first.link(), "--adapter", "ds2480b"});
  EXPECT_EQ(read.code, 0) << read.err;
}
