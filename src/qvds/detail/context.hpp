// What an operation on a bus's thread knows of its call: the caller's
// stop token, the engine's own (a deadline that passed for a waiting
// caller, a bus that closes) and the deadline, checked between the steps
// of the operation and during its waits.
#pragma once

#include <chrono>
#include <optional>
#include <stop_token>
#include <system_error>

#include "qvds/error.hpp"
#include "rtl/clock.hpp"

namespace qvds::detail {

using SteadyTime = std::chrono::steady_clock::time_point;

struct OpContext {
  std::stop_token caller;
  std::stop_token engine;
  std::optional<SteadyTime> deadline;
  // Where waits go; null: rtl::GetClock().
  rtl::Clock* clock = nullptr;

  rtl::Clock& time() const;

  // Why the operation must stop now: kTimedOut, kCancelled, kClosed, or
  // none.
  std::error_code interrupted() const;
  // Waits `length` of bus time (rtl::Clock), in short steps so that an
  // interruption ends it early; the interruption, or none.
  std::error_code wait(std::chrono::microseconds length) const;
};

}  // namespace qvds::detail
