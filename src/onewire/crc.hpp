// Dallas/Maxim 1-Wire CRC-8 (x^8 + x^5 + x^4 + 1, LSB first, reflected
// 0x8C). Running it over a ROM code or a scratchpad including its CRC byte
// gives 0.
#pragma once

#include <cstddef>
#include <cstdint>

namespace onewire {

constexpr std::uint8_t crc8_update(std::uint8_t crc, std::uint8_t byte) {
  for (int i = 0; i < 8; ++i) {
    const bool mix = ((crc ^ byte) & 1) != 0;
    crc = static_cast<std::uint8_t>(crc >> 1);
    if (mix) crc = static_cast<std::uint8_t>(crc ^ 0x8C);
    byte = static_cast<std::uint8_t>(byte >> 1);
  }
  return crc;
}

constexpr std::uint8_t crc8(const std::uint8_t* data, std::size_t n, std::uint8_t crc = 0) {
  for (std::size_t i = 0; i < n; ++i) crc = crc8_update(crc, data[i]);
  return crc;
}

}  // namespace onewire
