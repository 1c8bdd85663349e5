// The virtual adapter on a pseudo-terminal, seen from a host program's
// side: the device node and its link, a host closing the port as a power
// cycle, a host's flush repaired, and the real-adapter timing of answers.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <vector>

#include "onewire/errors.hpp"
#include "onewire/serial/transport.hpp"
#include "onewire/sim/virtual_adapter.hpp"
#include "support/adapter_support.hpp"
#include "support/pump.hpp"
#include "support/step_clock.hpp"

namespace {

using namespace std::chrono_literals;
using onewire::sim::AdapterKind;
using onewire::sim::VirtualAdapter;
using onewire::sim::VirtualAdapterOptions;
using Bytes = std::vector<std::uint8_t>;
namespace fs = std::filesystem;

// A host program's descriptor on the slave side, raw.
struct HostFd {
  explicit HostFd(const std::string& path) {
    fd = open(path.c_str(), O_RDWR | O_NOCTTY);
    termios tio{};
    if (fd >= 0 && tcgetattr(fd, &tio) == 0) {
      cfmakeraw(&tio);
      tcsetattr(fd, TCSANOW, &tio);
    }
  }
  ~HostFd() { close_now(); }
  void close_now() {
    if (fd >= 0) close(fd);
    fd = -1;
  }
  void put(const Bytes& b) const { ASSERT_EQ(write(fd, b.data(), b.size()), static_cast<ssize_t>(b.size())); }
  // Reads exactly n bytes or what came within the deadline.
  Bytes take(std::size_t n, std::chrono::milliseconds deadline = 5s) const {
    Bytes v(n);
    std::size_t got = 0;
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (got < n && std::chrono::steady_clock::now() < end) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 10) == 1) {
        const ssize_t k = read(fd, v.data() + got, n - got);
        if (k <= 0) break;
        got += static_cast<std::size_t>(k);
      }
    }
    v.resize(got);
    return v;
  }
  int fd = -1;
};

fs::path scratch_dir() {
  const fs::path dir = fs::temp_directory_path() / ("qvds_va_test_" + std::to_string(getpid()));
  fs::create_directories(dir);
  return dir;
}

