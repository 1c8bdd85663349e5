// Our DS2480B host backend on a serial line that fails it: a silent or
// vanished adapter, lost, cut short, wrong and unasked-for answers; the
// chip's one-byte buffer, which the backend must never outrun behind a
// bridge of any latency and at any rate; and the faults under the driver,
// as its negative codes.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <string>
#include <tuple>
#include <vector>

#include "onewire/crc.hpp"
#include "onewire/driver.hpp"
#include "onewire/ds2480b/ds2480b_link.hpp"
#include "onewire/errors.hpp"
#include "onewire/sim/adapter_emulator.hpp"
#include "onewire/sim/emulated_port.hpp"
#include "support/adapter_support.hpp"
#include "support/ds2480b_host.hpp"

namespace {

using namespace std::chrono_literals;
using onewire::Speed;
using onewire::ds2480b::Ds2480bLink;
using onewire::ds2480b::Ds2480bOptions;
using onewire::sim::Ds2480bEmulator;
using onewire::sim::EmulatedPort;
using testing_support::Ds2480bHost;
using testing_support::SensorBus;
using Bytes = std::vector<std::uint8_t>;

// ------------------------------------------------------- host faults

TEST_F(Ds2480bHost, SilentAdapterFailsOpenInBoundedTime) {
  // Three detection cycles, each bounded by its reply deadline.
  expect_silent_adapter_fails_open_within(3s);
}

TEST_F(Ds2480bHost, LostAnswerFailsTheCallAndTheNextCallResyncs) {
  auto link = make_link();
  ASSERT_EQ(link->open(), 1);
  port->drop_answer(1);
  EXPECT_EQ(link->touch_byte(0xFF), onewire::kErrAdapterNoResponse);
  const auto breaks = port->breaks();
  EXPECT_EQ(link->reset(), onewire::kResetPresence);
  EXPECT_EQ(port->breaks(), breaks + 1);
  EXPECT_EQ(testing_support::search_all(*link), sensors.sorted_roms());
}

TEST_F(Ds2480bHost, TruncatedSearchAnswer) {
  auto link = make_link();
  ASSERT_EQ(link->open(), 1);
  ASSERT_EQ(link->reset(), onewire::kResetPresence);
  // Reset answer of the search, then the F0 echo, then the 16: drop the
  // last one.
  port->drop_answer(18);
  onewire::SearchPass pass;
  EXPECT_EQ(link->search(pass), onewire::kErrAdapterNoResponse);
  EXPECT_EQ(testing_support::search_all(*link), sensors.sorted_roms());
}

TEST_F(Ds2480bHost, WrongEchoesAreRejected) {
  Ds2480bOptions at9600;  // a resync then answers 7 bytes
  at9600.baud = 9600;
  auto link = make_link(at9600);
  ASSERT_EQ(link->open(), 1);
  // A data byte whose answer has a bit the host wrote as 0.
  port->corrupt_answer(1, 0x01);
  EXPECT_EQ(link->touch_byte(0x00), onewire::kErrAdapterNoResponse);
  // A reset answer without its top bits.
  port->corrupt_answer(1 + 7, 0x80);  // after the 7 answers of the resync
  EXPECT_EQ(link->reset(), onewire::kErrAdapterNoResponse);
  // A bit answer whose two read bits differ.
  port->corrupt_answer(1 + 7, 0x01);
  EXPECT_EQ(link->touch_bit(1), onewire::kErrAdapterNoResponse);
  // A search whose command echo is wrong.
  port->corrupt_answer(2 + 7, 0x04);
  onewire::SearchPass pass;
  EXPECT_EQ(link->search(pass), onewire::kErrAdapterNoResponse);
  EXPECT_EQ(link->reset(), onewire::kResetPresence);
}

TEST_F(Ds2480bHost, GarbageBeforeAnAnswer) {
  auto link = make_link();
  ASSERT_EQ(link->open(), 1);
  port->inject({0x3C});
  EXPECT_EQ(link->reset(), onewire::kErrAdapterNoResponse);
  EXPECT_EQ(link->reset(), onewire::kResetPresence);
}

TEST_F(Ds2480bHost, GarbageDuringDetectionIsRetried) {
  auto link = make_link();
  // The first detection's configuration answers get a wrong byte.
  port->corrupt_answer(2, 0x40);
  ASSERT_EQ(link->open(), 1);
  EXPECT_EQ(port->breaks(), 2u);
}

TEST_F(Ds2480bHost, AdapterFallingSilentFailsEveryCallInBoundedTime) {
  auto link = make_link();
  ASSERT_EQ(link->open(), 1);
  port->set_silent(true);
  EXPECT_EQ(link->reset(), onewire::kErrAdapterNoResponse);
  EXPECT_EQ(link->touch_byte(0xFF), onewire::kErrAdapterNoResponse);
  port->set_silent(false);
  EXPECT_EQ(link->reset(), onewire::kResetPresence);
}

TEST_F(Ds2480bHost, VanishedDeviceIsAnIoErrorAndReopensWhenBack) {
  auto link = make_link();
  ASSERT_EQ(link->open(), 1);
  port->set_vanished(true);
  EXPECT_EQ(link->reset(), onewire::kErrPortIo);
  EXPECT_FALSE(link->is_open());
  EXPECT_EQ(link->open(), onewire::kErrPortUnavailable);
  port->set_vanished(false);
  ASSERT_EQ(link->open(), 1);
  EXPECT_EQ(link->reset(), onewire::kResetPresence);
}

// ------------------------------------------------ the one-byte buffer

// The chip keeps one byte beside the one it works on and loses any more
// (the emulator models it); behind a bridge of each latency and at each
// rate, the link must never outrun it, and everything it reads is right.
// Rate 0 lets the link choose.
struct Ds2480bPaced : ::testing::TestWithParam<std::tuple<int, int>> {
  int latency_ms() const { return std::get<0>(GetParam()); }
  int baud() const { return std::get<1>(GetParam()); }

