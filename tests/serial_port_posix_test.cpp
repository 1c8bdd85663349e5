// The POSIX serial port, on pseudo-terminals whose master side the test
// holds: opening only serial devices, raw bytes both ways, deadlines that
// follow the installed clock but never hang, and a device that goes away.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>

#include "onewire/errors.hpp"
#include "onewire/serial/transport.hpp"
#include "support/user_port_settings_posix.hpp"

namespace {

using namespace std::chrono_literals;
using onewire::serial::make_serial_port;
using onewire::serial::read_exact;

// The test's end of a pseudo-terminal.
struct Pty {
  Pty() {
    master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return;
    path = ptsname(master);
  }
  ~Pty() { hang_up(); }
  void hang_up() {
    if (master >= 0) close(master);
    master = -1;
  }
  void put(std::initializer_list<std::uint8_t> bytes) {
    const std::vector<std::uint8_t> v(bytes);
    ASSERT_EQ(write(master, v.data(), v.size()), static_cast<ssize_t>(v.size()));
  }
  std::vector<std::uint8_t> take(std::size_t n) {
    std::vector<std::uint8_t> v(n);
    std::size_t got = 0;
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (got < n && std::chrono::steady_clock::now() < deadline) {
      const ssize_t k = read(master, v.data() + got, n - got);
      if (k > 0) got += static_cast<std::size_t>(k);
    }
    v.resize(got);
    return v;
  }
  int master = -1;
  std::string path;
};

using Bytes = std::vector<std::uint8_t>;

// Time stands still unless a test moves it.
class StillClock final : public rtl::Clock {
 public:
  rtl::TimePoint now() override { return rtl::TimePoint(rtl::Duration(1'000'000'000)); }
  void sleep_for(rtl::Duration) override {}
};

TEST(SerialPortOpen, OnlySerialDevicesOpen) {
  EXPECT_EQ(make_serial_port("/nonexistent/ttyS99")->open(), onewire::kErrPortUnavailable);
  // A character device that is not a terminal.
  EXPECT_EQ(make_serial_port("/dev/null")->open(), onewire::kErrPortUnavailable);
  const auto file = std::filesystem::temp_directory_path() / "qvds_serial_port_test_file";
  std::FILE* f = std::fopen(file.c_str(), "w");
  ASSERT_NE(f, nullptr);
  std::fclose(f);
  EXPECT_EQ(make_serial_port(file.string())->open(), onewire::kErrPortUnavailable);
  std::filesystem::remove(file);
  EXPECT_EQ(make_serial_port(std::filesystem::temp_directory_path().string())->open(), onewire::kErrPortUnavailable);

  Pty pty;
  ASSERT_FALSE(pty.path.empty());
  auto port = make_serial_port(pty.path);
  EXPECT_FALSE(port->is_open());
  EXPECT_EQ(port->write(Bytes{1}.data(), 1), onewire::kErrPortIo);
  ASSERT_EQ(port->open(), 1);
  EXPECT_TRUE(port->is_open());
  EXPECT_EQ(port->open(), 1);  // already open
  // Raw 8N1 at 9600, no flow control, modem lines ignored.
  termios tio{};
  ASSERT_EQ(tcgetattr(pty.master, &tio), 0);
  EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
  EXPECT_NE(tio.c_cflag & CLOCAL, 0u);
  EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0u);
  EXPECT_EQ(tio.c_iflag & (IXON | ICRNL), 0u);
  EXPECT_EQ(tio.c_oflag & OPOST, 0u);
  EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B9600));
  port->close();
  EXPECT_FALSE(port->is_open());
}

TEST(SerialPortOpen, AnOpenPortIsNobodyElses) {
  Pty pty;
  ASSERT_FALSE(pty.path.empty());
  auto first = make_serial_port(pty.path);
  ASSERT_EQ(first->open(), 1);
  // Another opener in this process, and another program asking for the
  // advisory lock the way well-behaved serial programs do.
  auto second = make_serial_port(pty.path);
  EXPECT_EQ(second->open(), onewire::kErrPortBusy);
  const pid_t child = fork();
  if (child == 0) {
    const int fd = ::open(pty.path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    // Root passes TIOCEXCL; the lock stops everybody.
    _exit(fd < 0 ? 2 : flock(fd, LOCK_EX | LOCK_NB) != 0 ? 3 : 0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_NE(WEXITSTATUS(status), 0) << "another program got the port";
  // The refused opener left the first one's traffic alone.
  const Bytes hello{0x12, 0x34};
  ASSERT_EQ(first->write(hello.data(), hello.size()), 2);
  EXPECT_EQ(pty.take(2), hello);
  first->close();
  EXPECT_EQ(second->open(), 1) << "a closed port is free again";
}

TEST(SerialPortOpen, ClosingPutsBackWhatThePortWasSetTo) {
  Pty pty;
  ASSERT_FALSE(pty.path.empty());
  // Settings a user (or another program) left on the port.
  const int fd = ::open(pty.path.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(fd, 0);
  termios before{};
  ASSERT_TRUE(testing_support::leave_user_settings(fd, before, [](termios& t) {
    t.c_cflag &= ~static_cast<tcflag_t>(HUPCL);
    t.c_lflag |= ICANON | ECHO;
  }));

  auto port = make_serial_port(pty.path);
  ASSERT_EQ(port->open(), 1);
  termios during{};
  ASSERT_EQ(tcgetattr(fd, &during), 0);
  EXPECT_EQ(during.c_cc[VMIN], 0) << "the port is ours while open";
  EXPECT_EQ(during.c_lflag & ICANON, 0u);

  // Restoring from another thread leaves the port open.
  onewire::serial::restore_open_ports();
  termios restored{};
  ASSERT_EQ(tcgetattr(fd, &restored), 0);
  EXPECT_EQ(restored.c_cc[VMIN], testing_support::kUserVmin);
  EXPECT_TRUE(port->is_open());

  ASSERT_EQ(port->set_baud(19200), 1);
  port->close();
  testing_support::expect_user_settings_back(fd, before);
  ::close(fd);
}

TEST(SerialPortIo, BytesPassUnchangedBothWays) {
  Pty pty;
  auto port = make_serial_port(pty.path);
  ASSERT_EQ(port->open(), 1);
  // Bytes a cooked terminal would eat or translate.
  const Bytes out = {0x00, 0x0A, 0x0D, 0x03, 0x11, 0x13, 0x7F, 0xFF, 0xE3};
  ASSERT_EQ(port->write(out.data(), out.size()), static_cast<int>(out.size()));
  EXPECT_EQ(pty.take(out.size()), out);
  pty.put({0x0D, 0x0A, 0x00, 0xFF, 0x04});
  std::array<std::uint8_t, 5> in{};
  ASSERT_EQ(read_exact(*port, in.data(), in.size(), 2s), 5);
  EXPECT_EQ(Bytes(in.begin(), in.end()), (Bytes{0x0D, 0x0A, 0x00, 0xFF, 0x04}));
}

TEST(SerialPortIo, ReadExactCollectsPiecesAndReportsShortfall) {
  Pty pty;
  auto port = make_serial_port(pty.path);
  ASSERT_EQ(port->open(), 1);
  std::thread writer([&] {
    pty.put({1, 2});
    pty.put({3});
  });
  std::array<std::uint8_t, 3> in{};
  EXPECT_EQ(read_exact(*port, in.data(), in.size(), 2s), 3);
  writer.join();
  EXPECT_EQ(in, (std::array<std::uint8_t, 3>{1, 2, 3}));
  // Two of four arrive: the count read, after the deadline.
  pty.put({7, 8});
  std::array<std::uint8_t, 4> more{};
  EXPECT_EQ(read_exact(*port, more.data(), more.size(), 50ms), 2);
  EXPECT_EQ(more[0], 7);
  EXPECT_EQ(more[1], 8);
}

TEST(SerialPortIo, FlushDropsInputButKeepsOutput) {
  Pty pty;
  auto port = make_serial_port(pty.path);
  ASSERT_EQ(port->open(), 1);
  pty.put({9, 9, 9});
  // The terminal's input queue is one for all its descriptors: wait until
  // the bytes are in it, then flush them through the port.
  const int probe = open(pty.path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(probe, 0);
  auto queued = [&] {
    int n = -1;
    ioctl(probe, FIONREAD, &n);
    return n;
  };
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (queued() != 3 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
  ASSERT_EQ(queued(), 3);
  const Bytes out = {0xE3, 0xA5};
  ASSERT_EQ(port->write(out.data(), out.size()), 2);
  EXPECT_EQ(port->flush_input(), 1);
  EXPECT_EQ(queued(), 0);
  close(probe);
  EXPECT_EQ(pty.take(2), out);
}

TEST(SerialPortLine, RatesAndBreakOnAPseudoTerminal) {
  Pty pty;
  auto port = make_serial_port(pty.path);
  ASSERT_EQ(port->open(), 1);
  for (int baud : {19200, 57600, 115200, 9600}) {
    EXPECT_EQ(port->set_baud(baud), 1);
    EXPECT_EQ(port->baud(), baud);
    termios tio{};
    ASSERT_EQ(tcgetattr(pty.master, &tio), 0);
    const speed_t expected = baud == 19200 ? B19200 : baud == 57600 ? B57600 : baud == 115200 ? B115200 : B9600;
    EXPECT_EQ(cfgetospeed(&tio), expected);
  }
  EXPECT_EQ(port->set_baud(4800), onewire::kErrSpeed);
  EXPECT_EQ(port->baud(), 9600);
  // No break on a pseudo-terminal: reported, not an error.
  EXPECT_EQ(port->send_break(2ms), 0);
  EXPECT_TRUE(port->is_open());
}

TEST(SerialPortLine, HangUpIsAnIoErrorNotACrash) {
  Pty pty;
  auto port = make_serial_port(pty.path);
  ASSERT_EQ(port->open(), 1);
  pty.hang_up();
  std::uint8_t b = 0;
  EXPECT_EQ(read_exact(*port, &b, 1, 1s), onewire::kErrPortIo);
  EXPECT_FALSE(port->is_open());
  EXPECT_EQ(port->write(&b, 1), onewire::kErrPortIo);
  EXPECT_EQ(port->set_baud(9600), onewire::kErrPortIo);
  EXPECT_EQ(port->send_break(1ms), onewire::kErrPortIo);
  EXPECT_EQ(port->flush_input(), onewire::kErrPortIo);
  // The node is gone for good.
  EXPECT_EQ(port->open(), onewire::kErrPortUnavailable);
}

TEST(SerialPortDeadline, FollowsASpedUpClock) {
  Pty pty;
  auto port = make_serial_port(pty.path);
  ASSERT_EQ(port->open(), 1);
  rtl::ScaledClock fast(100.0);
  rtl::ClockGuard guard(fast);
  std::uint8_t b = 0;
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(read_exact(*port, &b, 1, 20s), 0);
  // 20 s of the clock are 200 ms of real time; far less than 20 s.
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 5s);
}

TEST(SerialPortDeadline, NeverHangsOnAClockThatStandsStill) {
  Pty pty;
  auto port = make_serial_port(pty.path);
  ASSERT_EQ(port->open(), 1);
  StillClock still;
  rtl::ClockGuard guard(still);
  std::uint8_t b = 0;
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(read_exact(*port, &b, 1, 100ms), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 5s);
}

}  // namespace
