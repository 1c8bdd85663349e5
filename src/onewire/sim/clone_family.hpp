// The families of DS18B20-like thermometers the simulated bus models: the
// genuine DS18B20 and the clone families that published research tells
// apart by their behaviour on the bus, beside the DS18S20, DS1822 and
// DS1825. A family fixes the ROM pattern, the power-up scratchpad, what the
// reserved bytes and the configuration register do, the conversion time
// and its scaling, the power supply, the EEPROM and the undocumented
// function codes the part answers (see Ds18x20).
#pragma once

#include "qvds18x20/export.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "onewire/link.hpp"

namespace onewire::sim {

// One family; the comment names its short name and what sets it apart.
enum class ThermometerFamily : std::uint8_t {
  kA1,       // "A1": genuine Maxim/Analog Devices DS18B20
  kA1Fishy,  // "A1-fishy": a genuine die sold outside the usual channel; 9 bits and TH = TL = 0 at power-up
  kA2,       // "A2": random TH/TL at power-up, conversion 325-502 ms
  kA3,       // "A3": like A1, but busy only about 1 ms after CONVERT T
  kB1,       // "B1": GXCAS/UMW; WRITE SCRATCHPAD spills into bytes 6 and 7, byte 6 stays 0C
  kB1v2,     // "B1v2": GXCAS 18B20T; like B1 without the spill, byte 6 follows the genuine rule
  kB2,       // "B2": 7Q-Tek QT18B20; like B1
  kC,        // "C": fixed 12 bits, 28-30 ms, EEPROM good for about 8 writes
  kD1,       // "D1": 25 degrees at power-up, about 11 ms, no EEPROM, RAM kept on a capacitor
  kD2,       // "D2": Mysentech MY18E20; 25 degrees at power-up, 462-523 ms, parasite power fails
  kE,        // "E": Novosense NS18B20; byte 6 follows the rule from power-up (10), 20-25 ms
  kF,        // "F": Xinbole; always 12 bits, about 27 ms, cannot be polled, no EEPROM
  kG,        // "G": byte 6 is 20h minus the low nibble, 227-293 ms
  kH,        // "H": conversion time grows by 1.4 per bit of resolution
  kDs18s20,  // "DS18S20": family 0x10, 9 bits with COUNT_REMAIN, two-byte WRITE SCRATCHPAD
  kDs1822,   // "DS1822": family 0x22, modelled as the genuine DS18B20
  kDs1825,   // "DS1825": family 0x3B, modelled as the genuine DS18B20
};

// How many families there are.
inline constexpr std::size_t kThermometerFamilyCount = 17;

// Every family, in the order of the enumeration.
QVDS_API std::span<const ThermometerFamily> thermometer_families();

// The short name: "A1", "A1-fishy", "B1v2", "C", "DS18S20", ...
QVDS_API std::string_view family_name(ThermometerFamily family);

// The family of a short name, case ignored; nothing for any other text.
QVDS_API std::optional<ThermometerFamily> parse_thermometer_family(std::string_view text);

// The 1-Wire family code the family's ROMs begin with: 0x28 for the
// DS18B20 and its clones, 0x10, 0x22 or 0x3B for the others.
QVDS_API std::uint8_t family_code(ThermometerFamily family);

// The model a ROM gets when no family is named: DS18S20 for 0x10, DS1822
// for 0x22, DS1825 for 0x3B, and the genuine DS18B20 (A1) for any other.
QVDS_API ThermometerFamily family_for_code(std::uint8_t code);

// A ROM that follows the family's published pattern, with a valid CRC.
// Serial 0 gives the family's example ROM as published (its CRC
// corrected where the published one is wrong); another serial changes the
// pattern's free bytes (exclusive-or with the serial's bytes, least
// significant first, into the free bytes in bus order) and keeps the fixed
// ones, so a family's ROMs differ by serial as far as its free bits reach.
// DS18S20, DS1822 and DS1825 ROMs are make_rom(code, serial).
QVDS_API Rom make_family_rom(ThermometerFamily family, std::uint64_t serial);

}  // namespace onewire::sim
