// The DS2490's standard USB descriptors and the standard requests it
// answers on endpoint 0.
#include <algorithm>

#include "onewire/sim/ds2490_state.hpp"

namespace onewire::sim {

namespace p = onewire::ds2490;

namespace {

constexpr std::uint8_t kDeviceDescriptor[18] = {
    18, 1, 0x10, 0x01,  // USB 1.1
    0xFF, 0xFF, 0xFF,   // vendor-specific class
    64,                 // EP0 packet size
    p::kVendorId & 0xFF, p::kVendorId >> 8, p::kProductId & 0xFF, p::kProductId >> 8,
    0x00, 0x01,  // device release
    0, 0, 0,     // no strings
    1};

// Configuration 1: one interface with four alternate settings of three
// endpoints each; they differ in the status polling interval and the
// bulk packet size.
constexpr std::array<std::uint8_t, 9 + 4 * 30> make_config() {
  std::array<std::uint8_t, 9 + 4 * 30> d{};
  const std::size_t total = d.size();
  std::size_t k = 0;
  for (std::uint8_t b : {std::uint8_t{9}, std::uint8_t{2}, static_cast<std::uint8_t>(total & 0xFF),
                         static_cast<std::uint8_t>(total >> 8), std::uint8_t{1}, std::uint8_t{1}, std::uint8_t{0},
                         std::uint8_t{0xA0}, std::uint8_t{50}})
    d[k++] = b;
  for (std::uint8_t alt = 0; alt < 4; ++alt) {
    const std::uint8_t interval = alt < 2 ? 10 : 1;
    const std::uint8_t packet = (alt & 1) != 0 ? 64 : 16;
    for (std::uint8_t b : {std::uint8_t{9}, std::uint8_t{4}, std::uint8_t{0}, alt, std::uint8_t{3}, std::uint8_t{0xFF},
                           std::uint8_t{0xFF}, std::uint8_t{0xFF}, std::uint8_t{0}})
      d[k++] = b;
    for (std::uint8_t b : {std::uint8_t{7}, std::uint8_t{5}, p::kEpStatus, std::uint8_t{3}, std::uint8_t{32},
                           std::uint8_t{0}, interval})
      d[k++] = b;
    for (std::uint8_t b :
         {std::uint8_t{7}, std::uint8_t{5}, p::kEpToBus, std::uint8_t{2}, packet, std::uint8_t{0}, std::uint8_t{0}})
      d[k++] = b;
    for (std::uint8_t b :
         {std::uint8_t{7}, std::uint8_t{5}, p::kEpFromBus, std::uint8_t{2}, packet, std::uint8_t{0}, std::uint8_t{0}})
      d[k++] = b;
  }
  return d;
}
constexpr auto kConfigDescriptor = make_config();

}  // namespace

int Ds2490Emulator::Impl::standard(std::uint8_t request_type, std::uint8_t request, std::uint16_t value,
                                   std::uint8_t* data, std::uint16_t length) {
  if (request_type == 0x80 && request == 0x06) {  // GET_DESCRIPTOR
    const std::uint8_t* d = nullptr;
    std::size_t n = 0;
    if ((value >> 8) == 1) {
      d = kDeviceDescriptor;
      n = sizeof kDeviceDescriptor;
    } else if ((value >> 8) == 2 && (value & 0xFF) == 0) {
      d = kConfigDescriptor.data();
      n = kConfigDescriptor.size();
    } else {
      return ds2490::kUsbErrorPipe;  // no strings, nothing else
    }
    const std::size_t k = std::min<std::size_t>(n, length);
    if (data != nullptr) std::copy(d, d + k, data);
    return static_cast<int>(k);
  }
  if (request_type == 0x80 && request == 0x00) {  // GET_STATUS
    const std::size_t k = std::min<std::size_t>(2, length);
    for (std::size_t i = 0; i < k && data != nullptr; ++i) data[i] = 0;
    return static_cast<int>(k);
  }
  if (request_type == 0x80 && request == 0x08) {  // GET_CONFIGURATION
    if (length > 0 && data != nullptr) data[0] = static_cast<std::uint8_t>(configuration);
    return length > 0 ? 1 : 0;
  }
  return ds2490::kUsbErrorPipe;
}

const std::uint8_t* Ds2490Emulator::device_descriptor(std::size_t& length) {
  length = sizeof kDeviceDescriptor;
  return kDeviceDescriptor;
}

const std::uint8_t* Ds2490Emulator::config_descriptor(std::size_t& length) {
  length = kConfigDescriptor.size();
  return kConfigDescriptor.data();
}

}  // namespace onewire::sim
