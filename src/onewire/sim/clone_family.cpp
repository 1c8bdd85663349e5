// The thermometer families as published research on DS18B20 clones
// describes them (Petrich's counterfeit_DS18B20 survey, with the data
// sheets of the genuine parts): one row per family. Where the research
// gives a range, a chip's value is picked from it by its ROM; where it
// names a byte without its value ("xx", "answers"), the row holds a value
// that keeps every rule the research states (not FF where a part answers,
// not 0C where byte 6 differs) and nothing more is claimed for it.
#include "onewire/sim/clone_family.hpp"

#include <algorithm>
#include <array>
#include <cctype>

#include "onewire/commands.hpp"
#include "onewire/crc.hpp"
#include "onewire/sim/bus.hpp"
#include "onewire/sim/family_profile.hpp"

namespace onewire::sim {

namespace {

using F = ThermometerFamily;
using H = HiddenAction;

// Family A: the trim registers (volatile writes, reload from store).
constexpr HiddenCode kFamilyA[] = {
    {0x68, H::kTrim2, 1, {}},       {0x93, H::kTrim1, 1, {}},       {0x95, H::kSetTrim1, 1, {}},
    {0x63, H::kSetTrim2, 1, {}},    {0x64, H::kReloadTrims, 0, {}},
};
// Family B: 97 tells B1/B1v2 (22) from B2 (31); 93, 90-92 and 95 answer
// unpublished data.
constexpr HiddenCode kFamilyB1[] = {
    {0x93, H::kAnswer, 1, {0x5E}},          {0x90, H::kAnswer, 2, {0x3A, 0x01}}, {0x91, H::kAnswer, 2, {0x00, 0x80}},
    {0x92, H::kAnswer, 2, {0x47, 0x16}},    {0x97, H::kAnswer, 1, {0x22}},       {0x95, H::kAnswer, 1, {0x5E}},
};
constexpr HiddenCode kFamilyB2[] = {
    {0x93, H::kAnswer, 1, {0x61}},          {0x90, H::kAnswer, 2, {0x3C, 0x02}}, {0x91, H::kAnswer, 2, {0x00, 0x80}},
    {0x92, H::kAnswer, 2, {0x52, 0x14}},    {0x97, H::kAnswer, 1, {0x31}},       {0x95, H::kAnswer, 1, {0x61}},
};
// Family D: the hidden register 8B (D1 eight bytes, D2 nine), status
// codes, and 66 writing bytes 5-7 (a code no host may send; it is modelled
// so that what it does shows).
constexpr HiddenCode kFamilyD1[] = {
    {0x4D, H::kAnswer, 1, {0x01}},        {0xBA, H::kAnswer, 1, {0x0A}}, {0xBB, H::kAnswer, 1, {0x0B}},
    {0x8B, H::kHiddenRegister, 8, {}},    {0x66, H::kSetReserved, 3, {}},
};
constexpr HiddenCode kFamilyD2[] = {
    {0x4D, H::kAnswer, 1, {0x01}},        {0xBA, H::kAnswer, 1, {0x0A}}, {0xBB, H::kAnswer, 1, {0x0B}},
    {0x8B, H::kHiddenRegister, 9, {}},    {0x66, H::kSetReserved, 3, {}},
};
// Family E: a two-byte custom scratchpad.
constexpr HiddenCode kFamilyE[] = {
    {0xDE, H::kCustom, 2, {}},
    {0x2E, H::kSetCustom, 2, {}},
};
constexpr HiddenCode kFamilyF[] = {{0x19, H::kAnswer, 3, {0x00, 0x19, 0x80}}};
constexpr HiddenCode kFamilyG[] = {{0x8E, H::kAnswer, 1, {0x21}}};

constexpr std::array<std::uint8_t, 6> kFree{};
constexpr std::array<std::uint8_t, 8> kGenuinePowerUp = {0x50, 0x05, 0x4B, 0x46, 0x7F, 0xFF, 0x0C, 0x10};
constexpr std::array<std::uint8_t, 8> k5500PowerUp = {0x50, 0x05, 0x55, 0x00, 0x7F, 0xFF, 0x0C, 0x10};
constexpr std::array<std::uint8_t, 8> k55AAPowerUp = {0x50, 0x05, 0x55, 0xAA, 0x7F, 0xFF, 0x0C, 0x10};
// D's bytes 5 and 6 are published for D1 only (7E, 81); D2 gets the same.
constexpr std::array<std::uint8_t, 8> kD25DegreesPowerUp = {0x90, 0x01, 0x55, 0x05, 0x7F, 0x7E, 0x81, 0x66};

constexpr int kGenuineEndurance = 50'000;

using B6 = Byte6Rule;
using Cfg = ConfigRule;
using Busy = BusyRule;
using PF = ParasiteFailure;
using PS = ParasiteSlots;

// Columns: family, name, code, ROM example, ROM fixed bits, power-up,
// random TH/TL, DS18S20 layout, byte 6, configuration, write spills,
// 12-bit time min/max (us), scaling per bit, busy, EEPROM endurance, RAM
// hold (ms), parasite works, how parasite fails, slots in a parasite
// conversion, trims, undocumented codes.
const FamilyProfile kProfiles[] = {
    {F::kA1, "A1", 0x28, {0x13, 0x9B, 0xBB, 0x0B, 0x00, 0x00}, {0, 0, 0, 0, 0xFF, 0xFF}, kGenuinePowerUp, false, false,
     B6::kTenMinusNibble, Cfg::kResolution, false, 584'000, 615'000, 2.0, Busy::kAtOnce, kGenuineEndurance, 0, true,
     PF::kResets, PS::kBrownOut, 0x04, 0x74, kFamilyA},
    {F::kA1Fishy, "A1-fishy", 0x28, {0x9B, 0x9E, 0xCB, 0x03, 0x00, 0x00}, {0, 0, 0xF0, 0xFF, 0xFF, 0xFF},
     {0x50, 0x05, 0x00, 0x00, 0x1F, 0xFF, 0x0C, 0x10}, false, false, B6::kTenMinusNibble, Cfg::kResolution, false,
     400'000, 500'000, 2.0, Busy::kAtOnce, kGenuineEndurance, 0, true, PF::kResets, PS::kBrownOut, 0x00, 0x00, kFamilyA},
    {F::kA2, "A2", 0x28, {0x19, 0x00, 0x00, 0xB7, 0x5B, 0x00}, {0, 0xFF, 0xFF, 0, 0, 0xFF}, kGenuinePowerUp, true, false,
     B6::kTenMinusNibble, Cfg::kResolution, false, 325'000, 502'000, 2.0, Busy::kAtOnce, kGenuineEndurance, 0, true,
     PF::kResets, PS::kBrownOut, 0x2B, 0xFB, kFamilyA},
    {F::kA3, "A3", 0x28, {0xCA, 0xBA, 0x61, 0x00, 0x00, 0x00}, {0, 0, 0, 0xFF, 0xFF, 0xFF},
     {0x50, 0x05, 0x7F, 0x80, 0x7F, 0xFF, 0x0C, 0x10}, false, false, B6::kTenMinusNibble, Cfg::kResolution, false,
     589'000, 621'000, 2.0, Busy::kLate, kGenuineEndurance, 0, true, PF::kResets, PS::kBrownOut, 0xFF, 0x6B, kFamilyA},
    {F::kB1, "B1", 0x28, {0xAA, 0x3C, 0x61, 0x55, 0x14, 0x01}, {0xFF, 0, 0, 0, 0, 0}, kGenuinePowerUp, false, false,
     B6::kFixed0C, Cfg::kResolution, true, 589'000, 728'000, 2.0, Busy::kAtOnce, kGenuineEndurance, 0, true, PF::kResets,
     PS::kBrownOut, 0xFF, 0xFF, kFamilyB1},
    {F::kB1v2, "B1v2", 0x28, {0xE4, 0xFA, 0x2F, 0x57, 0x23, 0x0B}, kFree, kGenuinePowerUp, false, false,
     B6::kTenMinusNibble, Cfg::kResolution, false, 640'000, 660'000, 2.0, Busy::kAtOnce, kGenuineEndurance, 0, true,
     PF::kResets, PS::kBrownOut, 0xFF, 0xFF, kFamilyB1},
    {F::kB2, "B2", 0x28, {0xFF, 0x7C, 0x5A, 0x61, 0x16, 0x04}, {0xFF, 0, 0, 0, 0, 0}, kGenuinePowerUp, false, false,
     B6::kFixed0C, Cfg::kResolution, true, 587'000, 697'000, 2.0, Busy::kAtOnce, kGenuineEndurance, 0, true, PF::kResets,
     PS::kBrownOut, 0xFF, 0xFF, kFamilyB2},
    {F::kC, "C", 0x28, {0xFF, 0x64, 0x1D, 0xCD, 0x96, 0xF2}, {0xFF, 0xFF, 0, 0, 0, 0}, k5500PowerUp, false, false,
     B6::kFixed0C, Cfg::kFixed7F, false, 28'000, 30'000, 1.0, Busy::kAtOnce, 8, 0, true, PF::kResets, PS::kBrownOut,
     0xFF, 0xFF, {}},
    {F::kD1, "D1", 0x28, {0x48, 0x1B, 0x77, 0x91, 0x17, 0x02}, {0, 0, 0xFF, 0xFF, 0, 0}, kD25DegreesPowerUp, false,
     false, B6::kUnchanged, Cfg::kResolution, false, 10'500, 11'500, 1.0, Busy::kAtOnce, 0, 120'000, false,
     PF::kFloats, PS::kBrownOut, 0xFF, 0xFF, kFamilyD1},
    {F::kD2, "D2", 0x28, {0x90, 0xFE, 0x79, 0x97, 0x00, 0x03}, {0, 0, 0xFF, 0xFF, 0, 0}, kD25DegreesPowerUp, false,
     false, B6::kUnchanged, Cfg::kResolution, false, 462'000, 523'000, 1.0, Busy::kAtOnce, kGenuineEndurance, 0, false,
     PF::kHoldsLow, PS::kBrownOut, 0xFF, 0xFF, kFamilyD2},
    {F::kE, "E", 0x28, {0x00, 0x74, 0x28, 0x59, 0x43, 0x0F}, {0xFF, 0, 0, 0, 0, 0},
     {0x50, 0x05, 0x4B, 0x46, 0x7F, 0xFF, 0x10, 0x10}, false, false, B6::kAlwaysTenMinusNibble, Cfg::kResolution, false,
     20'000, 25'000, 1.0, Busy::kAtOnce, kGenuineEndurance, 0, true, PF::kResets, PS::kBrownOut, 0xFF, 0xFF, kFamilyE},
    {F::kF, "F", 0x28, {0x03, 0x60, 0x00, 0x00, 0x01, 0x24}, kFree, k5500PowerUp, false, false, B6::kFixed0C,
     Cfg::kKeepsBit7, false, 26'000, 28'000, 1.0, Busy::kNever, 0, 0, false, PF::kResets, PS::kBrownOut, 0xFF, 0xFF,
     kFamilyF},
    {F::kG, "G", 0x28, {0xC7, 0x9E, 0xA3, 0x59, 0x83, 0xD9}, kFree, k55AAPowerUp, false, false, B6::kTwentyMinusNibble,
     Cfg::kResolution, false, 227'000, 293'000, 2.0, Busy::kAtOnce, kGenuineEndurance, 100, true, PF::kResets,
     PS::kHoldLowOnRead, 0xFF, 0xFF, kFamilyG},
    {F::kH, "H", 0x28, {0x0C, 0x80, 0x53, 0x5C, 0xAA, 0x8E}, kFree, k55AAPowerUp, false, false, B6::kTenMinusNibble,
     Cfg::kResolution, false, 275'000, 283'000, 1.4, Busy::kAtOnce, kGenuineEndurance, 100, true, PF::kResets,
     PS::kFloat, 0xFF, 0xFF, {}},
    {F::kDs18s20, "DS18S20", 0x10, {}, kFree, {0xAA, 0x00, 0x4B, 0x46, 0xFF, 0xFF, 0x0C, 0x10}, false, true,
     B6::kCountRemain, Cfg::kNone, false, 750'000, 750'000, 1.0, Busy::kAtOnce, kGenuineEndurance, 0, true, PF::kResets,
     PS::kBrownOut, 0xFF, 0xFF, {}},
    {F::kDs1822, "DS1822", 0x22, {}, kFree, kGenuinePowerUp, false, false, B6::kTenMinusNibble, Cfg::kResolution, false,
     584'000, 615'000, 2.0, Busy::kAtOnce, kGenuineEndurance, 0, true, PF::kResets, PS::kBrownOut, 0xFF, 0xFF, {}},
    {F::kDs1825, "DS1825", 0x3B, {}, kFree, kGenuinePowerUp, false, false, B6::kTenMinusNibble, Cfg::kResolution, false,
     584'000, 615'000, 2.0, Busy::kAtOnce, kGenuineEndurance, 0, true, PF::kResets, PS::kBrownOut, 0xFF, 0xFF, {}},
};
static_assert(std::size(kProfiles) == kThermometerFamilyCount);

constexpr std::array<ThermometerFamily, kThermometerFamilyCount> kFamilies = {
    F::kA1, F::kA1Fishy, F::kA2, F::kA3, F::kB1, F::kB1v2, F::kB2, F::kC, F::kD1,
    F::kD2, F::kE,       F::kF,  F::kG,  F::kH,  F::kDs18s20, F::kDs1822, F::kDs1825,
};

// The documented function codes, and the undocumented ones the research
// reads without harm.
constexpr std::uint8_t kSafeCodes[] = {
    kConvertT, kWriteScratchpad, kReadScratchpad, kCopyScratchpad, kRecallE2, kReadPowerSupply,
    0x68,      0x93,             0x95,            0x63,            0x64,      0x90,
    0x91,      0x92,             0x97,            0x4D,            0xBA,      0xBB,
    0x8B,      0xDD,             0xEE,            0xDE,            0x2E,      0x19,
    0x8E,
};

bool same_name(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

}  // namespace

const FamilyProfile& family_profile(ThermometerFamily family) {
  const auto i = static_cast<std::size_t>(family);
  return kProfiles[i < std::size(kProfiles) ? i : 0];
}

bool host_may_send(std::uint8_t code) { return std::find(std::begin(kSafeCodes), std::end(kSafeCodes), code) != std::end(kSafeCodes); }

std::span<const ThermometerFamily> thermometer_families() { return kFamilies; }

std::string_view family_name(ThermometerFamily family) { return family_profile(family).name; }

std::optional<ThermometerFamily> parse_thermometer_family(std::string_view text) {
  for (const FamilyProfile& p : kProfiles)
    if (same_name(p.name, text)) return p.family;
  return std::nullopt;
}

std::uint8_t family_code(ThermometerFamily family) { return family_profile(family).code; }

ThermometerFamily family_for_code(std::uint8_t code) {
  switch (code) {
    case 0x10:
      return F::kDs18s20;
    case 0x22:
      return F::kDs1822;
    case 0x3B:
      return F::kDs1825;
    default:
      return F::kA1;
  }
}

Rom make_family_rom(ThermometerFamily family, std::uint64_t serial) {
  const FamilyProfile& p = family_profile(family);
  Rom rom{};
  rom[0] = p.code;
  int next = 0;  // the serial's byte that goes into the next free byte
  for (std::size_t i = 0; i < 6; ++i) {
    std::uint8_t b = p.rom_example[i];
    const auto free = static_cast<std::uint8_t>(~p.rom_fixed[i]);
    if (free != 0) b = static_cast<std::uint8_t>(b ^ (static_cast<std::uint8_t>(serial >> (8 * next++)) & free));
    rom[1 + i] = b;
  }
  rom[7] = crc8(rom.data(), 7);
  return rom;
}

}  // namespace onewire::sim
