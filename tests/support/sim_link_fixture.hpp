// A simulated bus driven straight through a SimLink, with a clock that
// moves only when told: for the suites of the bus, its device models and
// the Link defaults.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <initializer_list>
#include <memory>
#include <vector>

#include "onewire/link.hpp"
#include "onewire/sim/bus.hpp"
#include "onewire/sim/ds18x20.hpp"
#include "onewire/sim/sim_link.hpp"
#include "rtl/clock.hpp"
#include "support/adapter_support.hpp"

namespace testing_support {

// Time moves only when someone sleeps on it; `overshoot` models a sleep
// that returns late.
class ManualClock final : public rtl::Clock {
 public:
  rtl::TimePoint now() override { return rtl::TimePoint(rtl::Duration(ns_.load())); }
  void sleep_for(rtl::Duration d) override {
    sleeps.push_back(d);
    ns_ += (d + overshoot).count();
  }
  void advance(rtl::Duration d) { ns_ += d.count(); }

  std::vector<rtl::Duration> sleeps;
  rtl::Duration overshoot{0};

 private:
  std::atomic<std::int64_t> ns_{1'000'000'000};
};

// The temperature register of a scratchpad.
inline std::uint16_t temp_bytes(const Scratchpad& pad) { return static_cast<std::uint16_t>(pad[0] | (pad[1] << 8)); }

struct SimLinkFixture : ::testing::Test {
  std::shared_ptr<onewire::sim::Ds18x20> add_sensor(std::uint8_t family, std::uint64_t serial, double celsius = 25.0) {
    return sim_bus_builder(bus).add_sensor(family, serial, celsius).last_sensor();
  }

  void write(std::initializer_list<int> bytes) {
    for (int b : bytes) link.touch_byte(b);
  }

  void write_rom(const onewire::Rom& rom) {
    for (auto b : rom) link.touch_byte(b);
  }

  // Reset, then MATCH ROM `rom` or, with none, SKIP ROM.
  void select(const onewire::Rom* rom) {
    ASSERT_EQ(link.reset(), onewire::kResetPresence);
    if (rom != nullptr) {
      link.touch_byte(0x55);
      write_rom(*rom);
    } else {
      link.touch_byte(0xCC);
    }
  }

  Scratchpad read_scratchpad(const onewire::Rom* rom = nullptr) {
    select(rom);
    link.touch_byte(0xBE);
    Scratchpad pad{};
    for (auto& b : pad) b = static_cast<std::uint8_t>(link.touch_byte(0xFF));
    return pad;
  }

  void convert(const onewire::Rom* rom = nullptr) {
    select(rom);
    link.touch_byte(0x44);
    clock.advance(std::chrono::milliseconds(750));
  }

  // Every ROM on the bus in search order, by the AN187 multi-pass loop.
  std::vector<onewire::Rom> search_all(bool alarm_only = false) { return testing_support::search_all(link, alarm_only); }

  ManualClock clock;
  std::shared_ptr<onewire::sim::SimBus> bus = sim_bus_builder().device_clock(&clock).build();
  onewire::sim::SimLink link{bus};
};

}  // namespace testing_support
