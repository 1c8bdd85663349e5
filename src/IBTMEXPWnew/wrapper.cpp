#include "IBTMEXPWnew/wrapper.hpp"

#include <array>

#include "onewire/crc.hpp"

std::uint8_t StateBuf[15360] = {};
std::int32_t SHandle = 0;
std::uint16_t CRC16 = 0;
std::uint8_t CRC8 = 0;

namespace {

// Entry i is the CRC of the single byte i from a zero register, as the
// driver's own CRC-8 computes it bit by bit; a byte then costs one lookup:
// crc' = table[crc ^ byte].
constexpr std::array<std::uint8_t, 256> make_crc8_table() {
  std::array<std::uint8_t, 256> table{};
  for (std::size_t i = 0; i < table.size(); ++i) table[i] = onewire::crc8_update(0, static_cast<std::uint8_t>(i));
  return table;
}

constexpr std::array<std::uint8_t, 256> kCrc8Table = make_crc8_table();

static_assert(kCrc8Table[1] == 0x5E && kCrc8Table[0x80] == 0x8C && kCrc8Table[0xFF] == 0x35);

}  // namespace

std::uint8_t DoCRC8(std::uint8_t x) {
  CRC8 = kCrc8Table[static_cast<std::uint8_t>(CRC8 ^ x)];
  return CRC8;
}

void DoCRC16(std::uint8_t x) {
  for (int i = 0; i < 8; ++i) {
    const bool b = ((x ^ CRC16) & 1) != 0;
    CRC16 = static_cast<std::uint16_t>(CRC16 >> 1);
    x = static_cast<std::uint8_t>(x >> 1);
    if (b) CRC16 = static_cast<std::uint16_t>(CRC16 ^ 0xA001);
  }
}
