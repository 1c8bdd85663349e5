// The one clock that every wait of the library goes through, so that tests
// can run the 750 ms conversion wait and the simulated bus timing fast,
// while production waits the real time.
#pragma once

#include "qvds18x20/export.hpp"

#include <atomic>
#include <chrono>
#include <cstdint>

namespace rtl {

using Duration = std::chrono::nanoseconds;
using TimePoint = std::chrono::steady_clock::time_point;

class QVDS_API Clock {
 public:
  virtual ~Clock() = default;
  virtual TimePoint now() = 0;
  virtual void sleep_for(Duration d) = 0;
  void sleep_until(TimePoint t) {
    const TimePoint n = now();
    if (t > n) sleep_for(t - n);
  }
};

// Waits the real time.
class QVDS_API RealClock final : public Clock {
 public:
  TimePoint now() override { return std::chrono::steady_clock::now(); }
  void sleep_for(Duration d) override;
};

// Time runs at real speed, but every sleep returns at once and moves this
// clock's time forward by the length of the sleep, for every thread that
// reads it. Devices that look at the clock therefore see a conversion
// finished after the component's wait, with no real time spent.
class QVDS_API SkipClock final : public Clock {
 public:
  TimePoint now() override {
    return std::chrono::steady_clock::now() + Duration(offset_ns_.load(std::memory_order_acquire));
  }
  void sleep_for(Duration d) override;
  Duration skipped() const { return Duration(offset_ns_.load(std::memory_order_acquire)); }

 private:
  std::atomic<std::int64_t> offset_ns_{0};
};

// Real time divided by `factor`: a wait of 750 ms takes 750/factor ms and
// the clock's time moves factor times faster than the real one.
class QVDS_API ScaledClock final : public Clock {
 public:
  explicit ScaledClock(double factor);
  TimePoint now() override;
  void sleep_for(Duration d) override;

 private:
  double factor_;
  TimePoint origin_;
};

// The process-wide clock (a RealClock unless one is installed). The
// installed clock must outlive its use; passing nullptr restores the real
// clock.
QVDS_API Clock& GetClock();
QVDS_API void SetClock(Clock* clock);

// Installs a clock for the life of the guard.
class QVDS_API ClockGuard {
 public:
  explicit ClockGuard(Clock& c) : previous_(&GetClock()) { SetClock(&c); }
  ~ClockGuard() { SetClock(previous_); }
  ClockGuard(const ClockGuard&) = delete;
  ClockGuard& operator=(const ClockGuard&) = delete;

 private:
  Clock* previous_;
};

}  // namespace rtl
