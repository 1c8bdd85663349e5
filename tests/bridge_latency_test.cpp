// The USB serial bridge model of the in-process emulated port: answers
// take their serial and 1-Wire times, then wait in the bridge for a tick
// of its latency timer, or leave at once as a full USB packet; what the
// bridge still holds survives a flush of the host's input.
#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "onewire/serial/transport.hpp"
#include "onewire/sim/adapter_emulator.hpp"
#include "onewire/sim/emulated_port.hpp"
#include "rtl/clock.hpp"
#include "support/adapter_support.hpp"
#include "support/step_clock.hpp"

namespace {

using namespace std::chrono_literals;
using onewire::serial::char_time;
using onewire::sim::Ds2480bEmulator;
using onewire::sim::EmulatedPort;
using Bytes = std::vector<std::uint8_t>;

struct Bridge : ::testing::Test {
  Bridge() {
    port.set_bridge_latency(16ms);
    EXPECT_EQ(port.open(), 1);
    t0 = clock.now();
  }
  void put(const Bytes& b) { ASSERT_EQ(port.write(b.data(), b.size()), static_cast<int>(b.size())); }

  testing_support::StepClock clock;
  rtl::ClockGuard guard{clock};
  testing_support::SensorBus sensors{2};
  EmulatedPort port{std::make_shared<Ds2480bEmulator>(sensors.bus)};
  rtl::TimePoint t0;
};

TEST_F(Bridge, AnswersWaitForTheNextTick) {
  put({0xC1});  // calibration: no answer
  put({0xC1});  // reset: answered after 3 characters and 1096 us
  std::uint8_t b = 0;
  // Finished after about 4 ms, but held until the tick at 16 ms.
  EXPECT_EQ(port.read(&b, 1, 10ms), 0);
  EXPECT_EQ(clock.now() - t0, 10ms);
  EXPECT_EQ(port.read(&b, 1, 100ms), 1);
  EXPECT_EQ(b, 0xCD);
  EXPECT_EQ(clock.now() - t0, 16ms);
  // The next answer is ready 1 ms + 1096 us + 1 ms after this request and
  // waits for the tick at 32 ms.
  put({0xC1});
  EXPECT_EQ(port.read(&b, 1, 100ms), 1);
  EXPECT_EQ(clock.now() - t0, 32ms);
}

TEST_F(Bridge, AFullPacketLeavesAtOnce) {
  port.set_bridge_latency(100ms);
  put({0xC1, 0xE1});
  Bytes data(70, 0xFF);
  put(data);
  Bytes in(70);
  // 62 answers gather before the first tick and leave together, the
  // remaining 8 wait for the tick.
  ASSERT_EQ(port.read(in.data(), in.size(), 1s), 62);
  EXPECT_LT(clock.now() - t0, 100ms);
  EXPECT_GE(clock.now() - t0, 63 * char_time(9600));
  ASSERT_EQ(port.read(in.data(), in.size(), 1s), 8);
  EXPECT_EQ(clock.now() - t0, 100ms);
}

TEST_F(Bridge, WhatTheBridgeHoldsSurvivesAFlush) {
  put({0xC1, 0xC1});
  ASSERT_EQ(port.flush_input(), 1);
  std::uint8_t b = 0;
  EXPECT_EQ(onewire::serial::read_exact(port, &b, 1, 50ms), 1);
  EXPECT_EQ(b, 0xCD);
  // Once handed over, a flush drops it.
  put({0xC1});
  clock.sleep_for(20ms);
  ASSERT_EQ(port.flush_input(), 1);
  EXPECT_EQ(port.read(&b, 1, 50ms), 0);
}

TEST_F(Bridge, AnswerAtAnotherRateIsNoiseOrNothing) {
  port.set_bridge_latency(0ms);
  std::uint8_t b = 0xAA;
  put({0xC1, 0x77});  // the chip answers at 115200 while the host listens at 9600
  EXPECT_EQ(port.read(&b, 1, 20ms), 0);
  ASSERT_EQ(port.send_break(1ms), 1);
  port.set_wrong_rate_noise(true);
  put({0xC1, 0x77});
  ASSERT_EQ(port.read(&b, 1, 20ms), 1);
  EXPECT_EQ(b, 0x00);
  // At the new rate both ends agree again.
  ASSERT_EQ(port.set_baud(115200), 1);
  put({0x0F});
  ASSERT_EQ(port.read(&b, 1, 20ms), 1);
  EXPECT_EQ(b, 0x06);
}

}  // namespace
