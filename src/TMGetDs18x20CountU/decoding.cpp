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

namespace {

constexpr std::uint8_t kFamilyDs18s20 = 0x10;
// A DS18x20 scratchpad holds 0x0C in byte 6 from power-up until its first
// conversion (COUNT REMAIN on a DS18S20; reserved on the others, where a
// conversion leaves 0x10 minus the temperature's low nibble).
constexpr std::uint8_t kPowerOnByte6 = 0x0C;
constexpr std::int32_t kPowerOnRaw = 0x0550;        // 85.0 on the 12-bit parts
constexpr std::int32_t kDs18s20PowerOnRaw = 0x00AA;  // 85.0 on a DS18S20
constexpr std::int32_t kFailedConversionRaw = 0x07FF;

// The families whose configuration register sets the resolution.
bool has_resolution(std::uint8_t family) { return family == 0x28 || family == 0x22 || family == 0x3B; }

}  // namespace

TDecodedScratchpad DecodeScratchpad(std::uint8_t family, const std::array<std::uint8_t, 9>& pad) {
  TDecodedScratchpad out;
  const std::int32_t raw = static_cast<std::int16_t>(static_cast<std::uint16_t>(pad[1] << 8 | pad[0]));
  const std::int32_t unsigned_raw = raw & 0xFFFF;
  out.text = TMGetDsCount::ObliczTemp(family, pad[0], pad[1], pad[6], pad[4]);
  if (family == kFamilyDs18s20) {
    // TEMP_READ - 0.25 + (16 - COUNT_REMAIN) / 16, in sixteenths.
    out.sixteenths = (raw & ~1) * 8 - 4 + 16 - pad[6];
    if (unsigned_raw == kDs18s20PowerOnRaw && pad[6] == kPowerOnByte6) out.status = rsReadMaybePowerOn;
    return out;
  }
  std::int32_t value = raw;
  if (has_resolution(family)) {
    // The bits below the resolution are undefined; they go towards minus
    // infinity, as the two's complement reading is meant.
    const int bits = 9 + ((pad[4] >> 5) & 3);
    value &= ~((1 << (12 - bits)) - 1);
  }
  out.sixteenths = value;
  if (pad[6] == kPowerOnByte6 && unsigned_raw == kPowerOnRaw) out.status = rsPowerOnValue;
  if (pad[6] == kPowerOnByte6 && unsigned_raw == kFailedConversionRaw) out.status = rsConversionFailed;
  return out;
}

const char* ReadStatusName(TReadStatus status) {
  switch (status) {
    case rsNotMeasured: return "not_measured";
    case rsRead: return "read";
    case rsReadMaybePowerOn: return "read_maybe_power_on";
    case rsNoThermometer: return "no_thermometer";
    case rsNotSelected: return "not_selected";
    case rsNoAnswer: return "no_answer";
    case rsCrcError: return "crc_error";
    case rsLineLow: return "line_low";
    case rsPowerOnValue: return "power_on_value";
    case rsConversionFailed: return "conversion_failed";
    case rsNoConversion: return "no_conversion";
  }
  return "unknown";
}

std::string DescribeReadStatus(TReadStatus status) {
  switch (status) {
    case rsNotMeasured: return "not measured yet";
    case rsRead: return "read";
    case rsReadMaybePowerOn:
      return "read 85.0, which a DS18S20 also holds at power-on: it may not have converted";
    case rsNoThermometer: return "no thermometer";
    case rsNotSelected: return "it did not answer its selection (gone from the bus?)";
    case rsNoAnswer: return "the adapter failed while its scratchpad was read";
    case rsCrcError:
      return "its scratchpad failed the CRC check (noise on the line: a long cable, a weak pull-up, a loose contact?)";
    case rsLineLow: return "its scratchpad read all zeros: something holds the line low";
    case rsPowerOnValue:
      return "it holds its power-on value (85.0): it did not convert (a parasite-powered sensor without a strong "
             "pull-up, or it lost power)";
    case rsConversionFailed: return "it holds 127.94, above its range: its conversion failed";
    case rsNoConversion: return "the conversion command did not reach the bus: it holds an old value";
  }
  return "unknown outcome";
}

const char* PowerSupplyName(TPowerSupply power) {
  switch (power) {
    case psUnknown: return "unknown";
    case psExternal: return "external";
    case psParasite: return "parasite";
    case psParasiteUnfed: return "parasite_unfed";
  }
  return "unknown";
}
