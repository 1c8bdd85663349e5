// DS18B20 clone families (family code 0x28 parts not made by Maxim/ADI),
// and what a ROM alone says of which one a part is. The families are those
// of published research on counterfeit DS18B20s: A1 is the genuine part,
// the rest are clones that depart from the data sheet each in its own
// way. Pure rules: no I/O.
//
// Thread safety: pure functions and constants, for any thread at any time.
#pragma once

#include "qvds18x20/export.hpp"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace onewire::ds18x20 {

enum class CloneFamily : std::uint8_t {
  kUnknown = 0,
  kA1,       // genuine Maxim/ADI
  kA1Fishy,  // genuine die sold under another name
  kA2,
  kA3,
  kB1,  // GXCAS (UMW)
  kB1v2,
  kB2,  // 7Q-Tek QT18B20
  kC,
  kD1,  // Mysentech
  kD2,  // Mysentech MY18E20
  kE,   // Novosense NS18B20
  kF,   // Xinbole
  kG,
  kH,
};

// "A1", "B1v2", ..., "unknown".
QVDS_API const char* clone_family_name(CloneFamily f);
// The family a name gives ("a1" too); kUnknown for any other text.
QVDS_API CloneFamily clone_family_named(const std::string& name);

// What the ROM of a family-0x28 part says (tier 0 of the detection: no
// command sent).
struct QVDS_API RomEvidence {
  // Bytes 5 and 6 are 00: the serial counter of a genuine part (and of
  // A1-fishy and A3 parts); anything else there is a clone.
  bool genuine_pattern = false;
  // Bytes 4 to 6 are all 00: an A3 clone, or a genuine part more than 15
  // years old.
  bool a3_or_old = false;
  // The families the pattern points to, likeliest first (empty: none
  // known).
  std::vector<CloneFamily> hints;
  // The evidence in words: "bytes 5 and 6 are 00 (a genuine part's
  // serial)", "byte 1 is AA (GXCAS, family B1)".
  std::string text;
};
QVDS_API RomEvidence rom_evidence(const std::array<std::uint8_t, 8>& rom);

// Scratchpad bytes 5 to 7 of the D families: they differ from the data
// sheet's FF, 0C, 10 (byte 7 is 66 on the parts seen).
constexpr bool d_family_signature(std::uint8_t byte5, std::uint8_t byte7) { return byte5 != 0xFF || byte7 == 0x66; }

}  // namespace onewire::ds18x20
