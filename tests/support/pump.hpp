// Waiting in tests: serve the main thread's queue until a condition holds
// or a deadline passes. Never a bare sleep.
#pragma once

#include <chrono>
#include <functional>

namespace testing_support {

// Serves ProcessMessages until `done` is true; false when `timeout` passed
// first.
bool pump_until(const std::function<bool()>& done, std::chrono::milliseconds timeout = std::chrono::seconds(10));

}  // namespace testing_support
