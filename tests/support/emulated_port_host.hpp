// A serial host backend (`Link`) on an emulated port to an emulated
// adapter (`Emulator`) in process, over a bus of SensorBus sensors: the
// fixture of the suites of the serial adapters' backends. Time moves only
// when the backend or the port waits: a silent adapter's timeouts take no
// real time, and what the backend times (a DS2480B's answer delay) is the
// port's model alone, however busy the machine.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <utility>

#include "onewire/errors.hpp"
#include "onewire/sim/emulated_port.hpp"
#include "rtl/clock.hpp"
#include "support/adapter_support.hpp"
#include "support/step_clock.hpp"

namespace testing_support {

template <class Link, class Emulator>
struct EmulatedPortHost : ::testing::Test {
  explicit EmulatedPortHost(int sensor_count) : sensors(sensor_count) {}

  // A backend on a new port to the one adapter; `port` is that port.
  template <class... Options>
  std::unique_ptr<Link> make_link(Options&&... options) {
    auto p = std::make_unique<onewire::sim::EmulatedPort>(adapter);
    port = p.get();
    return std::make_unique<Link>(std::move(p), std::forward<Options>(options)...);
  }

  // An adapter that never answers: open gives up with no response, stays
  // closed, and has waited less than `bound` in all.
  void expect_silent_adapter_fails_open_within(rtl::Duration bound) {
    auto link = make_link();
    port->set_silent(true);
    const auto start = skip.now();
    EXPECT_EQ(link->open(), onewire::kErrAdapterNoResponse);
    EXPECT_FALSE(link->is_open());
    EXPECT_LT(skip.now() - start, bound);
  }

  StepClock skip;
  rtl::ClockGuard guard{skip};
  SensorBus sensors;
  std::shared_ptr<Emulator> adapter = std::make_shared<Emulator>(sensors.bus);
  onewire::sim::EmulatedPort* port = nullptr;
};

}  // namespace testing_support
