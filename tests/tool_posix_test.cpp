// The qvds18x20 tool run as a process, as a user runs it.
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Result {
  int code = -1;
  std::string out, err;
};

// Runs the tool with `args`, collecting both streams; kills it after
// `limit` so that a hang fails the test instead of stalling the suite.
// `on_output` sees the standard output collected so far after each read,
// with the process id, to act on a running tool.
Result Tool(const std::vector<std::string>& args, std::chrono::seconds limit = std::chrono::seconds(30),
            const std::function<void(pid_t, const std::string&)>& on_output = nullptr,
            const std::function<void()>& in_child = nullptr) {
  int out_pipe[2], err_pipe[2];
  if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0) return {};
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(out_pipe[1], 1);
    dup2(err_pipe[1], 2);
    close(out_pipe[0]);
    close(err_pipe[0]);
    if (in_child) in_child();
    std::vector<char*> argv;
    std::string tool = QVDS_TOOL_PATH;
    argv.push_back(tool.data());
    std::vector<std::string> copy = args;
    for (auto& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(out_pipe[1]);
  close(err_pipe[1]);
  Result r;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
  int open_streams = 2;
  while (open_streams > 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      kill(pid, SIGKILL);
      ADD_FAILURE() << "tool did not finish within " << limit.count() << " s";
      break;
    }
    if (poll(fds, 2, static_cast<int>(left.count())) <= 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || (fds[i].revents & (POLLIN | POLLHUP)) == 0) continue;
      char buf[4096];
      const ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n <= 0) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open_streams;
      } else {
        (i == 0 ? r.out : r.err).append(buf, static_cast<std::size_t>(n));
        if (i == 0 && on_output) on_output(pid, r.out);
      }
    }
  }
  for (auto& f : fds)
    if (f.fd >= 0) close(f.fd);
  int status = 0;
  waitpid(pid, &status, 0);
  r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// A CSV reader for the tool's output: quoted fields with doubled quotes.
std::vector<std::map<std::string, std::string>> ParseCsv(const std::string& text) {
  auto split = [](const std::string& line) {
    std::vector<std::string> fields(1);
    bool quoted = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
      const char c = line[i];
      if (quoted) {
        if (c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
          fields.back() += '"';
          ++i;
        } else if (c == '"') {
          quoted = false;
        } else {
          fields.back() += c;
        }
      } else if (c == '"') {
        quoted = true;
      } else if (c == ',') {
        fields.emplace_back();
      } else {
        fields.back() += c;
      }
    }
    return fields;
  };
  const auto lines = Lines(text);
  std::vector<std::map<std::string, std::string>> rows;
  if (lines.empty()) return rows;
  const auto header = split(lines[0]);
  for (std::size_t i = 1; i < lines.size(); ++i) {
    const auto f = split(lines[i]);
    EXPECT_EQ(f.size(), header.size()) << lines[i];
    std::map<std::string, std::string> row;
    for (std::size_t k = 0; k < header.size() && k < f.size(); ++k) row[header[k]] = f[k];
    rows.push_back(row);
  }
  return rows;
}

