// Time that moves only when someone waits on it, so that what a model of
// the hardware charges can be read exactly, however loaded the machine.
// Any thread may wait on it.
#pragma once

#include <atomic>
#include <cstdint>

#include "rtl/clock.hpp"

namespace testing_support {

class StepClock final : public rtl::Clock {
 public:
  rtl::TimePoint now() override { return rtl::TimePoint(rtl::Duration(ns_.load())); }
  void sleep_for(rtl::Duration d) override {
    if (d.count() > 0) ns_ += d.count();
  }

 private:
  std::atomic<std::int64_t> ns_{1'000'000'000};
};

}  // namespace testing_support
