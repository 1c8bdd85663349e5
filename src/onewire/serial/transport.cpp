#include "onewire/serial/transport.hpp"

#include <algorithm>
#include <chrono>

namespace onewire::serial {

namespace {

// A wait on a port is cut into slices so that a sped-up clock is noticed
// within a slice; the slice is short against a serial timeout and long
// against a wake-up.
constexpr rtl::Duration kSlice = std::chrono::milliseconds(10);

}  // namespace

int wait_with_deadline(rtl::Duration timeout, const std::function<int(rtl::Duration)>& wait_some) {
  rtl::Clock& clock = rtl::GetClock();
  const rtl::TimePoint deadline = clock.now() + timeout;
  const auto real_deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const rtl::Duration left = std::min(deadline - clock.now(), real_deadline - std::chrono::steady_clock::now());
    const rtl::Duration slice = std::clamp(left, rtl::Duration(0), kSlice);
    if (const int r = wait_some(slice); r != 0) return r;
    if (left <= rtl::Duration(0)) return 0;
  }
}

int read_exact(Transport& port, std::uint8_t* data, std::size_t n, rtl::Duration timeout) {
  std::size_t got = 0;
  const int r = wait_with_deadline(timeout, [&](rtl::Duration slice) -> int {
    const int k = port.read(data + got, n - got, slice);
    if (k < 0) return k;
    got += static_cast<std::size_t>(k);
    return got == n ? 1 : 0;
  });
  if (r < 0) return r;
  return static_cast<int>(got);
}

int drain(Transport& port, rtl::Duration quiet, rtl::Duration limit) {
  if (const int r = port.flush_input(); r < 0) return r;
  rtl::Clock& clock = rtl::GetClock();
  const rtl::TimePoint end = clock.now() + limit;
  std::uint8_t sink[64];
  for (;;) {
    const rtl::Duration left = end - clock.now();
    if (left <= rtl::Duration(0)) return 1;
    const int k = read_exact(port, sink, sizeof sink, std::min(quiet, left));
    if (k < 0) return k;
    if (k == 0) return 1;
  }
}

}  // namespace onewire::serial
