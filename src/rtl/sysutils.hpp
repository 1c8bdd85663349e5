// Text conversions of the run-time layer.
//
// Strings are std::string holding UTF-8. The conversions behave like the
// host framework's functions of the same names, which the component's
// algorithms are written against.
#pragma once

#include "qvds18x20/export.hpp"

#include <cstdint>
#include <string>
#include <string_view>

// Decimal text of a signed value, with a minus sign when negative.
QVDS_API std::string IntToStr(std::int64_t value);

// Upper-case hexadecimal text of `value`, at least `digits` digits
// (padded with zeros). Negative values are shown in their 64-bit two's
// complement form, as the framework does for its widest integer.
QVDS_API std::string IntToHex(std::uint64_t value, int digits);

// Decimal text to integer: optional leading sign, then one or more decimal
// digits, nothing else (no blanks). Anything else, or a value outside the
// signed 32-bit range, gives `def`.
QVDS_API std::int32_t StrToIntDef(std::string_view text, std::int32_t def);

// Removes leading and trailing characters whose codes are 32 or less.
QVDS_API std::string Trim(std::string_view text);

// Appends the character with code `code` (0..255) to `out` as UTF-8, the
// way an 8-bit driver text byte becomes one character of a string.
QVDS_API void AppendLatin1(std::string& out, unsigned char code);

// Case-insensitive comparison used by string list sorting: ASCII letters
// fold to upper case, every other byte compares by its value.
QVDS_API int CompareText(std::string_view a, std::string_view b);
