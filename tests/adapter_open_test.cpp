// Opening the serial adapters behind a USB serial bridge: detection, the
// rate switch and the passive presence probe must not depend on when
// answers arrive. Every open goes through the in-process emulated port
// with the bridge modelled, from a different phase of the bridge's timer
// each time, on a clock that moves only when the link or the port waits:
// the answer delays the link times are the bridge's alone, however busy
// the machine running the test.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <random>
#include <string>

#include "onewire/ds2480b/ds2480b_link.hpp"
#include "onewire/errors.hpp"
#include "onewire/passive/passive_link.hpp"
#include "onewire/sim/adapter_emulator.hpp"
#include "onewire/sim/emulated_port.hpp"
#include "rtl/clock.hpp"
#include "support/adapter_support.hpp"
#include "support/step_clock.hpp"

namespace {

using namespace std::chrono_literals;
using onewire::ds2480b::Ds2480bLink;
using onewire::ds2480b::Ds2480bOptions;
using onewire::passive::PassiveLink;
using onewire::sim::Ds2480bEmulator;
using onewire::sim::EmulatedPort;

constexpr int kOpens = 100;

// The chip as it may meet us: ours, one that does not take a NUL for a
// break (so it answers the calibration byte on a line without breaks),
// and a bridge that turns answers at the wrong rate into noise.
struct Chip {
  const char* name;
  bool nul_is_break;
  bool breaks;
  bool noise;
};
constexpr Chip kChips[] = {
    {"break", true, true, false},
    {"no break, NUL reset", true, false, false},
    {"no break, answers calibration", false, false, false},
    {"break, wrong-rate noise", true, true, true},
};

class OpenBehindBridge : public ::testing::TestWithParam<int> {
 protected:
  rtl::Duration latency() const { return std::chrono::milliseconds(GetParam()); }
  // A different phase of the bridge's timer for every open.
  void shift_phase() { clock.sleep_for(std::chrono::microseconds(phase(rng))); }

  testing_support::StepClock clock;
  rtl::ClockGuard guard{clock};
  testing_support::SensorBus sensors{3};
  std::mt19937 rng{12345};
  std::uniform_int_distribution<int> phase{0, 40'000};
};

TEST_P(OpenBehindBridge, Ds2480bOpensEveryTimeAtEveryRate) {
  for (const Chip& c : kChips) {
    // 0: the rate the link chooses, 115200 where answers come within a
    // millisecond and 9600 behind slower bridges.
    for (int asked : {9600, 115200, 0}) {
      const int baud = asked != 0 ? asked : GetParam() <= 1 ? 115200 : 9600;
      auto chip = std::make_shared<Ds2480bEmulator>(sensors.bus);
      chip->set_nul_is_break(c.nul_is_break);
      auto owned = std::make_unique<EmulatedPort>(chip);
      EmulatedPort& port = *owned;
      port.set_bridge_latency(latency());
      port.set_break_supported(c.breaks);
      port.set_wrong_rate_noise(c.noise);
      Ds2480bOptions options;
      options.baud = asked;
      Ds2480bLink link(std::move(owned), options);
      int opened = 0;
      int at_expected_rate = 0;
      for (int i = 0; i < kOpens; ++i) {
        shift_phase();
        if (link.open() != 1) continue;
        // Detected, at the rate asked for (when left to the link, at one
        // of its two), and working: a search finds every sensor.
        const int got = link.baud();
        const bool rate_ok = asked != 0 ? got == asked : got == 115200 || got == 9600;
        if (rate_ok && chip->baud() == got && !link.baud_fallback() &&
            testing_support::search_all(link) == sensors.sorted_roms())
          ++opened;
        if (got == baud) ++at_expected_rate;
        link.close();
      }
      EXPECT_EQ(opened, kOpens) << c.name << " at " << baud << " baud (asked " << asked << ")";
      EXPECT_EQ(at_expected_rate, kOpens) << c.name << ": asked " << asked << ", expected " << baud << " baud";
      EXPECT_EQ(chip->lost_bytes(), 0u);
    }
  }
}

TEST_P(OpenBehindBridge, PassiveOpensEveryTime) {
  auto owned = std::make_unique<EmulatedPort>(onewire::sim::make_adapter_emulator(onewire::sim::AdapterKind::kPassive, sensors.bus));
  EmulatedPort& port = *owned;
  port.set_bridge_latency(latency());
  PassiveLink link(std::move(owned));
  int opened = 0;
  for (int i = 0; i < kOpens; ++i) {
    shift_phase();
    if (link.open() == 1 && link.reset() == onewire::kResetPresence) ++opened;
    link.close();
  }
  EXPECT_EQ(opened, kOpens);
  // A failed exchange leaves late echoes in the bridge; the next call must
  // not take them for its own.
  ASSERT_EQ(link.open(), 1);
  port.drop_answer(3);
  EXPECT_EQ(link.touch_byte(0xFF), onewire::kErrAdapterNoResponse);
  EXPECT_EQ(link.touch_byte(0xFF), 0xFF);
  EXPECT_EQ(testing_support::search_all(link), sensors.sorted_roms());
}

INSTANTIATE_TEST_SUITE_P(Latency, OpenBehindBridge, ::testing::Values(0, 1, 4, 16, 32),
                         [](const ::testing::TestParamInfo<int>& info) { return std::to_string(info.param) + "ms"; });

// Where the rate cannot be confirmed, the link carries on at 9600: a
// DS2480B on a port that can be made to lose an answer.
struct BaudFallback : ::testing::Test {
  testing_support::StepClock clock;
  rtl::ClockGuard guard{clock};
  testing_support::SensorBus sensors{2};
  std::shared_ptr<Ds2480bEmulator> chip = std::make_shared<Ds2480bEmulator>(sensors.bus);
  std::unique_ptr<EmulatedPort> owned = std::make_unique<EmulatedPort>(chip);
  EmulatedPort& port = *owned;

  // Opens `link` with the answer after the 7 setup ones, the read-back at
  // the new rate, lost: the link takes 9600, as the chip does, and finds
  // every sensor there.
  void expect_open_falls_back(Ds2480bLink& link) {
    port.drop_answer(8);
    ASSERT_EQ(link.open(), 1);
    EXPECT_TRUE(link.baud_fallback());
    EXPECT_EQ(link.baud(), 9600);
    EXPECT_EQ(chip->baud(), 9600);
    EXPECT_EQ(testing_support::search_all(link), sensors.sorted_roms());
  }
};

TEST_F(BaudFallback, ARateThatFailsLeavesTheLinkAt9600) {
  port.set_bridge_latency(16ms);
  Ds2480bOptions options;
  options.baud = 115200;  // as the user asked, whatever the bridge
  Ds2480bLink link(std::move(owned), options);
  // As on a cable that cannot carry the rate.
  ASSERT_NO_FATAL_FAILURE(expect_open_falls_back(link));
  // It stays there: a later detection does not try the rate again.
  link.close();
  ASSERT_EQ(link.open(), 1);
  EXPECT_EQ(link.baud(), 9600);
}

// Left to the link, the rate it chose falls back the same way.
TEST_F(BaudFallback, AChosenRateThatFailsLeavesTheLinkAt9600) {
  Ds2480bLink link(std::move(owned));
  // The rate it chose is 115200.
  ASSERT_NO_FATAL_FAILURE(expect_open_falls_back(link));
  EXPECT_EQ(chip->lost_bytes(), 0u);
}

}  // namespace
