// Bytes from a host to an emulated serial adapter, one at a time as a port
// hands them over, untimed.
#pragma once

#include <cstdint>
#include <vector>

#include "onewire/sim/adapter_emulator.hpp"

namespace testing_support {

// The answers `in` drew from `adapter`, in order.
inline std::vector<std::uint8_t> feed(onewire::sim::AdapterEmulator& adapter, const std::vector<std::uint8_t>& in) {
  std::vector<std::uint8_t> out;
  for (auto b : in) adapter.receive(b, out);
  return out;
}

}  // namespace testing_support
