// The Windows serial port on two COM ports wired back to back. The test
// run names them in QVDS_TEST_COM_PAIR ("COM41,COM42"); under Wine,
// scripts/test_windows.sh links them to the two ends of a
// pseudo-terminal pair that socat joins.
#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <memory>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "onewire/errors.hpp"
#include "onewire/serial/transport.hpp"

using onewire::serial::make_serial_port;
using onewire::serial::read_exact;
using onewire::serial::Transport;

namespace {

class ComPair : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* pair = std::getenv("QVDS_TEST_COM_PAIR");
    if (pair == nullptr || std::string(pair).find(',') == std::string::npos)
      GTEST_SKIP() << "QVDS_TEST_COM_PAIR names no pair of wired COM ports";
    const std::string text(pair);
    const std::size_t comma = text.find(',');
    a_name_ = text.substr(0, comma);
    b_name_ = text.substr(comma + 1);
    a_ = make_serial_port(a_name_);
    // The device namespace spelling reaches the same port.
    b_ = make_serial_port("\\\\.\\" + b_name_);
    ASSERT_EQ(a_->open(), 1) << a_name_;
    ASSERT_EQ(b_->open(), 1) << b_name_;
  }

  std::string a_name_, b_name_;
  std::unique_ptr<Transport> a_, b_;
};

constexpr auto kDeadline = std::chrono::seconds(5);

}  // namespace

TEST_F(ComPair, OpensAt9600AndCarriesEveryByteValueBothWays) {
  EXPECT_TRUE(a_->is_open());
  EXPECT_EQ(a_->baud(), onewire::serial::kBaud9600);
  EXPECT_EQ(a_->open(), 1);  // opening an open port changes nothing

  std::vector<std::uint8_t> out(256);
  std::iota(out.begin(), out.end(), 0);
  ASSERT_EQ(a_->write(out.data(), out.size()), 256);
  std::vector<std::uint8_t> in(256);
  ASSERT_EQ(read_exact(*b_, in.data(), in.size(), kDeadline), 256);
  EXPECT_EQ(in, out);

  const std::array<std::uint8_t, 3> back{0xE3, 0x00, 0xC5};
  ASSERT_EQ(b_->write(back.data(), back.size()), 3);
  std::array<std::uint8_t, 3> got{};
  ASSERT_EQ(read_exact(*a_, got.data(), got.size(), kDeadline), 3);
  EXPECT_EQ(got, back);
}

TEST_F(ComPair, ReadReturnsWhatHasArrivedAndZeroWhenNothingCame) {
  std::array<std::uint8_t, 10> buf{};
  EXPECT_EQ(b_->read(buf.data(), buf.size(), std::chrono::milliseconds(0)), 0);
  EXPECT_EQ(b_->read(buf.data(), buf.size(), std::chrono::milliseconds(30)), 0);

  // Three bytes arrive while a read for ten waits: it returns with what
  // came, long before its timeout.
  std::thread writer([this] {
    const std::array<std::uint8_t, 3> bytes{1, 2, 3};
    a_->write(bytes.data(), bytes.size());
  });
  int got = 0;
  const auto start = std::chrono::steady_clock::now();
  while (got < 3 && std::chrono::steady_clock::now() - start < kDeadline) {
    const int r = b_->read(buf.data() + got, buf.size() - static_cast<std::size_t>(got), std::chrono::seconds(30));
    ASSERT_GE(r, 0);
    got += r;
  }
  writer.join();
  // Far below the read's own 30 s: it ended with the bytes, not its timeout.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_EQ(got, 3);
  EXPECT_EQ(buf[0], 1);
  EXPECT_EQ(buf[2], 3);
}

TEST_F(ComPair, FlushDropsWhatArrivedUnreadButKeepsLaterBytes) {
  const std::array<std::uint8_t, 4> stale{0xAA, 0xBB, 0xCC, 0xDD};
  ASSERT_EQ(a_->write(stale.data(), stale.size()), 4);
  std::uint8_t first = 0;
  ASSERT_EQ(read_exact(*b_, &first, 1, kDeadline), 1);
  EXPECT_EQ(first, 0xAA);
  EXPECT_EQ(b_->flush_input(), 1);
  const std::uint8_t fresh = 0x5A;
  ASSERT_EQ(a_->write(&fresh, 1), 1);
  std::uint8_t next = 0;
  ASSERT_EQ(read_exact(*b_, &next, 1, kDeadline), 1);
  EXPECT_EQ(next, 0x5A);
}

TEST_F(ComPair, RatesBreaksAndClosing) {
  for (int rate : {onewire::serial::kBaud19200, onewire::serial::kBaud57600, onewire::serial::kBaud115200,
                   onewire::serial::kBaud9600}) {
    EXPECT_EQ(a_->set_baud(rate), 1) << rate;
    EXPECT_EQ(a_->baud(), rate);
  }
  EXPECT_EQ(a_->set_baud(12345), onewire::kErrSpeed);
  EXPECT_EQ(a_->baud(), onewire::serial::kBaud9600);

  // A pseudo-terminal behind a COM port looks like a UART to Windows: the
  // break is reported sent (1); a real "cannot" would be 0.
  const int brk = a_->send_break(std::chrono::milliseconds(2));
  EXPECT_TRUE(brk == 1 || brk == 0) << brk;
  const std::uint8_t after = 0x42;
  ASSERT_EQ(a_->write(&after, 1), 1);
  std::uint8_t got = 0;
  ASSERT_EQ(read_exact(*b_, &got, 1, kDeadline), 1);
  EXPECT_EQ(got, 0x42);

  a_->close();
  EXPECT_FALSE(a_->is_open());
  EXPECT_EQ(a_->write(&after, 1), onewire::kErrPortIo);
  EXPECT_EQ(a_->read(&got, 1, std::chrono::milliseconds(1)), onewire::kErrPortIo);
  EXPECT_EQ(a_->set_baud(onewire::serial::kBaud9600), onewire::kErrPortIo);
  EXPECT_EQ(a_->flush_input(), onewire::kErrPortIo);
  EXPECT_LT(a_->send_break(std::chrono::milliseconds(1)), 0);
  // And it opens again.
  EXPECT_EQ(a_->open(), 1);
}

TEST(SerialPort, MissingPortsAndFilesAreNotPorts) {
  EXPECT_EQ(make_serial_port("COM199")->open(), onewire::kErrPortUnavailable);
  EXPECT_EQ(make_serial_port("")->open(), onewire::kErrPortUnavailable);
  // A file opens, but has no serial state.
  EXPECT_EQ(make_serial_port("C:\\windows\\win.ini")->open(), onewire::kErrPortUnavailable);
  auto never = make_serial_port("COM198");
  EXPECT_FALSE(never->is_open());
  std::uint8_t b = 0;
  EXPECT_EQ(never->write(&b, 1), onewire::kErrPortIo);
}
