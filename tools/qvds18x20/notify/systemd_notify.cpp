// systemd's notifications through libsystemd.
#include <systemd/sd-daemon.h>

#include <chrono>
#include <cstdint>

#include "qvds18x20/service_notify.hpp"

namespace qvtool {
namespace {

using Clock = std::chrono::steady_clock;

// The watchdog's interval, asked once: zero when the manager keeps none.
std::chrono::microseconds watchdog_interval() {
  static const std::chrono::microseconds interval = [] {
    std::uint64_t usec = 0;
    return std::chrono::microseconds(sd_watchdog_enabled(0, &usec) > 0 ? usec : 0);
  }();
  return interval;
}

}  // namespace

void notify_ready() { sd_notify(0, "READY=1"); }

void notify_alive() {
  const auto interval = watchdog_interval();
  if (interval.count() == 0) return;
  static Clock::time_point last{};
  const auto now = Clock::now();
  if (last != Clock::time_point{} && now - last < interval / 4) return;
  last = now;
  sd_notify(0, "WATCHDOG=1");
}

void notify_status(const std::string& status) { sd_notify(0, ("STATUS=" + status).c_str()); }

void notify_stopping() { sd_notify(0, "STOPPING=1"); }

}  // namespace qvtool
