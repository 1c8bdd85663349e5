// Where a DS2482 is: an I2C bus device, the chip's address on it and, on a
// DS2482-800, the 1-Wire channel. Written "/dev/i2c-1", "/dev/i2c-1:0x19"
// or "/dev/i2c-1:0x19:3" (the address in hex, 0x18 to 0x1F; the channel
// 0 to 7).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "onewire/ds2482/protocol.hpp"

namespace onewire::ds2482 {

struct ChipAddress {
  std::string device;                   // the bus's device node
  std::uint8_t address = kFirstAddress;
  int channel = -1;                     // -1: none named (channel 0 of a -800)
};

// Nothing, with the reason in `error` when given, for text that is not of
// that form.
std::optional<ChipAddress> parse_chip_address(const std::string& text, std::string* error = nullptr);

// An address as the port names write it: "0x18".
std::string format_address(std::uint8_t address);

// "/dev/i2c-1:0x18" and, with a channel, ":3" after it.
std::string format_chip_address(const ChipAddress& chip);

}  // namespace onewire::ds2482
