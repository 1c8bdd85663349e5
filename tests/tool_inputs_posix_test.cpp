// The qvds18x20 tool run as a process against inputs that used to abort
// it or to be taken silently: device files with numbers beyond a double
// or keys given twice, port paths that are not UTF-8, programs that open
// the adapter's link beside a running read, the USB stand-in's device
// files, its slowest speed, and a file-size limit under the log.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "onewire/sim/virtual_adapter.hpp"
#include "support/adapter_support.hpp"
#include "support/tool_process.hpp"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

using testing_support::Lines;
using testing_support::Result;
using testing_support::TempDir;

// The support's run of the tool, given a minute: these inputs are the
// slow ones on a busy machine.
Result Tool(const std::vector<std::string>& args, std::chrono::seconds limit = 60s,
            const std::function<void(pid_t, const std::string&)>& on_output = nullptr,
            const std::function<void()>& in_child = nullptr) {
  return testing_support::Tool(args, limit, on_output, in_child);
}

// One line on standard error, the tool's, holding every one of `parts`.
void ExpectOneLine(const Result& r, const std::vector<std::string>& parts) {
  const auto lines = Lines(r.err);
  ASSERT_EQ(lines.size(), 1u) << r.err;
  EXPECT_EQ(lines[0].rfind("qvds18x20", 0), 0u) << lines[0];
  for (const auto& p : parts) EXPECT_NE(lines[0].find(p), std::string::npos) << "\"" << p << "\" not in: " << lines[0];
}

// Valid UTF-8, as nlohmann's own check judges it.
bool IsUtf8(const std::string& text) {
  try {
    (void)nlohmann::json(text).dump();
    return true;
  } catch (const nlohmann::json::type_error&) {
    return false;
  }
}

std::string examples_devices() { return QVDS_SOURCE_DIR "/examples/devices.json"; }

std::string DevicesJson(int n) {
  std::string text = "{\"devices\": [";
  for (int i = 0; i < n; ++i) {
    char serial[16];
    std::snprintf(serial, sizeof serial, "%012X", i + 1);
    text += std::string(i ? "," : "") + "{\"type\": \"DS18B20\", \"serial\": \"" + serial + "\"}";
  }
  return text + "]}";
}

// A virtual DS2480B with real timing at a link named `link`.
struct PacedAdapter {
  explicit PacedAdapter(const std::string& link, int sensors = 5) : bus(sensors) {
    onewire::sim::VirtualAdapterOptions o;
    o.link_path = link;
    o.pacing = &clock;
    adapter = std::make_unique<onewire::sim::VirtualAdapter>(bus.bus, o);
  }
  rtl::RealClock clock;
  testing_support::SensorBus bus;
  std::unique_ptr<onewire::sim::VirtualAdapter> adapter;
};

}  // namespace

TEST(ToolInputs, DeviceFilesThatAbortedOrWereTakenSilentlyAreErrorsWithTheirPlace) {
  TempDir dir;
  struct Case {
    std::string file;
    std::vector<std::string> say;
  };
  const std::vector<Case> cases = {
      {R"({"devices": [{"type": "DS18B20", "celsius": 1e400}]})", {"line 1, column 45", "1e400", "out of range"}},
      {R"({"devices": [{"type": "DS18B20", "celsius": -1e999}]})", {"-1e999", "out of range"}},
      {R"({"devices": [{"type": "DS18B20", "celsius": 20, "celsius": 30}]})", {"device 0", "\"celsius\" twice"}},
      {R"({"devices": [{"type": "DS18B20"}], "devices": []})", {"\"devices\" twice"}},
      {R"({"devices": [{"type": "DS18B20"}, {"type": "DS18S20"}],
           "faults": [{"op": "TMFirst", "code": -3, "code": -4}]})",
       {"fault 0", "\"code\" twice"}},
      {R"({"devices": [{"type": "DS18B20", "celsius": [[[[[[[[1]]]]]]]]}]})", {"device 0", "nested"}},
      {"{\"devices\": [{\"type\": \"DS18B20\xff\"}]}", {"malformed JSON", "UTF-8"}},
      {DevicesJson(101), {"101 devices", "at most 100"}},
  };
  int n = 0;
  for (const auto& c : cases) {
    const std::string file = dir.File("bad" + std::to_string(n++) + ".json", c.file);
    for (const char* command : {"read", "list"}) {
      const Result r = Tool({command, "--sim", file});
      EXPECT_EQ(r.code, 1) << command << " " << c.file << ": " << r.err;
      EXPECT_EQ(r.out, "");
      std::vector<std::string> say = c.say;
      say.push_back(file);
      ExpectOneLine(r, say);
    }
  }
  const Result watch = Tool({"watch", "--interval", "0", "--count", "1", "--sim", dir.Path("bad0.json")});
  EXPECT_EQ(watch.code, 1);
  ExpectOneLine(watch, {"1e400"});
  // The longest bus a file may hold is read whole.
  const Result longest = Tool({"list", "--sim", dir.File("hundred.json", DevicesJson(100)), "--format", "csv"});
  EXPECT_EQ(longest.code, 0) << longest.err;
  EXPECT_EQ(Lines(longest.out).size(), 101u);  // the header and every device
}

