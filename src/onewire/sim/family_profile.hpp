// What the Ds18x20 model does per thermometer family: one row of a table
// (clone_family.cpp) for each ThermometerFamily. The model reads only
// these fields; a behaviour that differs between families is a field here,
// never a test of the family inside the model.
//
// Internal to the simulated bus; not installed.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

#include "onewire/sim/clone_family.hpp"

namespace onewire::sim {

// Scratchpad byte 6 (reserved on the DS18B20) after a conversion.
enum class Byte6Rule : std::uint8_t {
  kTenMinusNibble,        // 10h minus the temperature's low nibble; a failed conversion leaves 0C
  kAlwaysTenMinusNibble,  // the same, also after a failed conversion
  kTwentyMinusNibble,     // 20h minus the low nibble (11h..20h)
  kFixed0C,               // 0C whatever the temperature
  kUnchanged,             // bytes 5-7 are the part's own; conversions leave them
  kCountRemain,           // the DS18S20's COUNT_REMAIN
};

// What a write of the configuration byte leaves in it.
enum class ConfigRule : std::uint8_t {
  kResolution,  // 0 R1 R0 1 1 1 1 1: only the resolution bits are taken
  kFixed7F,     // always 7F (12 bits)
  kKeepsBit7,   // bit 7 taken, the rest reads 7F (12 bits)
  kNone,        // no configuration register (DS18S20)
};

// What read slots after CONVERT T return on external power.
enum class BusyRule : std::uint8_t {
  kAtOnce,  // 0 from the first slot until done
  kLate,    // 1 for about the first millisecond, then 0 until done
  kNever,   // always 1: the part cannot be polled
};

// How a part that cannot convert on parasite power fails when it tries.
enum class ParasiteFailure : std::uint8_t {
  kResets,    // the conversion never ends; the part loses power after its conversion time
  kFloats,    // the part leaves the line alone for its conversion time and keeps its old reading
  kHoldsLow,  // the part pulls the line low for its conversion time, then loses power
};

// What a slot during a parasite conversion does to a part that converts
// on parasite power.
enum class ParasiteSlots : std::uint8_t {
  kBrownOut,       // the part loses power unless the strong pull-up fed it throughout
  kHoldLowOnRead,  // a capacitor carries it; READ SCRATCHPAD makes it hold the line low for a second more
  kFloat,          // a capacitor carries it; it does not answer until the conversion ends
};

// An undocumented function code the part answers.
enum class HiddenAction : std::uint8_t {
  kAnswer,          // read slots return `answer` (`length` bytes), then 1s
  kTrim1,           // read slots return the first trim byte
  kTrim2,           // read slots return the second trim byte
  kSetTrim1,        // one data byte replaces the first trim byte until power-up or kReloadTrims
  kSetTrim2,        // the same for the second
  kReloadTrims,     // the trim bytes go back to their stored values
  kHiddenRegister,  // read slots return the hidden register (`length` bytes)
  kCustom,          // read slots return the two custom bytes
  kSetCustom,       // two data bytes replace the custom bytes
  kSetReserved,     // three data bytes replace scratchpad bytes 5-7
};

struct HiddenCode {
  std::uint8_t code;
  HiddenAction action;
  std::uint8_t length;  // bytes answered or taken
  std::array<std::uint8_t, 3> answer;
};

struct FamilyProfile {
  ThermometerFamily family;
  std::string_view name;
  std::uint8_t code;  // the ROM's family byte
  // ROM bytes 1-6: the published example, and per byte the bits the
  // family's pattern fixes (FF fixed, 00 free).
  std::array<std::uint8_t, 6> rom_example;
  std::array<std::uint8_t, 6> rom_fixed;
  // Scratchpad bytes 0-7 at power-up; bytes 2-4 are the factory contents
  // of the EEPROM (or of the fixed store of a part without one).
  std::array<std::uint8_t, 8> power_up;
  bool random_alarm_bytes;  // TH and TL differ per chip (set from the ROM)
  bool ds18s20;             // 9-bit layout, two-byte write, T > TH alarm
  Byte6Rule byte6;
  ConfigRule config;
  bool write_spills;  // data bytes 3-5 of WRITE SCRATCHPAD also land in bytes 6 and 7
  // The 12-bit conversion time of a chip lies in [min, max] (microseconds),
  // fixed per chip; each bit less divides it by `per_bit` (1: no scaling).
  int conversion_min_us;
  int conversion_max_us;
  double per_bit;
  BusyRule busy;
  int eeprom_endurance;  // copies the EEPROM takes; 0: no EEPROM at all
  int ram_hold_ms;       // a power loss this short keeps the scratchpad
  bool parasite_works;   // converts on parasite power (VDD tied to ground)
  ParasiteFailure parasite_failure;
  ParasiteSlots parasite_slots;
  std::uint8_t trim1;  // answered to the trim reads (family A)
  std::uint8_t trim2;
  std::span<const HiddenCode> hidden;
};

// The row of a family.
const FamilyProfile& family_profile(ThermometerFamily family);

// Whether a host may send this function code: the documented ones and the
// undocumented ones published research reads safely. Every other code
// (94, 96, A3, 66, AB, 28 and all unlisted) is one a host must never send.
bool host_may_send(std::uint8_t code);

}  // namespace onewire::sim
