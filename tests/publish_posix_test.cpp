// The MQTT publisher against a real mosquitto broker, a silent one and
// none: a message the library refuses is dropped and named and the rest
// go out; the end of a command delivers within its grace, once more
// connecting if the broker is away, and says what it could not.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "qvds18x20/exit_codes.hpp"
#include "qvds18x20/publish/engines.hpp"
#include "qvds18x20/publish/publish.hpp"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// The publisher remembers what it published in the state directory: a
// scratch one for this program, not the user's.
class ScratchStateDirectory : public ::testing::Environment {
 public:
  void SetUp() override {
    char tmpl[] = "/tmp/qvds-publish-state-XXXXXX";
    dir_ = mkdtemp(tmpl);
    setenv("STATE_DIRECTORY", dir_.c_str(), 1);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

 private:
  std::string dir_;
};
[[maybe_unused]] ::testing::Environment* const kStateDirectory =
    ::testing::AddGlobalTestEnvironment(new ScratchStateDirectory);

// A port nothing listens on (for now).
int FreePort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t n = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n);
  close(fd);
  return ntohs(a.sin_port);
}

bool Accepts(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  close(fd);
  return ok;
}

pid_t Spawn(const std::vector<std::string>& args, const std::string& out = "/dev/null") {
  const pid_t pid = fork();
  if (pid == 0) {
    std::FILE* f = std::freopen(out.c_str(), "w", stdout);
    (void)f;
    std::freopen("/dev/null", "w", stderr);
    std::vector<std::string> copy = args;
    std::vector<char*> argv;
    for (auto& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  return pid;
}

// Waits for a child to end by itself; kills it at the deadline.
int Reap(pid_t pid, std::chrono::seconds limit) {
  const auto end = Clock::now() + limit;
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (Clock::now() > end) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    poll(nullptr, 0, 20);
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class Broker {
 public:
  explicit Broker(int port) : port_(port), dir_(std::filesystem::temp_directory_path() / ("qvds-broker-" + std::to_string(port))) {
    std::filesystem::create_directories(dir_);
    std::ofstream(dir_ / "m.conf") << "listener " << port << " 127.0.0.1\nallow_anonymous true\n";
    pid_ = Spawn({"/usr/sbin/mosquitto", "-c", (dir_ / "m.conf").string()});
    const auto end = Clock::now() + 20s;
    while (!Accepts(port) && Clock::now() < end) poll(nullptr, 0, 20);
  }
  ~Broker() {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    std::filesystem::remove_all(dir_);
  }
  bool up() const { return Accepts(port_); }

  // The retained messages of `topic` (a filter), as mosquitto_sub shows
  // them ("topic payload"), waiting for `count` of them.
  std::vector<std::string> Retained(const std::string& topic, int count) const {
    const std::string out = (dir_ / "sub.out").string();
    const pid_t sub = Spawn({"mosquitto_sub", "-p", std::to_string(port_), "-t", topic, "-v", "--retained-only", "-C",
                             std::to_string(count), "-W", "10"},
                            out);
    Reap(sub, 20s);
    std::vector<std::string> lines;
    std::ifstream in(out);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

  // Starts a subscriber of `topic` that collects what arrives (for 60 s
  // at most) in `out`; returns once it is known to receive.
  pid_t Subscribe(const std::string& topic, const std::string& out) const {
    const pid_t sub =
        Spawn({"mosquitto_sub", "-p", std::to_string(port_), "-t", topic, "-t", "probe/ready", "-v", "-W", "60"}, out);
    const auto end = Clock::now() + 20s;
    for (;;) {
      Reap(Spawn({"mosquitto_pub", "-p", std::to_string(port_), "-t", "probe/ready", "-m", "1"}), 10s);
      std::ifstream in(out);
      std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      if (all.find("probe/ready 1") != std::string::npos || Clock::now() > end) break;
      poll(nullptr, 0, 100);
    }
    return sub;
  }

 private:
  int port_;
  std::filesystem::path dir_;
  pid_t pid_ = -1;
};

// Takes connections and never answers them.
class SilentBroker {
 public:
  SilentBroker() {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(fd_, 8);
    socklen_t n = sizeof a;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &n);
    port = ntohs(a.sin_port);
  }
  ~SilentBroker() { close(fd_); }
  int port = 0;

 private:
  int fd_ = -1;  // the backlog holds the connections
};

qvtool::SensorRow Row(int index, const std::string& rom, const std::string& name, double celsius) {
  qvtool::SensorRow r;
  r.index = index;
  r.rom = rom;
  r.name = name;
  r.romstr = rom;
  r.model = name;
  r.thermometer = true;
  r.status = "read";
  r.celsius = celsius;
  r.temp = std::to_string(celsius);
  return r;
}

qvtool::Measurement AMeasurement(int round) {
  qvtool::Measurement m;
  m.rows = {Row(0, "D70416913C6BFF28", "DS18B20", 20 + round + 0.5), Row(1, "65000802B4A1C310", "DS18S20", 23.75)};
  m.when = std::chrono::system_clock::now();
  m.json = "{\"round\":" + std::to_string(round) + "}";
  qvtool::Source bus;
  bus.port = bus.name = "COM1";
  bus.adapter = 5;
  bus.key = "com1";
  m.buses = {bus};
  return m;
}

qvtool::PublishOptions Options(int port, double grace) {
  qvtool::PublishOptions o;
  o.mqtt_url = "mqtt://127.0.0.1:" + std::to_string(port) + "/pfx";
  o.mqtt_grace = grace;
  return o;
}

std::string FinishFailure(qvtool::Publisher& p) {
  try {
    p.finish();
  } catch (const qvtool::Failure& e) {
    return e.what();
  }
  return "";
}

}  // namespace

// The options' check at the start keeps such a prefix out; a message the
// library refuses all the same must not hold up the ones behind it.
TEST(MqttPublish, AMessageTheLibraryRefusesIsDroppedAndNamedAndTheRestGoOut) {
  const int port = FreePort();
  Broker broker(port);
  ASSERT_TRUE(broker.up());
  const std::string got = (std::filesystem::temp_directory_path() / ("qvds-sub-" + std::to_string(port))).string();
  const pid_t sub = broker.Subscribe("pfx/measurement", got);
  qvtool::PublishOptions o = Options(port, 10);
  o.mqtt_discovery = true;
  o.mqtt_discovery_prefix = "ha/+";
  testing::internal::CaptureStderr();
  std::string failure;
  {
    auto p = qvtool::make_mqtt_publisher(o, std::vector<qvtool::Source>{qvtool::Source{}}, qvtool::Lifetime::kContinuous);
    for (int round = 0; round < 3; ++round) p->publish(AMeasurement(round));
    failure = FinishFailure(*p);
  }
  const std::string err = testing::internal::GetCapturedStderr();
  // All three arrive, in order (each was acknowledged before finish()
  // returned; the subscriber may still be writing them out).
  std::vector<std::string> lines;
  const auto end = Clock::now() + 20s;
  do {
    lines.clear();
    std::ifstream in(got);
    for (std::string line; std::getline(in, line);)
      if (line.rfind("pfx/measurement ", 0) == 0) lines.push_back(line);
  } while (lines.size() < 3 && Clock::now() < end && poll(nullptr, 0, 50) == 0);
  kill(sub, SIGTERM);
  Reap(sub, 10s);
  EXPECT_EQ(lines, (std::vector<std::string>{"pfx/measurement {\"round\":0}", "pfx/measurement {\"round\":1}",
                                             "pfx/measurement {\"round\":2}"}));
  // The bus's config, both sensors' and their alarms', each named once.
  EXPECT_NE(err.find("refused the message to \"ha/+/sensor/qvds18x20_D70416913C6BFF28/config\""), std::string::npos)
      << err;
  EXPECT_NE(err.find("refused the message to \"ha/+/sensor/qvds18x20_65000802B4A1C310/config\""), std::string::npos)
      << err;
  EXPECT_NE(err.find("refused the message to \"ha/+/binary_sensor/qvds18x20_pfx_com1_bus/config\""), std::string::npos)
      << err;
  EXPECT_NE(err.find("refused the message to \"ha/+/binary_sensor/qvds18x20_65000802B4A1C310_alarm/config\""),
            std::string::npos)
      << err;
  EXPECT_NE(failure.find("5 messages refused by the MQTT library"), std::string::npos) << failure;
  EXPECT_EQ(failure.find("not delivered"), std::string::npos) << failure;
  std::filesystem::remove(got);
}

TEST(MqttPublish, ReadGivesUpOnABrokerThatNeverAnswersWithinItsGrace) {
  SilentBroker silent;
  auto p = qvtool::make_mqtt_publisher(Options(silent.port, 1), std::vector<qvtool::Source>{qvtool::Source{}}, qvtool::Lifetime::kOnce);
  p->publish(AMeasurement(0));
  const auto start = Clock::now();
  const std::string failure = FinishFailure(*p);
  const std::chrono::duration<double> took = Clock::now() - start;
  EXPECT_NE(failure.find("127.0.0.1:" + std::to_string(silent.port) + ": no answer"), std::string::npos) << failure;
  EXPECT_LT(took.count(), 2.5);
  const auto gone = Clock::now();
  p.reset();
  EXPECT_LT(std::chrono::duration<double>(Clock::now() - gone).count(), 1.0);
}

TEST(MqttPublish, WhatWatchCouldNotDeliverAtItsEndIsAFailureWithTheCount) {
  const int port = FreePort();
  testing::internal::CaptureStderr();
  auto p = qvtool::make_mqtt_publisher(Options(port, 1), std::vector<qvtool::Source>{qvtool::Source{}}, qvtool::Lifetime::kContinuous);
  p->publish(AMeasurement(0));
  p->publish(AMeasurement(1));
  const auto start = Clock::now();
  const std::string failure = FinishFailure(*p);
  const std::chrono::duration<double> took = Clock::now() - start;
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(failure, "2 measurements not delivered to the MQTT broker at 127.0.0.1:" + std::to_string(port) +
                         " (connection refused)");
  EXPECT_NE(err.find("once more"), std::string::npos) << err;
  EXPECT_LT(took.count(), 2.5);
}

// The broker comes back while watch waits out its back-off: the end of
// the command tries at once instead of giving up.
TEST(MqttPublish, ABrokerBackBeforeTheEndGetsEverythingFromTheLastAttempt) {
  const int port = FreePort();
  testing::internal::CaptureStderr();
  auto p = qvtool::make_mqtt_publisher(Options(port, 10), std::vector<qvtool::Source>{qvtool::Source{}}, qvtool::Lifetime::kContinuous);
  for (int round = 0; round < 3; ++round) p->publish(AMeasurement(round));
  Broker broker(port);
  ASSERT_TRUE(broker.up());
  const std::string failure = FinishFailure(*p);
  p.reset();
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(failure, "");
  // The last round's retained exact temperatures, each sensor's
  // availability, attributes and alarm, the bus as it was last seen, and
  // the tool's own "offline" after the clean end (the bus's device is
  // available only while the tool is).
  auto retained = broker.Retained("pfx/#", 10);
  std::sort(retained.begin(), retained.end());
  const std::string attributes = "attributes {\"bus\":null,\"reason\":null,\"status\":\"read\"}";
  EXPECT_EQ(retained, (std::vector<std::string>{"pfx/65000802B4A1C310/alarm OFF",
                                                "pfx/65000802B4A1C310/" + attributes,
                                                "pfx/65000802B4A1C310/availability online",
                                                "pfx/65000802B4A1C310/temperature 23.75",
                                                "pfx/D70416913C6BFF28/alarm OFF",
                                                "pfx/D70416913C6BFF28/" + attributes,
                                                "pfx/D70416913C6BFF28/availability online",
                                                "pfx/D70416913C6BFF28/temperature 22.5", "pfx/com1/status online",
                                                "pfx/status offline"}));
}