TEST(ToolInputs, APortPathThatIsNotUtf8LeavesJsonAndMetricsValid) {
  TempDir dir;
  const std::string link = dir.Path("port\xff\xfe");
  PacedAdapter a(link);
  a.adapter->start();
  ASSERT_TRUE(a.adapter->running());
  const Result js = Tool({"read", "--port", link, "--adapter", "ds2480b", "--format", "json"});
  ASSERT_EQ(js.code, 0) << js.err;
  ASSERT_TRUE(IsUtf8(js.out));
  const auto j = nlohmann::json::parse(js.out);
  EXPECT_EQ(j["port"], dir.Path("port\\xFF\\xFE"));
  EXPECT_EQ(j["sensors"].size(), 5u);

  const std::string prom = dir.Path("t.prom");
  const Result metrics = Tool({"read", "--port", link, "--adapter", "ds2480b", "--prometheus-file", prom});
  ASSERT_EQ(metrics.code, 0) << metrics.err;
  std::ifstream in(prom, std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_TRUE(IsUtf8(text));
  EXPECT_NE(text.find("port=\"" + dir.Path("port\\\\xFF\\\\xFE") + "\""), std::string::npos) << text;

  // CSV is bytes: the port as given.
  const Result csv = Tool({"read", "--port", link, "--adapter", "ds2480b", "--format", "csv"});
  ASSERT_EQ(csv.code, 0) << csv.err;
  EXPECT_NE(csv.out.find("," + link + ","), std::string::npos);
}

// stty -F, or a second program turned away because the port is busy:
// each opens and closes the link while the read holds it.
TEST(ToolInputs, ProgramsOpeningTheLinkBesideARealTimeReadLeaveTheAdapterAlone) {
  TempDir dir;
  const std::string link = dir.Path("onewire");
  PacedAdapter a(link);
  ASSERT_EQ(a.adapter->start(), 1);
  std::atomic<bool> done{false};
  std::atomic<int> openings{0};
  std::thread meddler([&] {
    while (!done.load()) {
      const int fd = open(link.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
      if (fd >= 0) {
        ++openings;
        close(fd);
      }
      std::this_thread::sleep_for(30ms);
    }
  });
  const Result r = Tool({"read", "--port", link, "--adapter", "ds2480b", "--format", "csv"});
  done = true;
  meddler.join();
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(Lines(r.out).size(), 6u) << r.out;
  // (Where TIOCEXCL binds, which it does not for root, the openings
  // during the read fail instead: the read holds all the same.)
  EXPECT_GT(openings.load(), 0);
}

#ifdef QVDS_USB_SHIM_PATH
TEST(UsbStandIn, EveryErrorOfADeviceFileFailsSimUsbBeforeTheProgramStarts) {
  TempDir dir;
  const std::string marker = dir.Path("ran");
  const std::vector<std::string> child = {"--", "/bin/sh", "-c", "touch " + marker};
  fs::create_directory(dir.Path("folder"));
  struct Case {
    std::string file;
    int code;
    std::string say;
  };
  const std::vector<Case> cases = {
      {dir.Path("folder"), 1, "Is a directory"},
      {dir.Path("missing.json"), 1, "No such file"},
      {dir.File("bad.json", R"({"devices": [{"type": "nope"}]})"), 1, "unknown device type"},
      {dir.File("twice.json", R"({"devices": [{"type": "DS18B20", "celsius": 1, "celsius": 2}]})"), 1, "twice"},
      {dir.File("a:b.json", R"({"devices": []})"), 2, "':'"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = {"sim-usb", "--devices", examples_devices(), "--devices", c.file};
    args.insert(args.end(), child.begin(), child.end());
    const Result r = Tool(args);
    EXPECT_EQ(r.code, c.code) << c.file << ": " << r.err;
    EXPECT_NE(r.err.find(c.file), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(c.say), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(marker)) << c.file;
  }
  std::vector<std::string> good = {"sim-usb", "--devices", examples_devices()};
  good.insert(good.end(), child.begin(), child.end());
  const Result r = Tool(good);
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_TRUE(fs::exists(marker));
}

// The stand-in reached without sim-usb's checks: its own error path must
// not end the program it is loaded into.
TEST(UsbStandIn, AFileTheStandInCannotReadIsReportedInsteadOfEndingTheProgram) {
  TempDir dir;
  fs::create_directory(dir.Path("folder"));
  const std::string folder = dir.Path("folder");
  const Result r = Tool({"read", "--port", "USB1"}, 60s, nullptr, [folder] {
    setenv("LD_PRELOAD", QVDS_USB_SHIM_PATH, 1);
    setenv("QVDS_SIM_USB_DEVICES", folder.c_str(), 1);
    setenv("ASAN_OPTIONS", "verify_asan_link_order=0", 1);
  });
  EXPECT_EQ(r.code, 1) << r.err;
  EXPECT_EQ(r.err.find("symbol lookup error"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("USB shim: " + folder + ": cannot be read (Is a directory)"), std::string::npos) << r.err;
}

TEST(UsbStandIn, AtItsSlowestTheProgramStillEndsPromptlyOnSigterm) {
  for (const char* too_slow : {"0", "0.05", "1e-6"}) {
    const Result r = Tool({"sim-usb", "--speedup", too_slow, "--", "/bin/true"});
    EXPECT_EQ(r.code, 2) << too_slow;
    EXPECT_NE(r.err.find("0.1"), std::string::npos) << r.err;
    EXPECT_LT(r.err.size(), 200u) << r.err;
  }
  std::chrono::steady_clock::time_point signalled{};
  const Result r = Tool({"sim-usb", "--speedup", "0.1", "--", QVDS_TOOL_PATH, "watch", "--port", "USB1", "--interval", "1",
                      "--format", "csv"},
                     120s, [&](pid_t pid, const std::string& out) {
                       // The first measurement is out: the program is in the
                       // middle of its rounds.
                       if (signalled == std::chrono::steady_clock::time_point{} && Lines(out).size() >= 2) {
                         signalled = std::chrono::steady_clock::now();
                         kill(pid, SIGTERM);
                       }
                     });
  ASSERT_NE(signalled, std::chrono::steady_clock::time_point{}) << r.err;
  const std::chrono::duration<double> after = std::chrono::steady_clock::now() - signalled;
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_LT(after.count(), 5.0);
}
#endif

// sim-usb and sim-i2c as this build has them, each with the examples'
// devices, ready for "--" and a program.
std::vector<std::vector<std::string>> stand_in_commands() {
  std::vector<std::vector<std::string>> runs;
#ifdef QVDS_USB_SHIM_PATH
  runs.push_back({"sim-usb", "--devices", examples_devices()});
#endif
  if (Tool({"sim-i2c", "--help"}).out.find("--chip") != std::string::npos)
    runs.push_back({"sim-i2c", "--devices", examples_devices()});
  return runs;
}

// The tool ignores SIGXFSZ to report a full log itself; a program run
// under a stand-in gets the default back (an ignored signal stays ignored
// across exec).
TEST(ToolInputs, ProgramsRunUnderAStandInDoNotInheritTheIgnoredFileSizeSignal) {
  if (!fs::exists("/proc/self/status")) GTEST_SKIP() << "no /proc/self/status to read the dispositions from";
  const std::vector<std::string> child = {"--", "/bin/sh", "-c", "grep '^SigIgn:' /proc/self/status"};
  const auto runs = stand_in_commands();
  if (runs.empty()) GTEST_SKIP() << "this build has neither stand-in";
  for (auto args : runs) {
    args.insert(args.end(), child.begin(), child.end());
    const Result r = Tool(args);
    ASSERT_EQ(r.code, 0) << args[0] << ": " << r.err;
    const auto colon = r.out.find(':');
    ASSERT_NE(colon, std::string::npos) << r.out;
    const unsigned long long ignored = std::stoull(r.out.substr(colon + 1), nullptr, 16);
    EXPECT_EQ(ignored & (1ULL << (SIGXFSZ - 1)), 0u) << args[0] << " left SIGXFSZ ignored: " << r.out;
  }
}

// A program that is not there or cannot run, and a trace file that cannot
// be written, are said in the stand-in's name before anything runs; the
// status is a shell's for such a program.
TEST(ToolInputs, BothStandInsSayWhyTheProgramOrTheTraceCannotBeUsed) {
  const auto runs = stand_in_commands();
  if (runs.empty()) GTEST_SKIP() << "this build has neither stand-in";
  TempDir dir;
  const std::string marker = dir.Path("ran");
  for (const auto& base : runs) {
    auto with = [&](std::vector<std::string> tail) {
      auto args = base;
      args.insert(args.end(), tail.begin(), tail.end());
      return Tool(args);
    };
    const std::string who = "qvds18x20 " + base[0] + ": ";
    const Result missing = with({"--", dir.Path("no-such-program")});
    EXPECT_EQ(missing.code, 127) << missing.err;
    EXPECT_NE(missing.err.find(who + "cannot run " + dir.Path("no-such-program") + " (No such file or directory)"),
              std::string::npos)
        << missing.err;
    const Result not_a_program = with({"--", examples_devices()});
    EXPECT_EQ(not_a_program.code, 126) << not_a_program.err;
    EXPECT_NE(not_a_program.err.find(who + "cannot run "), std::string::npos) << not_a_program.err;
    const Result trace = with({"--trace", dir.Path("no-folder/trace"), "--", "/bin/sh", "-c", "touch " + marker});
    EXPECT_EQ(trace.code, 1) << trace.err;
    EXPECT_NE(trace.err.find(who + "--trace " + dir.Path("no-folder/trace") + ": cannot be opened for appending"),
              std::string::npos)
        << trace.err;
    EXPECT_FALSE(fs::exists(marker)) << base[0] << " ran the program without its trace";
  }
}

TEST(ToolInputs, AFileSizeLimitFailsTheLogWriteInsteadOfKillingTheToolHalfARowIn) {
  TempDir dir;
  const std::string log = dir.Path("log.csv");
  const Result r = Tool({"watch", "--interval", "0", "--count", "50", "--log", log}, 60s, nullptr, [] {
    signal(SIGXFSZ, SIG_DFL);
    rlimit limit{1500, 1500};
    setrlimit(RLIMIT_FSIZE, &limit);
  });
  EXPECT_EQ(r.signal, 0) << "killed by signal " << r.signal;
  EXPECT_EQ(r.code, 1) << r.err;
  EXPECT_NE(r.err.find(log + ": cannot be written"), std::string::npos) << r.err;
  std::ifstream in(log, std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_FALSE(text.empty());
  EXPECT_LE(text.size(), 1500u);
  EXPECT_EQ(text.back(), '\n');
  for (const auto& line : Lines(text)) EXPECT_EQ(std::count(line.begin(), line.end(), ','), 12) << line;
}
