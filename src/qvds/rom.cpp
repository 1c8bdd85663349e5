#include "qvds/rom.hpp"

#include <cstdio>
#include <vector>

#include "onewire/crc.hpp"

namespace qvds {

namespace {

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Pairs of hex digits to bytes, in the order written; nothing for any
// other character or an odd count.
std::optional<std::vector<std::uint8_t>> hex_bytes(std::string_view s) {
  if (s.empty() || s.size() % 2 != 0) return std::nullopt;
  std::vector<std::uint8_t> out;
  for (std::size_t i = 0; i < s.size(); i += 2) {
    const int hi = hex_value(s[i]);
    const int lo = hex_value(s[i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    out.push_back(static_cast<std::uint8_t>(hi * 16 + lo));
  }
  return out;
}

bool sound(const Rom& rom) { return rom[0] != 0 && onewire::crc8(rom.data(), 8) == 0; }

// Family, the six serial bytes in bus order and maybe the CRC, as OWFS
// writes them.
std::optional<Rom> from_owfs(const std::vector<std::uint8_t>& b, std::string* why) {
  Rom rom{};
  for (std::size_t i = 0; i < 7; ++i) rom[i] = b[i];
  rom[7] = onewire::crc8(rom.data(), 7);
  if (b.size() == 8 && b[7] != rom[7]) {
    if (why != nullptr) *why = "its CRC byte is wrong";
    return std::nullopt;
  }
  return rom;
}

std::string hex(std::uint8_t b, bool upper) {
  char buf[3];
  std::snprintf(buf, sizeof buf, upper ? "%02X" : "%02x", b);
  return buf;
}

}  // namespace

std::optional<Rom> parse_rom(std::string_view text, std::string* why) {
  auto fail = [why](const char* reason) -> std::optional<Rom> {
    if (why != nullptr) *why = reason;
    return std::nullopt;
  };
  constexpr const char* kForms = "a ROM is written D70416913C6BFF28, 28.FF6B3C911604 or 28-0416913c6bff";
  if (const auto dash = text.find('-'); dash != std::string_view::npos) {
    // The kernel's: family, dash, the serial most significant byte first.
    const auto family = hex_bytes(text.substr(0, dash));
    const auto serial = hex_bytes(text.substr(dash + 1));
    if (!family || family->size() != 1 || !serial || serial->size() != 6) return fail(kForms);
    Rom rom{};
    rom[0] = (*family)[0];
    for (std::size_t i = 0; i < 6; ++i) rom[1 + i] = (*serial)[5 - i];
    rom[7] = onewire::crc8(rom.data(), 7);
    if (rom[0] == 0) return fail("family 00 is no device");
    return rom;
  }
  if (text.find('.') != std::string_view::npos) {
    // OWFS's: 28.FF6B3C911604, 28.FF6B3C911604.D7 or 28.FF6B3C911604D7.
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    for (std::size_t dot; (dot = text.find('.', start)) != std::string_view::npos; start = dot + 1)
      parts.push_back(text.substr(start, dot - start));
    parts.push_back(text.substr(start));
    const bool shaped = parts[0].size() == 2 && ((parts.size() == 2 && (parts[1].size() == 12 || parts[1].size() == 14)) ||
                                                 (parts.size() == 3 && parts[1].size() == 12 && parts[2].size() == 2));
    std::string digits;
    for (const auto& p : parts) digits += p;
    const auto b = shaped ? hex_bytes(digits) : std::nullopt;
    if (!b) return fail(kForms);
    if ((*b)[0] == 0) return fail("family 00 is no device");
    return from_owfs(*b, why);
  }
  const auto b = hex_bytes(text);
  if (!b || (b->size() != 8 && b->size() != 7)) return fail(kForms);
  if (b->size() == 7) return (*b)[0] == 0 ? fail("family 00 is no device") : from_owfs(*b, why);
  // Sixteen digits: ours (CRC first) unless only OWFS's undotted order
  // (family first, CRC last) makes a sound ROM.
  Rom ours{};
  for (std::size_t k = 0; k < 8; ++k) ours[k] = (*b)[7 - k];
  if (sound(ours)) return ours;
  Rom theirs{};
  for (std::size_t k = 0; k < 8; ++k) theirs[k] = (*b)[k];
  if (sound(theirs)) return theirs;
  return fail("its CRC byte is wrong (or it is no ROM)");
}

std::string format_rom(const Rom& rom, RomForm form) {
  std::string out;
  switch (form) {
    case RomForm::kQvds:
      for (int k = 7; k >= 0; --k) out += hex(rom[static_cast<std::size_t>(k)], true);
      return out;
    case RomForm::kOwfs:
      out = hex(rom[0], true) + ".";
      for (std::size_t k = 1; k < 7; ++k) out += hex(rom[k], true);
      return out;
    case RomForm::kKernel:
      out = hex(rom[0], false) + "-";
      for (std::size_t k = 6; k >= 1; --k) out += hex(rom[k], false);
      return out;
  }
  return out;
}

}  // namespace qvds
