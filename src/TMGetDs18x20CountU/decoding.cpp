// Scratchpad bytes to temperature text.
#include "TMGetDs18x20CountU/TMGetDs18x20CountU.hpp"
#include "onewire/ds18x20/power.hpp"
#include "onewire/ds18x20/scratchpad.hpp"
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

namespace {

namespace rules = onewire::ds18x20;

// The worker's outcomes are the rules' own, number for number, so that a
// scratchpad means the same to the component as to every other reader.
static_assert(static_cast<int>(rules::ReadStatus::kNoConversion) == rsNoConversion);
static_assert(static_cast<int>(rules::ReadStatus::kPowerOnValue) == rsPowerOnValue);
static_assert(static_cast<int>(rules::ReadStatus::kRead) == rsRead);
static_assert(static_cast<int>(rules::ReadStatus::kUnconfirmed) == rsUnconfirmed);
static_assert(static_cast<int>(rules::PowerSupply::kParasiteUnfed) == psParasiteUnfed);

}  // namespace

TReadStatus ToReadStatus(onewire::ds18x20::ReadStatus status) {
  // Outcomes the component's list has no name for read as the nearest
  // one it has.
  if (status == rules::ReadStatus::kParasiteUnfed) return rsPowerOnValue;
  return static_cast<TReadStatus>(status);
}

TDecodedScratchpad DecodeScratchpad(std::uint8_t family, const std::array<std::uint8_t, 9>& pad) {
  const rules::Decoded decoded = rules::decode(family, pad);
  TDecodedScratchpad out;
  out.status = ToReadStatus(decoded.status);
  out.sixteenths = decoded.sixteenths;
  out.text = TMGetDsCount::ObliczTemp(family, pad[0], pad[1], pad[6], pad[4]);
  return out;
}

const char* ReadStatusName(TReadStatus status) {
  return rules::status_name(static_cast<rules::ReadStatus>(status));
}

std::string DescribeReadStatus(TReadStatus status) { return rules::describe(static_cast<rules::ReadStatus>(status)); }

const char* PowerSupplyName(TPowerSupply power) { return rules::power_name(static_cast<rules::PowerSupply>(power)); }