class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/qvds-tool-XXXXXX";
    path_ = mkdtemp(tmpl);
  }
  ~TempDir() { std::filesystem::remove_all(path_); }
  std::string File(const std::string& name, const std::string& content) const {
    const std::string p = path_ + "/" + name;
    std::ofstream(p) << content;
    return p;
  }
  std::string Path(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

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
  EXPECT_EQ(r.err, "");  // no progress on a pipe
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
  EXPECT_EQ(by_name["DS18s20"]["temp"], "23.7");  // extended resolution
  EXPECT_EQ(by_name["DS2401"]["temp"], "");
  EXPECT_EQ(by_name["DS18B20"]["rom"].substr(14), "28");
  EXPECT_EQ(by_name["DS18B20"]["port"], "COM1");

  const Result js = Tool({"read", "--sim", file, "--format", "json"});
  ASSERT_EQ(js.code, 0) << js.err;
  const auto j = nlohmann::json::parse(js.out);
  EXPECT_TRUE(j["error"].is_null());
  EXPECT_EQ(j["port"], "COM1");
  EXPECT_EQ(j["adapter"], 1);
  EXPECT_EQ(j["driver"], "Simulated 1-Wire driver (qvds18x20)");
  ASSERT_EQ(j["sensors"].size(), 3u);
  for (const auto& s : j["sensors"]) {
    if (s["name"] == "DS18B20") {
      EXPECT_EQ(s["temp"], "-12.5");
      EXPECT_DOUBLE_EQ(s["celsius"].get<double>(), -12.5);
    } else if (s["name"] == "DS18s20") {
      EXPECT_DOUBLE_EQ(s["celsius"].get<double>(), 23.7);
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
      {{"watch"}, 2, "--interval"},
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

namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// A virtual adapter of the tool itself, on a pseudo-terminal reached
// through `link`; stopped (SIGSTOP) it is an adapter that stalls.
class VirtualAdapter {
 public:
  explicit VirtualAdapter(const std::string& link) : link_(link) {
    int out[2];
    if (pipe(out) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], 1);
      close(out[0]);
      execl(QVDS_TOOL_PATH, QVDS_TOOL_PATH, "sim-adapter", "--type", "ds2480b", "--link", link.c_str(), nullptr);
      _exit(127);
    }
    close(out[1]);
    // Its one line says it is ready.
    pollfd p{out[0], POLLIN, 0};
    if (poll(&p, 1, 20000) == 1) {
      char buf[256];
      const ssize_t n = read(out[0], buf, sizeof buf);
      ready_ = n > 0;
    }
    close(out[0]);
  }
  ~VirtualAdapter() {
    if (pid_ <= 0) return;
    kill(pid_, SIGCONT);
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
  bool ready() const { return ready_; }
  void stall() { kill(pid_, SIGSTOP); }
  const std::string& link() const { return link_; }

 private:
  std::string link_;
  pid_t pid_ = -1;
  bool ready_ = false;
};

std::string DevicesFile(const TempDir& dir, const std::string& name, int count) {
  std::string text = R"({"devices": [)";
  for (int i = 0; i < count; ++i) {
    char serial[16];
    std::snprintf(serial, sizeof serial, "%012X", 0x100 + i);
    text += std::string(i ? "," : "") + R"({"type": "DS18B20", "serial": ")" + serial + R"(", "celsius": 20})";
  }
  return dir.File(name, text + "]}");
}

}  // namespace

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
  ASSERT_EQ(tcgetattr(fd, &before), 0);
  cfsetispeed(&before, B4800);
  cfsetospeed(&before, B4800);
  before.c_cc[VMIN] = 3;
  before.c_cc[VTIME] = 7;
  ASSERT_EQ(tcsetattr(fd, TCSANOW, &before), 0);
  ASSERT_EQ(tcgetattr(fd, &before), 0);

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
  termios after{};
  ASSERT_EQ(tcgetattr(fd, &after), 0);
  EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&before));
  EXPECT_EQ(after.c_cc[VMIN], 3);
  EXPECT_EQ(after.c_cc[VTIME], 7);
  EXPECT_EQ(after.c_cflag, before.c_cflag);
  EXPECT_EQ(after.c_lflag, before.c_lflag);
  close(fd);
  // Whole rounds only, the same in the log as on the screen.
  const auto logged = ParseCsv(ReadFile(log));
  EXPECT_EQ(logged.size() % 6, 0u);
  EXPECT_EQ(logged.size(), ParseCsv(r.out).size());
}

TEST(ToolHardening, ResultsShortOfTheWholeTruthSaySo) {
  TempDir dir;
  // More devices than the component holds.
  const std::string many = DevicesFile(dir, "many.json", 23);
  for (const char* format : {"table", "json"}) {
    const Result r = Tool({"read", "--sim", many, "--format", format});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.err.find("more than 21 devices"), std::string::npos) << format << ": " << r.err;
    if (std::string(format) == "json") {
      const auto j = nlohmann::json::parse(r.out);
      EXPECT_TRUE(j["more_devices"].get<bool>());
      EXPECT_EQ(j["sensors"].size(), 21u);
      EXPECT_FALSE(j["warnings"].empty());
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
  // reported only when it stays away.
  const char* once = R"({"devices": [{"type": "DS18S20", "serial": "0000000000B2"}],
      "faults": [{"op": "QvBlockExchange", "call": 2, "code": -8}]})";
  const Result back = Tool({"watch", "--interval", "0", "--count", "2", "--sim", dir.File("once.json", once), "--format", "csv"});
  ASSERT_EQ(back.code, 0) << back.err;
  EXPECT_EQ(back.err, "");
  const auto rows = ParseCsv(back.out);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_NE(rows[1].at("temp"), "") << "the second round was reported before the sensor was searched for again";
  const char* twice = R"({"devices": [{"type": "DS18S20", "serial": "0000000000B2"}],
      "faults": [{"op": "QvBlockExchange", "call": 2, "code": -8}, {"op": "QvBlockExchange", "call": 3, "code": -8}]})";
  const Result gone = Tool({"watch", "--interval", "0", "--count", "2", "--sim", dir.File("twice.json", twice)});
  EXPECT_NE(gone.err.find("missing now"), std::string::npos) << gone.err;
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
  };
  for (const auto& args : refused) {
    const Result r = Tool(args);
    std::string joined;
    for (const auto& a : args) joined += a + " ";
    EXPECT_EQ(r.code, 2) << joined << "\n" << r.err;
    EXPECT_EQ(r.out, "") << joined;
  }
  EXPECT_NE(Tool({"frobnicate"}).err.find("unknown command \"frobnicate\""), std::string::npos);
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
  EXPECT_EQ(std::count(lines[8].begin(), lines[8].end(), ','), 7);

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
  EXPECT_NE(no_thermometer.err.find("no thermometer"), std::string::npos) << no_thermometer.err;
  EXPECT_NE(no_thermometer.err.find("POMIAR T error: #"), std::string::npos) << "the component's own text stays";
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
