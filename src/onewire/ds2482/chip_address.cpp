#include "onewire/ds2482/chip_address.hpp"

#include <vector>

namespace onewire::ds2482 {

namespace {

std::vector<std::string> split(const std::string& s) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (;;) {
    const auto colon = s.find(':', start);
    parts.push_back(s.substr(start, colon == std::string::npos ? std::string::npos : colon - start));
    if (colon == std::string::npos) return parts;
    start = colon + 1;
  }
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::optional<ChipAddress> refuse(std::string* error, std::string why) {
  if (error != nullptr) *error = std::move(why);
  return std::nullopt;
}

}  // namespace

std::optional<ChipAddress> parse_chip_address(const std::string& text, std::string* error) {
  const auto parts = split(text);
  ChipAddress chip;
  chip.device = parts[0];
  if (chip.device.empty()) return refuse(error, "no I2C bus device before the address (/dev/i2c-1:0x18)");
  if (parts.size() > 3)
    return refuse(error, "an I2C port is BUS[:ADDRESS[:CHANNEL]] (/dev/i2c-1:0x18:3), not \"" + text + "\"");
  if (parts.size() >= 2) {
    // Hex with its 0x, as i2cdetect prints addresses: "18" alone would be
    // read as decimal by half of the users.
    const std::string& a = parts[1];
    int value = -1;
    if (a.size() == 4 && a[0] == '0' && (a[1] == 'x' || a[1] == 'X') && hex_digit(a[2]) >= 0 && hex_digit(a[3]) >= 0)
      value = hex_digit(a[2]) * 16 + hex_digit(a[3]);
    if (value < kFirstAddress || value > kLastAddress)
      return refuse(error, "a DS2482's address is 0x18 to 0x1F, not \"" + a + "\"");
    chip.address = static_cast<std::uint8_t>(value);
  }
  if (parts.size() == 3) {
    const std::string& c = parts[2];
    if (c.size() != 1 || c[0] < '0' || c[0] > '7')
      return refuse(error, "a DS2482-800's channel is 0 to 7, not \"" + c + "\"");
    chip.channel = c[0] - '0';
  }
  return chip;
}

std::string format_address(std::uint8_t address) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  return std::string("0x") + kHex[address >> 4] + kHex[address & 0x0F];
}

std::string format_chip_address(const ChipAddress& chip) {
  std::string text = chip.device + ":" + format_address(chip.address);
  if (chip.channel >= 0) {
    text += ':';
    text += std::to_string(chip.channel);
  }
  return text;
}

}  // namespace onewire::ds2482
