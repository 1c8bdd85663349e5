// ROM codes: the 64-bit identity of every 1-Wire device, and the forms
// people write them in.
//
// Thread safety: pure functions, callable from any thread.
#pragma once

#include "qvds18x20/export.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qvds {

// The eight ROM bytes in bus order: family code first, CRC last.
using Rom = std::array<std::uint8_t, 8>;

// How a ROM is written.
enum class RomForm : std::uint8_t {
  // 16 upper-case hex digits, CRC byte first and family last, as the
  // component's sensor list has it: D70416913C6BFF28.
  kQvds,
  // OWFS's: family, a dot, the six serial bytes in bus order:
  // 28.FF6B3C911604.
  kOwfs,
  // The Linux kernel's w1 name: family, a dash, the serial most
  // significant byte first, lower case: 28-0416913c6bff.
  kKernel,
};

// `rom` in `form`.
QVDS_API std::string format_rom(const Rom& rom, RomForm form);

// The ROM a text names in any of the three forms, any letter case (OWFS's
// also with its CRC: 28.FF6B3C911604.D7 or 28.FF6B3C911604D7; sixteen
// digits either CRC-first or, where only that gives a sound ROM,
// family-first). Nothing for a text of no form, a wrong CRC or family 00;
// `why` then says what is wrong.
QVDS_API std::optional<Rom> parse_rom(std::string_view text, std::string* why = nullptr);

// The family code (byte 0).
constexpr std::uint8_t family_of(const Rom& rom) { return rom[0]; }

}  // namespace qvds
