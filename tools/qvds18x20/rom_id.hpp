// ROM codes as people write them: the component's form (16 hex digits, CRC
// byte first, family last: D70416913C6BFF28), OWFS's (28.FF6B3C911604,
// family first, the serial in bus order, with or without the CRC) and the
// Linux kernel's (28-0416913c6bff, the serial most significant byte
// first). Every ROM the tool takes in accepts all three; --id-format picks
// the one it prints.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "onewire/link.hpp"

namespace qvtool {

enum class IdFormat { kQvds, kOwfs, kKernel };

// The names --id-format takes.
const std::map<std::string, IdFormat>& id_format_names();

// The ROM a text names, in any of the three forms (any letter case); with
// a wrong CRC, a family 00 or no form at all: nothing, and `why` says
// what is wrong.
std::optional<onewire::Rom> parse_rom_id(const std::string& text, std::string* why = nullptr);

std::string format_rom(const onewire::Rom& rom, IdFormat format);

// The part a family code names, as people call it: DS18B20, DS18S20,
// DS1822, DS1825/MAX31850, DS28EA00, DS2401; any other family as its code
// (0x81).
std::string model_name(std::uint8_t family);

}  // namespace qvtool