  testing_support::StepClock skip;
  rtl::ClockGuard guard{skip};
  SensorBus sensors{8};
  std::shared_ptr<Ds2480bEmulator> chip = std::make_shared<Ds2480bEmulator>(sensors.bus);
};

TEST_P(Ds2480bPaced, ReadsEverySensorWithoutLosingAByte) {
  auto owned = std::make_unique<EmulatedPort>(chip);
  EmulatedPort& port = *owned;
  port.set_bridge_latency(std::chrono::milliseconds(latency_ms()));
  Ds2480bOptions options;
  options.baud = baud();
  Ds2480bLink link(std::move(owned), options);
  ASSERT_EQ(link.open(), 1);
  ASSERT_FALSE(link.baud_fallback());
  // Left to the link: 115200 within a millisecond, 9600 behind bridges
  // of 4 ms and more. Probes go out as the answer before them comes in,
  // on a tick of the bridge's timer, so each waits about a whole tick.
  if (baud() != 0) {
    EXPECT_EQ(link.baud(), baud());
  } else if (latency_ms() > 1) {
    EXPECT_EQ(link.baud(), 9600);
    EXPECT_GE(link.answer_delay(), 2500us);
  } else {
    EXPECT_EQ(link.baud(), 115200);
    EXPECT_LT(link.answer_delay(), 2500us);
  }
  EXPECT_EQ(chip->baud(), link.baud());
  for (Speed speed : {Speed::kNormal, Speed::kRelaxed}) {
    ASSERT_EQ(link.set_speed(speed), static_cast<int>(speed));
    EXPECT_EQ(testing_support::search_all(link), sensors.sorted_roms());
    // Conversion on every sensor, then each scratchpad in one block.
    std::array<std::uint8_t, 2> convert = {0xCC, 0x44};
    ASSERT_EQ(link.block(nullptr, true, convert.data(), convert.size()), 1);
    skip.sleep_for(800ms);
    for (const auto& s : sensors.sensors) {
      std::array<std::uint8_t, 10> io{};
      io.fill(0xFF);
      io[0] = 0xBE;
      ASSERT_EQ(link.block(&s->rom(), true, io.data(), io.size()), 1);
      EXPECT_EQ(io[0], 0xBE);
      EXPECT_EQ(onewire::crc8(io.data() + 1, 9), 0);
      testing_support::Scratchpad pad{};
      std::copy(io.begin() + 1, io.end(), pad.begin());
      EXPECT_NEAR(testing_support::scratchpad_celsius(s->rom()[0], pad), s->temperature(), 0.07);
    }
    // Byte by byte, the way the vendor's interface is used.
    ASSERT_EQ(link.reset(), onewire::kResetPresence);
    EXPECT_EQ(link.touch_byte(0xCC), 0xCC);
    EXPECT_EQ(link.touch_byte(0xE3), 0xE3);
  }
  EXPECT_EQ(chip->lost_bytes(), 0u);
}

INSTANTIATE_TEST_SUITE_P(LatencyAndRate, Ds2480bPaced,
                         ::testing::Combine(::testing::Values(0, 1, 4, 16), ::testing::Values(0, 9600, 19200, 57600, 115200)),
                         [](const ::testing::TestParamInfo<std::tuple<int, int>>& info) {
                           const int b = std::get<1>(info.param);
                           return std::to_string(std::get<0>(info.param)) + "ms_" + (b == 0 ? std::string("auto") : std::to_string(b));
                         });

// ------------------------------------------------------- the driver

struct Ds2480bDriver : Ds2480bHost {
  Ds2480bDriver() : Ds2480bHost(10) {}

  std::shared_ptr<onewire::BusDriver> make_driver() {
    return std::make_shared<onewire::BusDriver>(
        [this](int port_number, int type, std::int16_t& error) -> std::unique_ptr<onewire::Link> {
          if (port_number != 3 || type != 5) {
            error = onewire::kErrPortUnavailable;
            return nullptr;
          }
          return make_link();
        },
        "test", [](int t) { return t == 5; });
  }
};

TEST_F(Ds2480bDriver, FindsEverySensorAndReadsItsTemperature) {
  auto driver = make_driver();
  const std::int32_t session = driver->TMExtendedStartSession(3, 5, nullptr);
  ASSERT_GT(session, 0);
  testing_support::expect_measurement_of_every_sensor(*driver, session, sensors, [&] { skip.sleep_for(800ms); });
}

TEST_F(Ds2480bDriver, FaultsBecomeNegativeDriverCodes) {
  auto driver = make_driver();
  EXPECT_EQ(driver->TMExtendedStartSession(4, 5, nullptr), onewire::kErrPortUnavailable);
  const std::int32_t session = driver->TMExtendedStartSession(3, 5, nullptr);
  ASSERT_GT(session, 0);
  port->set_silent(true);
  EXPECT_EQ(driver->TMTouchReset(session), onewire::kErrAdapterNoResponse);
  port->set_silent(false);
  port->set_vanished(true);
  EXPECT_EQ(driver->TMTouchByte(session, 0xFF), onewire::kErrPortIo);
  // The session stays; once the device is back the next call reopens it.
  EXPECT_EQ(driver->TMTouchReset(session), onewire::kErrPortUnavailable);
  port->set_vanished(false);
  EXPECT_EQ(driver->TMTouchReset(session), onewire::kResetPresence);
  EXPECT_EQ(driver->TMEndSession(session), 1);
}

}  // namespace
