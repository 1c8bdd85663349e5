#include "onewire/ds18x20/scratchpad.hpp"

#include <algorithm>

#include "onewire/crc.hpp"
#include "onewire/ds18x20/clones.hpp"
#include "onewire/ds18x20/family.hpp"

namespace onewire::ds18x20 {

namespace {

// A DS18x20 scratchpad holds 0x0C in byte 6 from power-up until its first
// conversion (COUNT REMAIN on a DS18S20; reserved on the others, where a
// genuine part's conversion leaves 0x10 minus the temperature's low
// nibble).
constexpr std::uint8_t kPowerOnByte6 = 0x0C;
constexpr std::int32_t kPowerOnRaw = 0x0550;         // 85.0 on the 12-bit parts
constexpr std::int32_t kDs18s20PowerOnRaw = 0x00AA;  // 85.0 on a DS18S20
constexpr std::int32_t kFailedConversionRaw = 0x07FF;

bool all_equal(const Scratchpad& pad, std::uint8_t value) {
  return std::all_of(pad.begin(), pad.end(), [value](std::uint8_t b) { return b == value; });
}

}  // namespace

const char* status_name(ReadStatus s) {
  switch (s) {
    case ReadStatus::kNotMeasured: return "not_measured";
    case ReadStatus::kRead: return "read";
    case ReadStatus::kReadMaybePowerOn: return "read_maybe_power_on";
    case ReadStatus::kNoThermometer: return "no_thermometer";
    case ReadStatus::kNotSelected: return "not_selected";
    case ReadStatus::kNoAnswer: return "no_answer";
    case ReadStatus::kCrcError: return "crc_error";
    case ReadStatus::kLineLow: return "line_low";
    case ReadStatus::kPowerOnValue: return "power_on_value";
    case ReadStatus::kConversionFailed: return "conversion_failed";
    case ReadStatus::kNoConversion: return "no_conversion";
    case ReadStatus::kUnconfirmed: return "unconfirmed";
    case ReadStatus::kParasiteUnfed: return "parasite_unfed";
  }
  return "unknown";
}

std::string describe(ReadStatus s) {
  switch (s) {
    case ReadStatus::kNotMeasured: return "not measured yet";
    case ReadStatus::kRead: return "read";
    case ReadStatus::kReadMaybePowerOn:
      return "read 85.0, which a DS18S20 also holds at power-on: it may not have converted";
    case ReadStatus::kNoThermometer: return "no thermometer";
    case ReadStatus::kNotSelected: return "it did not answer its selection (gone from the bus?)";
    case ReadStatus::kNoAnswer: return "the adapter failed while its scratchpad was read";
    case ReadStatus::kCrcError:
      return "its scratchpad failed the CRC check (noise on the line: a long cable, a weak pull-up, a loose contact?)";
    case ReadStatus::kLineLow: return "its scratchpad read all zeros: something holds the line low";
    case ReadStatus::kPowerOnValue:
      return "it holds its power-on value (85.0): it did not convert (a parasite-powered sensor without a strong "
             "pull-up, or it lost power)";
    case ReadStatus::kConversionFailed: return "it holds 127.94, above its range: its conversion failed";
    case ReadStatus::kNoConversion: return "the conversion command did not reach the bus: it holds an old value";
    case ReadStatus::kUnconfirmed:
      return "it holds a value that is also its power-on value, and nothing showed that it converted (a clone "
             "whose scratchpad cannot tell the two apart)";
    case ReadStatus::kParasiteUnfed:
      return "it is parasite-powered and this adapter has no strong pull-up to feed its conversion";
  }
  return "unknown outcome";
}

ReadStatus check(const Scratchpad& pad) {
  if (all_equal(pad, 0xFF)) return ReadStatus::kNotSelected;
  if (crc8(pad.data(), pad.size()) != 0) return ReadStatus::kCrcError;
  if (all_equal(pad, 0x00)) return ReadStatus::kLineLow;
  return ReadStatus::kRead;
}

Decoded decode(std::uint8_t family, const Scratchpad& pad) {
  Decoded out;
  const std::int32_t raw = static_cast<std::int16_t>(static_cast<std::uint16_t>(pad[1] << 8 | pad[0]));
  const std::int32_t unsigned_raw = raw & 0xFFFF;
  if (family == kFamilyDs18s20) {
    // TEMP_READ - 0.25 + (16 - COUNT_REMAIN) / 16, in sixteenths.
    out.sixteenths = (raw & ~1) * 8 - 4 + 16 - pad[6];
    if (unsigned_raw == kDs18s20PowerOnRaw && pad[6] == kPowerOnByte6) out.status = ReadStatus::kReadMaybePowerOn;
    return out;
  }
  std::int32_t value = raw;
  if (has_resolution(family)) {
    // The bits below the resolution are undefined; they go towards minus
    // infinity, as the two's complement reading is meant.
    out.resolution = resolution_of(pad[4]);
    value &= ~((1 << (12 - out.resolution)) - 1);
  }
  out.sixteenths = value;
  if (pad[6] == kPowerOnByte6 && unsigned_raw == kPowerOnRaw) out.status = ReadStatus::kPowerOnValue;
  if (pad[6] == kPowerOnByte6 && unsigned_raw == kFailedConversionRaw) out.status = ReadStatus::kConversionFailed;
  return out;
}

namespace {

constexpr std::int32_t kDPowerOnRaw = 0x0190;  // 25.0, where the D families start

// What the value alone says, beyond decode()'s genuine rule.
ReadStatus trust(const RomBytes& rom, const Scratchpad& pad) {
  const std::uint8_t family = rom[0];
  const std::int32_t raw = pad[1] << 8 | pad[0];
  if (family == kFamilyDs18s20)
    return raw == kDs18s20PowerOnRaw && pad[6] == kPowerOnByte6 ? ReadStatus::kUnconfirmed : ReadStatus::kRead;
  if (!has_resolution(family)) return ReadStatus::kRead;
  // No part measures above 125: 127.94 is a failed conversion whatever
  // byte 6 holds.
  if (raw == kFailedConversionRaw) return ReadStatus::kConversionFailed;
  if (family != kFamilyDs18b20) {
    // The DS1822, DS1825 and DS28EA00 have no known clones: the data
    // sheet's rule holds.
    return raw == kPowerOnRaw && pad[6] == kPowerOnByte6 ? ReadStatus::kPowerOnValue : ReadStatus::kRead;
  }
  if (d_family_signature(pad[5], pad[7])) return raw == kDPowerOnRaw ? ReadStatus::kUnconfirmed : ReadStatus::kRead;
  if (raw != kPowerOnRaw) return ReadStatus::kRead;
  const RomEvidence evidence = rom_evidence(rom);
  if (pad[6] == 0x10) {
    // A converted 85.0 (nibble 0). Family E holds 0x10 from power-up on.
    const bool e_or_a2 = rom[1] == 0x00 && !evidence.genuine_pattern;
    return e_or_a2 ? ReadStatus::kUnconfirmed : ReadStatus::kRead;
  }
  if (pad[6] == kPowerOnByte6 && evidence.genuine_pattern) return ReadStatus::kPowerOnValue;
  return ReadStatus::kUnconfirmed;
}

}  // namespace

Decoded judge(const RomBytes& rom, const Scratchpad& pad, bool converted) {
  Decoded out;
  out.status = check(pad);
  if (out.status != ReadStatus::kRead) return out;
  // A sound scratchpad after a conversion that never started holds the
  // value of an earlier one.
  if (!converted) {
    out.status = ReadStatus::kNoConversion;
    return out;
  }
  out = decode(rom[0], pad);
  out.status = trust(rom, pad);
  return out;
}

ReadStatus with_power(ReadStatus status, PowerSupply power) {
  const bool looks_unconverted = status == ReadStatus::kPowerOnValue || status == ReadStatus::kUnconfirmed ||
                                 status == ReadStatus::kReadMaybePowerOn;
  return power == PowerSupply::kParasiteUnfed && looks_unconverted ? ReadStatus::kParasiteUnfed : status;
}

Decoded confirm(const RomBytes& rom, const Scratchpad& first, const Scratchpad& second, bool busy_seen) {
  Decoded out = judge(rom, second, true);
  if (out.status != ReadStatus::kUnconfirmed) return out;
  const bool moved = first[0] != second[0] || first[1] != second[1] || first[6] != second[6];
  if (busy_seen || moved) out.status = ReadStatus::kRead;
  return out;
}

}  // namespace onewire::ds18x20
