// Scratchpad bytes to temperature text.
#include "TMGetDs18x20CountU/TMGetDs18x20CountU.hpp"
#include "rtl/sysutils.hpp"

const std::array<std::uint8_t, 16> Ft_tab = {0, 1, 1, 2, 2, 3, 4, 4, 5, 6, 6, 7, 7, 8, 9, 9};

std::string TMGetDsCount::ObliczTemp(std::uint8_t family, std::uint8_t lo, std::uint8_t hi,
                                     std::uint8_t count_remain, std::uint8_t config) {
  const std::uint16_t raw = static_cast<std::uint16_t>(hi * 256 + lo);
  std::uint16_t value = raw;
  if (family == 0x10) {
    // DS18S20 extended resolution in sixteenths: drop the half-degree bit,
    // subtract a quarter degree, add (16 - COUNT REMAIN) sixteenths. Every
    // step wraps at 16 bits.
    value = static_cast<std::uint16_t>((raw & 0xFFFE) << 3);
    value = static_cast<std::uint16_t>(value + static_cast<std::uint16_t>(16 - count_remain));
    value = static_cast<std::uint16_t>(value - 4);
  }
  const bool negative = (value & 0x8000) != 0;
  std::uint16_t magnitude = negative ? static_cast<std::uint16_t>(65536 - value) : value;
  if (family == 0x28) {
    // Resolution bits R1 R0 of the configuration register; undefined low
    // bits go, towards zero, also for negative readings.
    if ((config & 0x60) == 0x60) {
    } else if ((config & 0x40) == 0x40) {
      magnitude &= 0xFFFE;
    } else if ((config & 0x20) == 0x20) {
      magnitude &= 0xFFFC;
    } else {
      magnitude &= 0xFFF8;
    }
  }
  const unsigned integer_part = (magnitude >> 4) & 0xFF;
  const unsigned tenths = Ft_tab[magnitude & 0x0F];
  return std::string(negative ? "-" : "") + IntToStr(integer_part) + "." + IntToStr(tenths);
}
