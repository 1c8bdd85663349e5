// A thermometer's scratchpad read with the driver's block exchange, for
// drivers that offer it: the same bus traffic as the byte-by-byte
// operations, in one or two adapter exchanges instead of some twenty
// driver calls.
#pragma once

#include <array>
#include <cstdint>

enum class BlockRead : std::uint8_t {
  kRead,         // nine bytes came back (the caller checks the CRC)
  kNotSelected,  // no device answered the reset of the selection
  kFailed,       // the driver failed (a short, a port error)
};

// Selects the state buffer's current device and reads its nine scratchpad
// bytes into `pad`. With `configure`, a DS18B20 (family 0x28) first gets
// TH, TL and configuration written (12-bit resolution for the conversions
// to come), in its own selection, whose outcome does not decide anything,
// as in the byte-wise read.
BlockRead ReadScratchpadInBlocks(std::int32_t session, void* state, std::uint8_t family, bool configure,
                                 std::array<std::uint8_t, 9>& pad);
