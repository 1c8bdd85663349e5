// The DS2482-100 and DS2482-800's command codes, registers and bits, as
// both the backend and the emulator use them.
#pragma once

#include <array>
#include <cstdint>

namespace onewire::ds2482 {

// Function commands (the first byte of a write transfer).
inline constexpr std::uint8_t kCmdDeviceReset = 0xF0;
inline constexpr std::uint8_t kCmdSetReadPointer = 0xE1;
inline constexpr std::uint8_t kCmdWriteConfig = 0xD2;
inline constexpr std::uint8_t kCmdChannelSelect = 0xC3;  // DS2482-800 only
inline constexpr std::uint8_t kCmdReset = 0xB4;          // 1-Wire reset
inline constexpr std::uint8_t kCmdSingleBit = 0x87;
inline constexpr std::uint8_t kCmdWriteByte = 0xA5;
inline constexpr std::uint8_t kCmdReadByte = 0x96;
inline constexpr std::uint8_t kCmdTriplet = 0x78;

// Read pointer codes (Set Read Pointer's parameter).
inline constexpr std::uint8_t kPtrStatus = 0xF0;
inline constexpr std::uint8_t kPtrData = 0xE1;
inline constexpr std::uint8_t kPtrChannel = 0xD2;  // DS2482-800 only
inline constexpr std::uint8_t kPtrConfig = 0xC3;

// Status register.
inline constexpr std::uint8_t kSt1wb = 0x01;  // 1-Wire busy
inline constexpr std::uint8_t kStPpd = 0x02;  // presence pulse detected
inline constexpr std::uint8_t kStSd = 0x04;   // short detected
inline constexpr std::uint8_t kStLl = 0x08;   // logic level of the line
inline constexpr std::uint8_t kStRst = 0x10;  // device reset since the last configuration write
inline constexpr std::uint8_t kStSbr = 0x20;  // single bit result
inline constexpr std::uint8_t kStTsb = 0x40;  // triplet second bit
inline constexpr std::uint8_t kStDir = 0x80;  // branch direction taken
// An idle chip right after Device Reset: RST, and the line high.
inline constexpr std::uint8_t kStatusAfterReset = kStRst | kStLl;

// Configuration register (lower nibble; the upper one reads 0).
inline constexpr std::uint8_t kCfgApu = 0x01;  // active pull-up
inline constexpr std::uint8_t kCfgPpm = 0x02;  // presence pulse masking
inline constexpr std::uint8_t kCfgSpu = 0x04;  // strong pull-up after the next byte or bit
inline constexpr std::uint8_t kCfg1ws = 0x08;  // overdrive speed

// The byte Write Configuration takes: the bits, and their complement in
// the upper nibble (the chip refuses any other byte).
constexpr std::uint8_t config_byte(std::uint8_t bits) {
  return static_cast<std::uint8_t>(((~bits & 0x0F) << 4) | (bits & 0x0F));
}

// Channel Select's parameter per channel, and what the channel selection
// register reads back for it: the two differ.
inline constexpr std::array<std::uint8_t, 8> kChannelCode = {0xF0, 0xE1, 0xD2, 0xC3, 0xB4, 0xA5, 0x96, 0x87};
inline constexpr std::array<std::uint8_t, 8> kChannelReadBack = {0xB8, 0xB1, 0xAA, 0xA3, 0x9C, 0x95, 0x8E, 0x87};

// Slave addresses: 0x18 + the address pins (two on the -100, three on
// the -800).
inline constexpr std::uint8_t kFirstAddress = 0x18;
inline constexpr std::uint8_t kLastAddress = 0x1F;
inline constexpr std::uint8_t kLastAddress100 = 0x1B;

}  // namespace onewire::ds2482
