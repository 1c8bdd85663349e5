#include "rtl/clock.hpp"

#include <thread>

#include "rtl/precise_sleep.hpp"

namespace rtl {

void RealClock::sleep_for(Duration d) {
  if (d.count() > 0) sleep_precisely(d);
}

void SkipClock::sleep_for(Duration d) {
  if (d.count() > 0) offset_ns_.fetch_add(d.count(), std::memory_order_acq_rel);
  std::this_thread::yield();
}

ScaledClock::ScaledClock(double factor)
    : factor_(factor > 0 ? factor : 1.0), origin_(std::chrono::steady_clock::now()) {}

TimePoint ScaledClock::now() {
  const auto real = std::chrono::steady_clock::now() - origin_;
  return origin_ + Duration(static_cast<std::int64_t>(static_cast<double>(real.count()) * factor_));
}

void ScaledClock::sleep_for(Duration d) {
  if (d.count() > 0) sleep_precisely(Duration(static_cast<std::int64_t>(static_cast<double>(d.count()) / factor_)));
}

namespace {
RealClock g_real_clock;
std::atomic<Clock*> g_clock{&g_real_clock};
}  // namespace

Clock& GetClock() { return *g_clock.load(std::memory_order_acquire); }

void SetClock(Clock* clock) { g_clock.store(clock != nullptr ? clock : &g_real_clock, std::memory_order_release); }

}  // namespace rtl
