#include "onewire/ds18x20/clones.hpp"

#include <cctype>

namespace onewire::ds18x20 {

namespace {

struct Named {
  CloneFamily family;
  const char* name;
};
constexpr Named kNames[] = {
    {CloneFamily::kA1, "A1"}, {CloneFamily::kA1Fishy, "A1-fishy"}, {CloneFamily::kA2, "A2"},
    {CloneFamily::kA3, "A3"}, {CloneFamily::kB1, "B1"},             {CloneFamily::kB1v2, "B1v2"},
    {CloneFamily::kB2, "B2"}, {CloneFamily::kC, "C"},               {CloneFamily::kD1, "D1"},
    {CloneFamily::kD2, "D2"}, {CloneFamily::kE, "E"},               {CloneFamily::kF, "F"},
    {CloneFamily::kG, "G"},   {CloneFamily::kH, "H"},
};

std::string hex(std::uint8_t b) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  return {kDigits[b >> 4], kDigits[b & 15]};
}

bool same_text(const std::string& a, const char* b) {
  std::size_t i = 0;
  for (; i < a.size() && b[i] != '\0'; ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  return i == a.size() && b[i] == '\0';
}

}  // namespace

const char* clone_family_name(CloneFamily f) {
  for (const Named& n : kNames)
    if (n.family == f) return n.name;
  return "unknown";
}

CloneFamily clone_family_named(const std::string& name) {
  for (const Named& n : kNames)
    if (same_text(name, n.name)) return n.family;
  return CloneFamily::kUnknown;
}

RomEvidence rom_evidence(const std::array<std::uint8_t, 8>& rom) {
  RomEvidence e;
  if (rom[0] != 0x28) {
    e.text = "family " + hex(rom[0]) + ": not a DS18B20, no clone family applies";
    return e;
  }
  e.genuine_pattern = rom[5] == 0x00 && rom[6] == 0x00;
  e.a3_or_old = e.genuine_pattern && rom[4] == 0x00;
  auto hint = [&e](CloneFamily f, const std::string& why) {
    e.hints.push_back(f);
    e.text += (e.text.empty() ? "" : "; ") + why;
  };
  if (e.a3_or_old) {
    hint(CloneFamily::kA3, "bytes 4 to 6 are 00 (an A3 clone, or a genuine part over 15 years old)");
    e.hints.push_back(CloneFamily::kA1);
    return e;
  }
  if (e.genuine_pattern) {
    hint(CloneFamily::kA1, "bytes 5 and 6 are 00 (a genuine part's serial)");
    return e;
  }
  const std::string b1 = "byte 1 is " + hex(rom[1]);
  if (rom[1] == 0xAA) hint(CloneFamily::kB1, b1 + " (GXCAS: family B1)");
  if (rom[1] == 0xFF && rom[2] == 0x64) hint(CloneFamily::kC, "bytes 1 and 2 are FF 64 (family C)");
  if (rom[1] == 0xFF) hint(CloneFamily::kB2, b1 + " (7Q-Tek: family B2)");
  if ((rom[3] == 0x77 && rom[4] == 0x91) || (rom[3] == 0x46 && rom[4] == 0x92))
    hint(CloneFamily::kD1, "bytes 3 and 4 are " + hex(rom[3]) + " " + hex(rom[4]) + " (family D1)");
  static constexpr std::uint8_t kD2Pairs[][2] = {{0x79, 0x97}, {0x94, 0x97}, {0x79, 0xA2},
                                                 {0x16, 0xA8}, {0x56, 0xB5}, {0x07, 0xD6}};
  for (const auto& p : kD2Pairs)
    if (rom[3] == p[0] && rom[4] == p[1])
      hint(CloneFamily::kD2, "bytes 3 and 4 are " + hex(rom[3]) + " " + hex(rom[4]) + " (family D2)");
  if (rom[1] == 0x00) {
    hint(CloneFamily::kE, b1 + " (family E, or A2)");
    e.hints.push_back(CloneFamily::kA2);
  }
  if (e.text.empty()) e.text = "bytes 5 and 6 are " + hex(rom[5]) + " " + hex(rom[6]) + ", not 00: not a genuine part";
  return e;
}

}  // namespace onewire::ds18x20
