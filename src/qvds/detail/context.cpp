#include "qvds/detail/context.hpp"

#include <algorithm>

#include "rtl/clock.hpp"

namespace qvds::detail {

namespace {
// The longest single sleep of a wait: how late a stop is noticed.
constexpr std::chrono::microseconds kWaitStep{10000};
}  // namespace

std::error_code OpContext::interrupted() const {
  if (deadline && std::chrono::steady_clock::now() >= *deadline) return Errc::kTimedOut;
  if (caller.stop_requested()) return Errc::kCancelled;
  if (engine.stop_requested()) return Errc::kClosed;
  return {};
}

rtl::Clock& OpContext::time() const { return clock != nullptr ? *clock : rtl::GetClock(); }

std::error_code OpContext::wait(std::chrono::microseconds length) const {
  rtl::Clock& clock = time();
  const rtl::TimePoint end = clock.now() + length;
  for (;;) {
    if (const std::error_code why = interrupted()) return why;
    const rtl::TimePoint now = clock.now();
    if (now >= end) return {};
    clock.sleep_for(std::min<rtl::Duration>(end - now, kWaitStep));
  }
}

}  // namespace qvds::detail