TEST(VirtualAdapterNode, PathAndLinkLiveAsLongAsTheAdapter) {
  testing_support::SensorBus sensors(1);
  const fs::path dir = scratch_dir();
  const fs::path link = dir / "ttyVIRT0";
  // A stale link from an earlier run is replaced.
  fs::create_symlink("/nonexistent/pts/77", link);
  {
    VirtualAdapterOptions o;
    o.link_path = link.string();
    VirtualAdapter adapter(sensors.bus, o);
    ASSERT_EQ(adapter.start(), 1);
    EXPECT_TRUE(adapter.running());
    struct stat st {};
    ASSERT_EQ(stat(adapter.path().c_str(), &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
    EXPECT_EQ(fs::read_symlink(link).string(), adapter.path());
    adapter.stop();
    EXPECT_FALSE(adapter.running());
    EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
  }
  // Anything but a link is left alone, and the adapter does not start.
  std::ofstream(link.string()) << "keep me";
  {
    VirtualAdapterOptions o;
    o.link_path = link.string();
    VirtualAdapter adapter(sensors.bus, o);
    EXPECT_EQ(adapter.start(), onewire::kErrPortUnavailable);
    EXPECT_FALSE(adapter.running());
  }
  EXPECT_TRUE(fs::is_regular_file(link));
  fs::remove_all(dir);
}

// A started virtual adapter on a bus of two sensors, and a host on its
// port that has calibrated the chip (no answer) and changed its rate to
// 19200 Bd, which the next host must not inherit.
struct CalibratedHost {
  ::testing::AssertionResult start() {
    if (adapter.start() != 1) return ::testing::AssertionFailure() << "the adapter did not start";
    host.emplace(adapter.path());
    if (host->fd < 0) return ::testing::AssertionFailure() << "no host on " << adapter.path();
    host->put({0xC1, 0x73});
    const Bytes answer = host->take(1);
    if (answer != Bytes{0x72}) return ::testing::AssertionFailure() << "the rate change got " << answer.size() << " bytes";
    return ::testing::AssertionSuccess();
  }

  testing_support::SensorBus sensors{2};
  VirtualAdapter adapter{sensors.bus};
  std::optional<HostFd> host;
};

TEST(VirtualAdapterHost, ClosingThePortPowerCyclesTheAdapter) {
  CalibratedHost calibrated;
  ASSERT_TRUE(calibrated.start());
  VirtualAdapter& adapter = calibrated.adapter;
  {
    HostFd& host = *calibrated.host;
    host.put({0x0F});
    EXPECT_EQ(host.take(1), Bytes{0x02});
    // An answer this host never reads.
    host.put({0xC5});
    ASSERT_TRUE(testing_support::pump_until([&] { return adapter.stats().bytes_out == 3; }, 5s));
  }
  calibrated.host.reset();
  ASSERT_TRUE(testing_support::pump_until([&] { return adapter.stats().power_cycles == 1; }, 5s));
  HostFd next(adapter.path());
  // Fresh: the first byte calibrates and gets no answer, the rate is
  // 9600 again, and the old unread answer is gone.
  next.put({0x0F, 0x0F});
  EXPECT_EQ(next.take(2, 300ms), Bytes{0x00});
}

// stty -F, or a second program turned away because the port is busy:
// the chip keeps its power until the last program closes the port.
TEST(VirtualAdapterHost, AnotherProgramClosingBesideTheHostLeavesTheChipPowered) {
  CalibratedHost calibrated;
  ASSERT_TRUE(calibrated.start());
  VirtualAdapter& adapter = calibrated.adapter;
  HostFd& host = *calibrated.host;
  for (int i = 0; i < 3; ++i) {
    const int other = open(adapter.path().c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(other, 0);
    close(other);
  }
  // Still calibrated and at the new rate: an answer at once. Powered
  // down, the byte would calibrate again and get none.
  host.put({0x0F});
  EXPECT_EQ(host.take(1), Bytes{0x02});
  EXPECT_EQ(adapter.stats().power_cycles, 0u);
  host.close_now();
  ASSERT_TRUE(testing_support::pump_until([&] { return adapter.stats().power_cycles == 1; }, 5s));
  // An exclusive hold the last host left does not outlive it either.
  HostFd next(adapter.path());
  ASSERT_GE(next.fd, 0);
  ASSERT_EQ(ioctl(next.fd, TIOCEXCL), 0);
  next.close_now();
  ASSERT_TRUE(testing_support::pump_until([&] { return adapter.stats().power_cycles == 2; }, 5s));
  HostFd again(adapter.path());
  ASSERT_GE(again.fd, 0) << "the terminal stayed exclusive";
  int exclusive = -1;
  ASSERT_EQ(ioctl(again.fd, TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 0);
}

TEST(VirtualAdapterHost, HostFlushAfterASearchDoesNotLoseTheModeSwitch) {
  testing_support::SensorBus sensors(3);
  VirtualAdapter adapter(sensors.bus);
  ASSERT_EQ(adapter.start(), 1);
  HostFd host(adapter.path());
  Bytes search = {0xC1, 0xC5, 0xE1, 0xF0, 0xE3, 0xB5, 0xE1};
  search.insert(search.end(), 16, 0x00);
  host.put(search);
  ASSERT_EQ(host.take(18).size(), 18u);
  // The search's closing "E3 A5" was written and then flushed away by
  // the host before the adapter read it. (Here it is never written at
  // all, so that the loss does not depend on timing.)
  tcflush(host.fd, TCOFLUSH);
  host.put({0xC5});
  EXPECT_EQ(host.take(1), Bytes{0xCD});
  // Without the flush the adapter is still searching, and the same byte
  // is search data.
  host.put(search);
  ASSERT_EQ(host.take(18).size(), 18u);
  host.put({0xC5});
  const Bytes answer = host.take(1);
  ASSERT_EQ(answer.size(), 1u);
  EXPECT_NE(answer[0], 0xCD);
}

TEST(VirtualAdapterPacing, AnswersWaitForCharacterAndBusTimes) {
  using onewire::serial::char_time;
  testing_support::SensorBus sensors(1);
  testing_support::StepClock clock;
  VirtualAdapterOptions o;
  o.pacing = &clock;
  VirtualAdapter adapter(sensors.bus, o);
  ASSERT_EQ(adapter.start(), 1);
  HostFd host(adapter.path());
  const rtl::TimePoint t0 = clock.now();
  host.put({0xC1});  // calibration: one character, no answer
  ASSERT_TRUE(testing_support::pump_until([&] { return adapter.stats().bytes_in == 1; }, 5s));
  host.put({0xC1});  // reset: character in, 1096 us on the bus, answer out
  EXPECT_EQ(host.take(1), Bytes{0xCD});
  const auto s = adapter.stats();
  EXPECT_EQ(s.modelled, 3 * char_time(9600) + 1096us);
  EXPECT_EQ(s.round_trips, 1u);
  // The answer left when a real adapter's would have: this clock did not
  // move while the calibration character came in, so the reset's
  // character followed right after it.
  EXPECT_EQ(clock.now() - t0, s.modelled);

  // A streamed block: the chip takes each byte in while the previous one
  // is on the bus and its answer goes out, so 8 data bytes cost 9
  // characters in, the last byte's 8 slots and one answer character, not
  // 8 round trips.
  adapter.reset_stats();
  host.put({0xE1, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
  EXPECT_EQ(host.take(8).size(), 8u);
  EXPECT_EQ(adapter.stats().modelled, 9 * char_time(9600) + 8 * 60us + char_time(9600));
}

TEST(VirtualAdapterPacing, PassiveEchoesTakeOneCharacterAtTheirRate) {
  using onewire::serial::char_time;
  testing_support::SensorBus sensors(1);
  testing_support::StepClock clock;
  VirtualAdapterOptions o;
  o.kind = AdapterKind::kPassive;
  o.pacing = &clock;
  VirtualAdapter adapter(sensors.bus, o);
  ASSERT_EQ(adapter.start(), 1);
  HostFd host(adapter.path());
  host.put({0xF0});
  EXPECT_EQ(host.take(1), Bytes{0xE0});
  host.put({0xFF, 0xFF, 0x00, 0x00, 0xFF, 0xFF, 0x00, 0x00});
  EXPECT_EQ(host.take(8).size(), 8u);
  EXPECT_EQ(adapter.stats().modelled, char_time(9600) + 8 * char_time(115200));
  EXPECT_EQ(adapter.stats().round_trips, 2u);
}

TEST(VirtualAdapterPacing, BridgeHoldsAnswersUntilItsTimerTicks) {
  testing_support::SensorBus sensors(1);
  testing_support::StepClock clock;
  VirtualAdapterOptions o;
  o.pacing = &clock;
  o.bridge_latency = 16ms;
  VirtualAdapter adapter(sensors.bus, o);
  const rtl::TimePoint t0 = clock.now();
  ASSERT_EQ(adapter.start(), 1);
  HostFd host(adapter.path());
  host.put({0xC1});
  ASSERT_TRUE(testing_support::pump_until([&] { return adapter.stats().bytes_in == 1; }, 5s));
  host.put({0xC1});
  EXPECT_EQ(host.take(1), Bytes{0xCD});
  // Done after about 4 ms of adapter time, handed over at the first tick.
  EXPECT_EQ(clock.now() - t0, 16ms);
  const auto s = adapter.stats();
  EXPECT_EQ(s.bridge_wait, 16ms - s.modelled);
  host.put({0xC1});
  EXPECT_EQ(host.take(1), Bytes{0xCD});
  EXPECT_EQ(clock.now() - t0, 32ms);
}

}  // namespace
