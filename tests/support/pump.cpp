#include "support/pump.hpp"

#include "rtl/messages.hpp"
#include "rtl/window_api.hpp"

namespace testing_support {

bool pump_until(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    ProcessMessages();
    if (done()) return true;
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return false;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
    WaitMessage(left < std::chrono::milliseconds(5) ? left : std::chrono::milliseconds(5));
  }
}

}  // namespace testing_support
