// The family table below is the published clone research's, family by
// family: ROM patterns, power-up scratchpads, what byte 6 and the
// configuration register do, conversion times and their scaling, the
// busy signal, and the answers to the undocumented read codes. Where the
// research gives no value (A1-fishy's and A2's scaling, their busy
// signal) the row says "unknown" and that observation keeps the family.
#include "onewire/ds18x20/doctor_rules.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "onewire/ds18x20/family.hpp"

namespace onewire::ds18x20 {

namespace {

using F = CloneFamily;

// Byte 6 (reserved) as a family keeps it.
enum class Byte6 : std::uint8_t {
  kGenuine,  // 0C at power-up and after a failure, 10 - (LSB & 0F) after a conversion
  kAlways,   // 10 - (LSB & 0F) always, from power-up on (10 with 85.0)
  kTwenty,   // 0C at power-up, 20 - (LSB & 0F) after a conversion
  kSpills,   // 0C, or what the third (fourth) byte of WRITE SCRATCHPAD put there; 0C after a conversion
  kFixed0C,  // always 0C
  kOwn,      // a value of the part's own, which neither conversions nor writes change
};

// What a write of the configuration byte leaves in it.
enum class Config : std::uint8_t {
  kMask,     // 0 R1 R0 1 1 1 1 1: only the resolution bits are taken
  kFixed7F,  // always 7F
  kBit7,     // bit 7 is taken, the rest reads 7F (12 bits)
};

// How the conversion time grows per bit of resolution.
enum class Scale : std::uint8_t { kUnknown, kHalves, kRoot2, kNone, kFixed };

// What read slots after CONVERT T show on external power.
enum class Busy : std::uint8_t { kUnknown, kAtOnce, kLate, kNever };

struct Traits {
  F family;
  Byte6 byte6;
  Config config;
  bool spills;   // the fourth and fifth bytes of WRITE SCRATCHPAD land in bytes 6 and 7
  bool d_bytes;  // byte 5 is not FF, byte 7 not 10 (the D families)
  // The 12-bit conversion time in ms; 0: not measured (cannot be polled).
  int t12_min;
  int t12_max;
  Scale scale;
  Busy busy;
  // Factory TH, TL and configuration (0 TH and TL with `random_alarms`).
  std::uint8_t th, tl, cfg;
  bool random_alarms;
  const char* parasite;
  const char* eeprom;
  const char* meaning;
};

// "About" values of the research (B1v2 about 650 ms, D1 about 11, H 279)
// get 15 % either side; every range is widened once more when compared
// (kTimeTolerance), since the research measured at 0-30 degrees.
const Traits kTraits[] = {
    {F::kA1, Byte6::kGenuine, Config::kMask, false, false, 580, 615, Scale::kHalves, Busy::kAtOnce, 0x4B, 0x46, 0x7F,
     false, "parasite power works", "EEPROM good for at least 50 000 writes",
     "A genuine Maxim/Analog Devices DS18B20: parasite power works, the resolution is 9 to 12 bits and the "
     "conversion time halves with each bit removed (about 600 ms at 12 bits), the EEPROM takes at least 50 000 "
     "writes, and it reads about 0.1 degrees high at 0 degrees."},
    {F::kA1Fishy, Byte6::kGenuine, Config::kMask, false, false, 400, 500, Scale::kUnknown, Busy::kUnknown, 0x00, 0x00,
     0x1F, false, "parasite power likely works (a genuine die)", "EEPROM likely genuine (a genuine die)",
     "A genuine die sold under another name (\"QT18B20\"): it starts at 9 bits with TH and TL 0, its trims are left "
     "at 0, and its 12-bit conversion takes 400 to 500 ms. It should behave as a genuine part otherwise; parasite "
     "power and EEPROM were not tested apart."},
    {F::kA2, Byte6::kGenuine, Config::kMask, false, false, 325, 502, Scale::kUnknown, Busy::kUnknown, 0x00, 0x00, 0x7F,
     true, "parasite power doubtful (one sample failed)", "EEPROM untested",
     "A clone with a genuine-looking scratchpad: it reads 1.8 to 3.5 degrees low at 0 degrees, its 12-bit "
     "conversion takes 325 to 502 ms (about 10 % longer per 100 degrees), its TH and TL start at random values, "
     "one sample failed on parasite power, and some of its ROMs fail their CRC."},
    {F::kA3, Byte6::kGenuine, Config::kMask, false, false, 577, 626, Scale::kHalves, Busy::kLate, 0x7F, 0x80, 0x7F,
     false, "parasite power works", "EEPROM untested",
     "A clone that passes the genuine part's scratchpad tests: it reports busy only about a millisecond after "
     "CONVERT T (a host polling at once would take it for done), converts in 577 to 626 ms at 12 bits, halving "
     "per bit, and parasite power works; its EEPROM was not tested."},
    {F::kB1, Byte6::kSpills, Config::kMask, true, false, 589, 728, Scale::kHalves, Busy::kAtOnce, 0x4B, 0x46, 0x7F,
     false, "parasite power works", "EEPROM untested",
     "A GXCAS (or UMW) clone: parasite power works, the resolution is 9 to 12 bits and its 12-bit conversion takes "
     "589 to 728 ms, halving per bit. WRITE SCRATCHPAD spills into byte 6, which stays 0C after a conversion, so "
     "byte 6 cannot tell its power-on 85.0 from a real one; its ROM can be rewritten; its EEPROM was not tested."},
    {F::kB1v2, Byte6::kGenuine, Config::kMask, false, false, 553, 748, Scale::kHalves, Busy::kAtOnce, 0x4B, 0x46,
     0x7F, false, "parasite power works", "EEPROM untested",
     "The 2024 GXCAS clone (18B20T): it behaves as a genuine part in the scratchpad tests, converts in about "
     "650 ms at 12 bits, halving per bit, and parasite power works; its ROM can be rewritten and its EEPROM was not "
     "tested."},
    {F::kB2, Byte6::kSpills, Config::kMask, true, false, 587, 697, Scale::kHalves, Busy::kAtOnce, 0x4B, 0x46, 0x7F,
     false, "parasite power works", "EEPROM untested",
     "A 7Q-Tek QT18B20 clone: as B1 (WRITE SCRATCHPAD spills into byte 6, which cannot tell its power-on 85.0 from "
     "a real one), 587 to 697 ms at 12 bits, halving per bit, parasite power works; it reads about 0.25 to 0.5 "
     "degrees low; its EEPROM was not tested."},
    {F::kC, Byte6::kFixed0C, Config::kFixed7F, false, false, 28, 30, Scale::kFixed, Busy::kAtOnce, 0x55, 0x00, 0x7F,
     false, "parasite power works", "EEPROM wears out after about 8 writes",
     "A clone fixed at 12 bits (a lower resolution is refused) that converts in 28 to 30 ms. Its EEPROM survives "
     "only about 8 writes: never save settings to it. READ POWER SUPPLY can wrongly say parasite when DQ came up "
     "before VDD. Byte 6 is always 0C, so it cannot tell its power-on 85.0 from a real one."},
    {F::kD1, Byte6::kOwn, Config::kMask, false, true, 9, 13, Scale::kNone, Busy::kAtOnce, 0x55, 0x05, 0x7F, false,
     "parasite power fails on some parts", "no EEPROM",
     "A Mysentech clone: it starts at 25.0 degrees, converts in about 11 ms whatever the resolution, is noisy with "
     "errors up to 3 degrees, and has no EEPROM (a capacitor keeps its settings for minutes). Parasite power fails "
     "on parts whose hidden register starts 06."},
    {F::kD2, Byte6::kOwn, Config::kMask, false, true, 462, 523, Scale::kNone, Busy::kAtOnce, 0x55, 0x05, 0x7F, false,
     "parasite power fails (it pulls the line low)", "EEPROM untested",
     "A Mysentech MY18E20 clone: it starts at 25.0 degrees, converts in 462 to 523 ms whatever the resolution, and "
     "parasite power fails: it pulls the line low. Parts from 2019 are noisy with errors up to 3 degrees."},
    {F::kE, Byte6::kAlways, Config::kMask, false, false, 20, 50, Scale::kNone, Busy::kAtOnce, 0x4B, 0x46, 0x7F, false,
     "parasite power works", "EEPROM untested",
     "A Novosense NS18B20 clone: it converts in 20 to 25 ms whatever the resolution, parasite power works, and it "
     "reads well (about +0.02 degrees). Byte 6 holds 10 from power-up on, so it cannot tell its power-on 85.0 from a "
     "real one."},
    {F::kF, Byte6::kFixed0C, Config::kBit7, false, false, 0, 0, Scale::kFixed, Busy::kNever, 0x55, 0x00, 0x7F, false,
     "parasite power fails with VDD tied to GND", "no EEPROM",
     "A Xinbole clone: always 12 bits (config bit 7 selects a range up to 150 degrees), about 27 ms per conversion, "
     "and it cannot be polled (it never reports busy), so a host waits the whole time. It has no EEPROM: settings "
     "are lost at power-off. Parasite power fails with VDD tied to GND. An 85.0 from it cannot be confirmed."},
    {F::kG, Byte6::kTwenty, Config::kMask, false, false, 226, 320, Scale::kHalves, Busy::kAtOnce, 0x55, 0xAA, 0x7F,
     false, "parasite power works", "EEPROM untested",
     "A clone (\"HX18B20\", \"HT18B20\") converting in 226 to 320 ms at 12 bits, halving per bit. Parasite power "
     "works, but reading it during a parasite conversion makes it hold the line low for up to a second. A capacitor "
     "keeps its scratchpad through 100 ms without power."},
    {F::kH, Byte6::kGenuine, Config::kMask, false, false, 237, 321, Scale::kRoot2, Busy::kAtOnce, 0x55, 0xAA, 0x7F,
     false, "parasite power works", "EEPROM untested",
     "A clone whose conversion time grows by about 1.4 per bit (101, 141, 198 and 279 ms at 9 to 12 bits). Parasite "
     "power works, but changes between parasite and external power are not reported reliably. A capacitor keeps "
     "its scratchpad through 100 ms without power."},
};

constexpr F kAll[] = {F::kA1, F::kA1Fishy, F::kA2, F::kA3, F::kB1, F::kB1v2, F::kB2,
                      F::kC,  F::kD1,      F::kD2, F::kE,  F::kF,  F::kG,    F::kH};

const Traits& traits(F f) {
  for (const Traits& t : kTraits)
    if (t.family == f) return t;
  return kTraits[0];
}

// A measured 12-bit time fits a family's range this widely.
constexpr double kTimeTolerance = 0.10;
constexpr double kTimeSlackMs = 5.0;

// The research's limits of a genuine 12-bit conversion, and of the
// scaling classes (mean ratio of successive resolutions' times).
constexpr double kGenuineLowMs = 550.0;
constexpr double kGenuineHighMs = 660.0;
constexpr double kHalvesRatio = 2.0, kHalvesSpread = 0.3;
constexpr double kRoot2Ratio = 1.41, kRoot2Spread = 0.2;
constexpr double kFlatRatio = 1.0, kFlatSpread = 0.15;

constexpr std::uint16_t kPowerOnRaw = 0x0550;
constexpr std::uint16_t kFailedRaw = 0x07FF;
constexpr std::uint16_t kDPowerOnRaw = 0x0190;

constexpr UndocumentedRead kUndocumented[] = {
    {0x68, 1}, {0x93, 1}, {0x97, 1}, {0x8B, 9}, {0xDE, 2}, {0x19, 3}, {0x8E, 1},
};

std::string hex(std::uint8_t b) {
  char text[3];
  std::snprintf(text, sizeof text, "%02X", b);
  return text;
}

std::uint16_t raw_of(const Scratchpad& pad) { return static_cast<std::uint16_t>(pad[1] << 8 | pad[0]); }
std::uint8_t rule10(const Scratchpad& pad) { return static_cast<std::uint8_t>(0x10 - (pad[0] & 0x0F)); }
std::uint8_t rule20(const Scratchpad& pad) { return static_cast<std::uint8_t>(0x20 - (pad[0] & 0x0F)); }
bool power_on_like(const Scratchpad& pad) { return raw_of(pad) == kPowerOnRaw || raw_of(pad) == kFailedRaw; }

std::string join(const std::vector<std::string>& words, const char* separator) {
  std::string text;
  for (const auto& w : words) text += (text.empty() ? "" : separator) + w;
  return text;
}

std::string family_list(const std::vector<F>& families) {
  std::vector<std::string> names;
  for (F f : families) names.emplace_back(clone_family_name(f));
  if (names.size() <= 1) return join(names, "");
  std::string last = names.back();
  names.pop_back();
  return join(names, ", ") + " or " + last;
}

std::string ms_text(double ms) {
  char text[32];
  std::snprintf(text, sizeof text, ms < 100 ? "%.1f ms" : "%.0f ms", ms);
  return text;
}

double ms_of(Micros t) { return static_cast<double>(t.count()) / 1000.0; }

// --- tier 0: the ROM ---

bool genuine_serial(const std::array<std::uint8_t, 8>& rom) { return rom[5] == 0x00 && rom[6] == 0x00; }

// Whether a ROM follows a family's published pattern.
bool rom_fits(F f, const std::array<std::uint8_t, 8>& r) {
  const bool genuine = genuine_serial(r);
  switch (f) {
    case F::kA1: return genuine;
    case F::kA1Fishy: return genuine && r[4] == 0x03 && (r[3] & 0xF0) == 0xC0;
    case F::kA2: return !genuine && ((r[1] == 0x00 && r[3] == 0x00) || r[2] == 0x00);
    case F::kA3: return genuine && r[4] == 0x00;
    case F::kB2: return !genuine && r[1] == 0xFF;
    case F::kC: return !genuine && r[2] == 0x64 && (r[1] == 0xFF || r[1] == 0x61);
    case F::kD1: return (r[3] == 0x77 && r[4] == 0x91) || (r[3] == 0x46 && r[4] == 0x92);
    case F::kD2: {
      static constexpr std::uint8_t kPairs[][2] = {{0x79, 0x97}, {0x94, 0x97}, {0x79, 0xA2},
                                                   {0x16, 0xA8}, {0x56, 0xB5}, {0x07, 0xD6}};
      for (const auto& p : kPairs)
        if (r[3] == p[0] && r[4] == p[1]) return true;
      return false;
    }
    case F::kE: return !genuine && r[1] == 0x00;
    default: return !genuine;  // B1, B1v2, F, G, H: bytes that look random, never a genuine serial
  }
}

// How strongly the ROM points at a family: 0 it does not fit, 1 it fits
// a pattern of random bytes, 2 its distinctive bytes are there, 3 they
// are distinctive beyond another family's (C's FF 64 over B2's FF).
int rom_score(F f, const std::array<std::uint8_t, 8>& r) {
  if (!rom_fits(f, r)) return 0;
  switch (f) {
    case F::kA1: return r[4] == 0x00 ? 1 : 2;  // bytes 4-6 zero: the research counts it as A3
    case F::kA3:
    case F::kA1Fishy:
    case F::kA2:
    case F::kE:
    case F::kB2: return 2;
    case F::kB1: return r[1] == 0xAA ? 2 : 1;
    case F::kC:
    case F::kD1:
    case F::kD2: return 3;
    default: return 1;
  }
}

// --- the candidates and what narrowed them ---

class Sieve {
 public:
  Sieve() : left_(std::begin(kAll), std::end(kAll)) {}

  // Keeps the families `fits` accepts, and says what was seen and what it
  // left.
  template <typename Fits>
  void keep(const std::string& seen, Fits fits) {
    std::vector<F> kept, dropped;
    for (F f : kAll) (fits(f) ? kept : dropped).push_back(f);
    std::vector<F> left;
    for (F f : left_)
      if (fits(f)) left.push_back(f);
    left_ = left;
    std::string says;
    if (dropped.empty())
      says = "any family";
    else if (kept.empty())
      says = "no known family";
    else if (kept.size() <= 4)
      says = family_list(kept);
    else
      says = "not " + family_list(dropped);
    evidence_.push_back(seen + ": " + says);
  }
  // A behaviour test (not the ROM) kept this family.
  void behaviour_seen() { behaviour_ = true; }

  const std::vector<F>& left() const { return left_; }
  std::vector<std::string>& evidence() { return evidence_; }
  bool behaviour() const { return behaviour_; }

 private:
  std::vector<F> left_;
  std::vector<std::string> evidence_;
  bool behaviour_ = false;
};

// --- tier 1: the scratchpad as found ---

// Whether a family can hold `pad` at all, its history unknown (a value
// of an earlier conversion, of power-up, or writes by another program).
bool byte6_fits(F f, const Scratchpad& pad) {
  const Traits& t = traits(f);
  const std::uint8_t b6 = pad[6];
  const bool at_power_on = power_on_like(pad);
  // Below 12 bits the low bits of byte 0 are undefined, and so is the
  // rule they set for byte 6.
  const bool twelve_bits = resolution_of(pad[4]) == 12;
  switch (t.byte6) {
    case Byte6::kGenuine:
      if (at_power_on) return b6 == 0x0C || b6 == rule10(pad);
      return !twelve_bits || b6 == rule10(pad);
    case Byte6::kAlways: return !twelve_bits || b6 == rule10(pad);
    case Byte6::kTwenty:
      if (at_power_on) return b6 == 0x0C;
      return !twelve_bits || b6 == rule20(pad);
    case Byte6::kFixed0C: return b6 == 0x0C;
    case Byte6::kSpills:
    case Byte6::kOwn: return true;
  }
  return true;
}

bool config_fits(F f, std::uint8_t cfg) {
  switch (traits(f).config) {
    case Config::kMask: return (cfg & 0x9F) == 0x1F;
    case Config::kFixed7F: return cfg == 0x7F;
    case Config::kBit7: return (cfg & 0x7F) == 0x7F;
  }
  return true;
}

// The configuration a family keeps after `written`.
std::uint8_t config_after(F f, std::uint8_t written) {
  switch (traits(f).config) {
    case Config::kMask: return static_cast<std::uint8_t>((written & 0x60) | 0x1F);
    case Config::kFixed7F: return 0x7F;
    case Config::kBit7: return static_cast<std::uint8_t>((written & 0x80) | 0x7F);
  }
  return written;
}

void look_at_rom(Sieve& s, const std::array<std::uint8_t, 8>& rom, std::vector<std::string>& faults) {
  const RomEvidence e = rom_evidence(rom);
  if (!e.genuine_pattern)
    faults.push_back("ROM bytes 5 and 6 are " + hex(rom[5]) + " " + hex(rom[6]) + ", not a genuine part's 00 00");
  else if (e.a3_or_old)
    faults.push_back("ROM bytes 4 to 6 are 00: an A3 clone, or a genuine part more than 15 years old");
  s.evidence().push_back("ROM: " + e.text);
}

void look_at_found(Sieve& s, const Scratchpad& pad, std::vector<std::string>& faults) {
  if (pad[5] != 0xFF) faults.push_back("scratchpad byte 5 is " + hex(pad[5]) + ", not FF");
  if (pad[7] != 0x10) faults.push_back("scratchpad byte 7 is " + hex(pad[7]) + ", not 10");
  const bool d_bytes = pad[5] != 0xFF;
  s.keep(d_bytes ? "byte 5 is " + hex(pad[5]) + " (a genuine part's is FF)" : "byte 5 is FF",
         [&](F f) { return traits(f).d_bytes == d_bytes; });
  if (pad[7] != 0x10)
    s.keep("byte 7 is " + hex(pad[7]) + " (a genuine part's is 10)",
           [](F f) { return traits(f).d_bytes || traits(f).spills; });

  const std::uint16_t raw = raw_of(pad);
  const std::uint8_t b6 = pad[6];
  const bool twelve_bits = resolution_of(pad[4]) == 12;
  if (b6 == 0x00 || b6 > 0x10 || (raw != kPowerOnRaw && raw != kFailedRaw && twelve_bits && b6 != rule10(pad)))
    faults.push_back("byte 6 is " + hex(b6) + " with the value " + hex(pad[1]) + hex(pad[0]) +
                     (power_on_like(pad) ? "" : " (a genuine part's would be " + hex(rule10(pad)) + ")"));
  s.keep("byte 6 is " + hex(b6) + " with the value " + hex(pad[1]) + " " + hex(pad[0]),
         [&](F f) { return byte6_fits(f, pad); });

  const std::uint8_t cfg = pad[4];
  if ((cfg & 0x9F) != 0x1F) faults.push_back("the configuration is " + hex(cfg) + ", not 0 R1 R0 1 1 1 1 1");
  s.keep("the configuration is " + hex(cfg), [&](F f) { return config_fits(f, cfg); });
}

// --- tier 2: the writes ---

// What a family's scratchpad holds after `bytes` were written over
// `before`, in the bytes a write can touch (2 to 7).
Scratchpad expected_after(F f, const Scratchpad& before, const WriteBytes& bytes) {
  Scratchpad e = before;
  e[2] = bytes.data[0];
  e[3] = bytes.data[1];
  e[4] = config_after(f, bytes.data[2]);
  if (traits(f).spills) {
    e[6] = bytes.data[2];  // the third byte as written
    if (bytes.length >= 4) e[6] = bytes.data[3];
    if (bytes.length >= 5) e[7] = bytes.data[4];
  }
  return e;
}

bool same_bytes_2_to_7(const Scratchpad& a, const Scratchpad& b) { return std::equal(a.begin() + 2, a.begin() + 8, b.begin() + 2); }

void look_at_writes(Sieve& s, const Observation& seen, std::vector<std::string>& faults) {
  std::optional<Scratchpad> before = seen.found;
  for (std::size_t i = 0; i < kWriteTests; ++i) {
    const auto test = static_cast<WriteTest>(i);
    const std::optional<Scratchpad>& after = seen.after_write[i];
    if (!after || !before) {
      before.reset();  // what the next write found is not known
      continue;
    }
    const WriteBytes bytes = write_test_bytes(test, *seen.found);
    const Scratchpad& b = *before;
    const Scratchpad& a = *after;
    // What a genuine part does, fault by fault.
    if (a[2] != bytes.data[0] || a[3] != bytes.data[1])
      faults.push_back("TH and TL did not take " + hex(bytes.data[0]) + " " + hex(bytes.data[1]) + " (they read " +
                       hex(a[2]) + " " + hex(a[3]) + ")");
    const std::uint8_t genuine_cfg = config_after(F::kA1, bytes.data[2]);
    if (a[4] != genuine_cfg)
      faults.push_back("the configuration " + hex(bytes.data[2]) + " read back as " + hex(a[4]) + ", not " +
                       hex(genuine_cfg));
    if (a[5] != b[5] || a[6] != b[6] || a[7] != b[7]) {
      if (bytes.length == 5 && a[6] == bytes.data[3] && a[7] == bytes.data[4])
        faults.push_back("the fourth and fifth bytes of WRITE SCRATCHPAD landed in bytes 6 and 7");
      else if (bytes.length == 3 && a[6] == bytes.data[2] && a[5] == b[5] && a[7] == b[7])
        faults.push_back("the configuration byte of WRITE SCRATCHPAD landed in byte 6 too");
      else
        faults.push_back("WRITE SCRATCHPAD changed reserved bytes 5 to 7 (" + hex(b[5]) + " " + hex(b[6]) + " " +
                         hex(b[7]) + " to " + hex(a[5]) + " " + hex(a[6]) + " " + hex(a[7]) + ")");
    }
    std::string what;
    switch (test) {
      case WriteTest::kFiveBytes: what = "five data bytes (TH, TL, 7F, 11, 22) left bytes 6 and 7 at "; break;
      case WriteTest::kConfig00: what = "configuration 00 read back as " + hex(a[4]) + ", byte 6 at "; break;
      case WriteTest::kConfigFF: what = "configuration FF read back as " + hex(a[4]) + ", byte 6 at "; break;
      case WriteTest::kInverted:
        what = "inverted TH, TL and 3F read back as " + hex(a[2]) + " " + hex(a[3]) + " " + hex(a[4]) + ", byte 6 at ";
        break;
      case WriteTest::kBack: what = "configuration 7F read back as " + hex(a[4]) + ", byte 6 at "; break;
    }
    what += test == WriteTest::kFiveBytes ? hex(a[6]) + " " + hex(a[7]) : hex(a[6]);
    s.keep(what, [&](F f) { return same_bytes_2_to_7(expected_after(f, b, bytes), a); });
    s.behaviour_seen();
    before = after;
  }
}

// --- tier 2: the conversions ---

const Scratchpad* decisive(const std::vector<Scratchpad>& converted, bool busy_seen) {
  for (const Scratchpad& p : converted)
    if (decides_byte6(p, busy_seen)) return &p;
  return nullptr;
}

bool byte6_after_conversion_fits(F f, const Scratchpad& pad, const Scratchpad* before) {
  switch (traits(f).byte6) {
    case Byte6::kGenuine:
    case Byte6::kAlways: return pad[6] == rule10(pad);
    case Byte6::kTwenty: return pad[6] == rule20(pad);
    case Byte6::kSpills:
    case Byte6::kFixed0C: return pad[6] == 0x0C;
    case Byte6::kOwn: return before == nullptr || pad[6] == (*before)[6];
  }
  return true;
}

Scale scale_of(double ratio) {
  if (std::fabs(ratio - kHalvesRatio) <= kHalvesSpread) return Scale::kHalves;
  if (std::fabs(ratio - kRoot2Ratio) <= kRoot2Spread) return Scale::kRoot2;
  if (std::fabs(ratio - kFlatRatio) <= kFlatSpread) return Scale::kNone;
  return Scale::kUnknown;
}

bool time_fits(F f, double ms) {
  const Traits& t = traits(f);
  if (t.t12_max == 0) return false;  // a part that cannot be polled shows no time
  const double low = t.t12_min * (1.0 - kTimeTolerance) - kTimeSlackMs;
  const double high = t.t12_max * (1.0 + kTimeTolerance) + kTimeSlackMs;
  return ms >= low && ms <= high;
}

void look_at_conversions(Sieve& s, const Observation& seen, Verdict& v) {
  // The scratchpad just before the conversions: the last write's read.
  const Scratchpad* before = nullptr;
  for (std::size_t i = kWriteTests; i-- > 0;)
    if (seen.after_write[i]) {
      before = &*seen.after_write[i];
      break;
    }
  if (before == nullptr && seen.found) before = &*seen.found;

  bool busy_seen = false;
  bool any_timed = false;
  for (const auto& t : seen.timed)
    if (t) {
      any_timed = true;
      busy_seen = busy_seen || t->busy_seen();
    }
  const Scratchpad* pad = decisive(seen.converted, busy_seen);
  bool moved = false;
  for (const Scratchpad& p : seen.converted) moved = moved || !looks_unconverted(p);
  v.conversion_asked = any_timed || !seen.converted.empty();
  v.converted = busy_seen || moved;
  if (!v.conversion_asked) return;
  if (!v.converted) {
    v.faults.push_back("it did not convert: no read slot showed it busy and its value stayed " +
                       std::string(seen.converted.empty() ? "as it was" : "its power-on value"));
    v.untested.push_back("byte 6 after a conversion and the conversion times: it did not convert");
    return;
  }

  // The byte-6 rule after a 12-bit conversion.
  if (pad != nullptr) {
    const Scratchpad& p = *pad;
    if (p[6] == 0x0C || p[6] != rule10(p))
      v.faults.push_back("byte 6 after a 12-bit conversion is " + hex(p[6]) + " with the value " + hex(p[1]) +
                         hex(p[0]) + ", not 10 - (LSB & 0F) = " + hex(rule10(p)));
    s.keep("byte 6 after a 12-bit conversion is " + hex(p[6]) + " with the value " + hex(p[1]) + " " + hex(p[0]),
           [&](F f) { return byte6_after_conversion_fits(f, p, before); });
    s.behaviour_seen();
  } else if (!seen.converted.empty()) {
    v.untested.push_back("byte 6 after a conversion: every value it read could not decide it");
  }

  if (!any_timed) return;
  // The busy signal, from the conversions that were timed.
  int at_once = 0, at_probe = 0, timed = 0;
  for (const auto& t : seen.timed)
    if (t) {
      ++timed;
      at_once += t->busy_at_once ? 1 : 0;
      at_probe += t->busy_at_probe ? 1 : 0;
    }
  if (at_probe == 0) {
    v.faults.push_back("no read slot 3 ms after CONVERT T showed it busy: it cannot be polled");
    s.keep("never busy after CONVERT T", [](F f) {
      return traits(f).busy == Busy::kNever || traits(f).busy == Busy::kUnknown;
    });
  } else {
    s.keep("busy 3 ms after CONVERT T", [](F f) { return traits(f).busy != Busy::kNever; });
    if (at_once == 0) {
      v.faults.push_back("not busy right after CONVERT T, only later");
      s.keep("busy only a moment after CONVERT T",
             [](F f) { return traits(f).busy == Busy::kLate || traits(f).busy == Busy::kUnknown; });
    } else if (at_once == timed) {
      s.keep("busy right after CONVERT T", [](F f) { return traits(f).busy != Busy::kLate; });
    } else {
      v.faults.push_back("busy right after CONVERT T in " + std::to_string(at_once) + " of " +
                         std::to_string(timed) + " conversions");
    }
  }
  s.behaviour_seen();

  // The resolutions it took, and its times.
  bool changeable = true;
  for (int i = 0; i < 3; ++i) {
    const auto& cfg = seen.timing_config_read[static_cast<std::size_t>(i)];
    if (cfg && *cfg != timing_config(9 + i)) changeable = false;
  }
  std::array<std::optional<double>, 4> ms;
  for (std::size_t i = 0; i < 4; ++i)
    if (seen.timed[i] && seen.timed[i]->time) ms[i] = ms_of(*seen.timed[i]->time);
  if (seen.timed[3] && seen.timed[3]->timed_out) v.faults.push_back("still busy 3 s after CONVERT T at 12 bits");
  if (ms[3]) {
    v.time12 = *seen.timed[3]->time;
    const double t12 = *ms[3];
    if (t12 < kGenuineLowMs || t12 > kGenuineHighMs)
      v.faults.push_back("its 12-bit conversion took " + ms_text(t12) +
                         ", outside 550-660 ms (a genuine part takes 580-615 ms)");
    s.keep("its 12-bit conversion took " + ms_text(t12), [&](F f) { return time_fits(f, t12); });
  }
  if (changeable && ms[0] && ms[1] && ms[2] && ms[3] && *ms[0] > 0 && *ms[1] > 0 && *ms[2] > 0) {
    const double ratio = (*ms[1] / *ms[0] + *ms[2] / *ms[1] + *ms[3] / *ms[2]) / 3.0;
    v.ratio = ratio;
    const Scale scale = scale_of(ratio);
    char text[96];
    std::snprintf(text, sizeof text, "9 to 12 bits took %s, %s, %s and %s: x%.2f per bit", ms_text(*ms[0]).c_str(),
                  ms_text(*ms[1]).c_str(), ms_text(*ms[2]).c_str(), ms_text(*ms[3]).c_str(), ratio);
    if (scale != Scale::kHalves) {
      char fault[96];
      std::snprintf(fault, sizeof fault, "its conversion time does not halve per bit (x%.2f)", ratio);
      v.faults.push_back(fault);
    }
    s.keep(text, [&](F f) {
      const Scale own = traits(f).scale;
      return own == Scale::kUnknown || (scale != Scale::kUnknown && own == scale);
    });
  } else if (!changeable) {
    v.untested.push_back("the scaling of its conversion time: its resolution cannot be changed");
  }
}

// --- tier 3 ---

void look_at_undocumented(Sieve& s, const UndocumentedAnswers& u) {
  const auto is_a = [](F f) { return f == F::kA1 || f == F::kA1Fishy || f == F::kA2 || f == F::kA3; };
  const auto is_b = [](F f) { return f == F::kB1 || f == F::kB1v2 || f == F::kB2; };
  const auto is_d = [](F f) { return f == F::kD1 || f == F::kD2; };
  // 68: the second trim byte of family A.
  const std::uint8_t t2 = u.trim2;
  s.keep("code 68 answered " + hex(t2), [&](F f) {
    if (t2 == 0xFF) return !is_a(f);
    if (t2 == 0xDB || t2 == 0xDC || t2 == 0x73 || t2 == 0x74) return f == F::kA1;
    if (t2 == 0xFB || t2 == 0xFC) return f == F::kA2;
    if (t2 == 0x00) return f == F::kA1Fishy;  // its trims are left at 0
    return f == F::kA3;
  });
  // 93 answers on A1 and the B families; C, E, F, G and H, and A3 by
  // default, leave it.
  s.keep("code 93 answered " + hex(u.trim1), [&](F f) {
    if (u.trim1 == 0xFF) return !is_b(f);
    return is_a(f) || is_b(f) || is_d(f);
  });
  const std::uint8_t b = u.b_marker;
  s.keep("code 97 answered " + hex(b), [&](F f) {
    if (b == 0xFF) return !is_b(f);
    if (b == 0x22) return f == F::kB1 || f == F::kB1v2;
    if (b == 0x31) return f == F::kB2;
    return is_b(f);  // a B family not yet described
  });
  const std::uint8_t d = u.d_register[0];
  s.keep("code 8B answered " + hex(d) + "...", [&](F f) {
    if (d == 0xFF) return !is_d(f);
    if (d == 0x06 || d == 0x02) return f == F::kD1;
    if (d == 0x00) return f == F::kD2;
    return is_d(f);
  });
  const bool e = u.e_custom != std::array<std::uint8_t, 2>{0xFF, 0xFF};
  s.keep("code DE answered " + hex(u.e_custom[0]) + " " + hex(u.e_custom[1]),
         [&](F f) { return (f == F::kE) == e; });
  const bool fa = u.f_answer != std::array<std::uint8_t, 3>{0xFF, 0xFF, 0xFF};
  s.keep("code 19 answered " + hex(u.f_answer[0]) + " " + hex(u.f_answer[1]) + " " + hex(u.f_answer[2]),
         [&](F f) { return (f == F::kF) == fa; });
  const bool g = u.g_answer != 0xFF;
  s.keep("code 8E answered " + hex(u.g_answer), [&](F f) { return (f == F::kG) == g; });
  s.behaviour_seen();
}

// --- the choice ---

int defaults_score(F f, const std::optional<Scratchpad>& found) {
  if (!found) return 0;
  const Traits& t = traits(f);
  const Scratchpad& p = *found;
  if (t.random_alarms) return p[4] == t.cfg ? 0 : -1;
  const bool b2_2024 = f == F::kB2 && p[2] == 0x55 && p[3] == 0x00;
  const bool d2_2024 = f == F::kD2 && p[2] == 0x00 && p[3] == 0x00;
  return ((p[2] == t.th && p[3] == t.tl) || b2_2024 || d2_2024) && p[4] == t.cfg ? 1 : 0;
}

void choose(Verdict& v, Sieve& s, const std::array<std::uint8_t, 8>& rom, const std::optional<Scratchpad>& found,
            bool proof) {
  std::vector<F> left = s.left();
  if (left.empty()) {
    v.evidence.push_back("its behaviour fits no known family (a new family?)");
    v.family = F::kUnknown;
    v.confidence = Confidence::kNone;
    return;
  }
  // The ROM pattern, where it leaves any of what the behaviour left.
  std::vector<F> by_rom;
  for (F f : left)
    if (rom_fits(f, rom)) by_rom.push_back(f);
  bool rom_disagrees = false;
  if (by_rom.empty()) {
    rom_disagrees = true;
    v.evidence.push_back("its ROM follows the pattern of none of " + family_list(left) +
                         " (a rewritten ROM?)");
  } else {
    left = by_rom;
  }
  const auto score = [&](F f) { return 4 * rom_score(f, rom) + defaults_score(f, found); };
  std::stable_sort(left.begin(), left.end(), [&](F a, F b) { return score(a) > score(b); });
  v.candidates = left;
  if (left.size() == 1) {
    v.family = left.front();
    v.confidence = proof && !rom_disagrees ? Confidence::kHigh : Confidence::kMedium;
    if (rom_disagrees) v.confidence = Confidence::kLow;
    return;
  }
  if (score(left[0]) > score(left[1])) {
    v.family = left.front();
    v.confidence = Confidence::kLow;
    v.evidence.push_back(std::string(clone_family_name(v.family)) + " is the likeliest of " + family_list(left) +
                         " by its ROM pattern and factory settings");
    return;
  }
  v.family = F::kUnknown;
  v.confidence = Confidence::kNone;
  v.evidence.push_back("it could be " + family_list(left) + "; nothing seen tells them apart");
}

}  // namespace

bool looks_unconverted(const Scratchpad& pad) {
  return power_on_like(pad) || (d_family_signature(pad[5], pad[7]) && raw_of(pad) == kDPowerOnRaw);
}

bool decides_byte6(const Scratchpad& pad, bool busy_seen) {
  if (power_on_like(pad) || (!busy_seen && looks_unconverted(pad))) return false;
  return !(pad[6] == 0x0C && (pad[0] & 0x0F) == 0x04);
}

const char* confidence_name(Confidence c) {
  switch (c) {
    case Confidence::kNone: return "none";
    case Confidence::kLow: return "low";
    case Confidence::kMedium: return "medium";
    case Confidence::kHigh: return "high";
  }
  return "none";
}

WriteBytes write_test_bytes(WriteTest test, const Scratchpad& found) {
  WriteBytes w;
  const std::uint8_t th = found[2], tl = found[3];
  switch (test) {
    case WriteTest::kFiveBytes:
      w.data = {th, tl, 0x7F, 0x11, 0x22};
      w.length = 5;
      break;
    case WriteTest::kConfig00: w.data = {th, tl, 0x00}; break;
    case WriteTest::kConfigFF: w.data = {th, tl, 0xFF}; break;
    case WriteTest::kInverted:
      w.data = {static_cast<std::uint8_t>(th ^ 0xFF), static_cast<std::uint8_t>(tl ^ 0xFF), 0x3F};
      break;
    case WriteTest::kBack: w.data = {th, tl, 0x7F}; break;
  }
  return w;
}

std::span<const UndocumentedRead> undocumented_reads() { return kUndocumented; }

void UndocumentedAnswers::set(std::uint8_t code, std::span<const std::uint8_t> bytes) {
  const auto copy = [&](auto& into) {
    for (std::size_t i = 0; i < into.size() && i < bytes.size(); ++i) into[i] = bytes[i];
  };
  const auto one = [&](std::uint8_t& into) {
    if (!bytes.empty()) into = bytes[0];
  };
  switch (code) {
    case 0x68: one(trim2); break;
    case 0x93: one(trim1); break;
    case 0x97: one(b_marker); break;
    case 0x8B: copy(d_register); break;
    case 0x19: copy(f_answer); break;
    case 0x8E: one(g_answer); break;
    case 0xDE: copy(e_custom); break;
    default: break;
  }
}

Verdict classify(const Observation& seen) {
  Verdict v;
  if (seen.rom[0] != kFamilyDs18b20) {
    v.evidence.push_back(rom_evidence(seen.rom).text);
    return v;
  }
  Sieve s;
  look_at_rom(s, seen.rom, v.faults);
  if (seen.found) {
    look_at_found(s, *seen.found, v.faults);
  } else {
    v.untested.push_back("the scratchpad: it did not read sound");
  }
  look_at_writes(s, seen, v.faults);
  look_at_conversions(s, seen, v);
  if (seen.power == PowerSupply::kParasite && v.converted)
    s.keep("it converted on parasite power", [](F f) { return f != F::kD2; });
  if (seen.undocumented) look_at_undocumented(s, *seen.undocumented);
  v.evidence.insert(v.evidence.end(), s.evidence().begin(), s.evidence().end());
  // Proof is behaviour the family's own, seen: its timing or tier 3, or
  // writes and conversions that left one family.
  const bool timed = v.time12.has_value() || seen.undocumented.has_value();
  choose(v, s, seen.rom, seen.found, s.behaviour() && (timed || v.converted));
  // The faults repeat per test where a part fails several the same way.
  std::vector<std::string> unique;
  for (const auto& f : v.faults)
    if (std::find(unique.begin(), unique.end(), f) == unique.end()) unique.push_back(f);
  v.faults = unique;
  return v;
}

Verdict quick_family(const std::array<std::uint8_t, 8>& rom, const Scratchpad& pad, PowerSupply power) {
  Observation seen;
  seen.rom = rom;
  seen.power = power;
  if (check(pad) == ReadStatus::kRead) seen.found = pad;
  Verdict v = classify(seen);
  // One read proves nothing of behaviour.
  if (v.confidence == Confidence::kHigh) v.confidence = Confidence::kMedium;
  return v;
}

std::string family_label(CloneFamily f) {
  switch (f) {
    case F::kUnknown: return "unknown family";
    case F::kA1: return "genuine A1";
    case F::kA1Fishy: return "A1-fishy (a genuine die)";
    default: return std::string("clone ") + clone_family_name(f);
  }
}

const char* parasite_words(CloneFamily f) {
  return f == F::kUnknown ? "parasite power untested" : traits(f).parasite;
}

const char* eeprom_words(CloneFamily f) { return f == F::kUnknown ? "EEPROM untested" : traits(f).eeprom; }

std::string family_meaning(CloneFamily f) {
  if (f == F::kUnknown)
    return "Its behaviour matches no family the research describes, or several equally: treat parasite power, the "
           "EEPROM and lower resolutions as untested, and its values as qvds18x20 treats any DS18B20's.";
  std::string text = traits(f).meaning;
  switch (traits(f).byte6) {
    case Byte6::kSpills:
    case Byte6::kFixed0C:
    case Byte6::kAlways:
      text += f == F::kF ? " qvds18x20 shows an 85.0 from it as unconfirmed, never as a reading."
                         : " qvds18x20 confirms an 85.0 from it with a conversion of its own, and does not read it "
                           "when that shows nothing.";
      break;
    case Byte6::kOwn:
      text += " qvds18x20 confirms a 25.0 from it with a conversion of its own, and does not read it when that shows "
              "nothing.";
      break;
    default:
      break;
  }
  return text;
}

std::string summary_line(CloneFamily f, const ReadingCheck& check) {
  std::string reading;
  if (!check.status) {
    reading = "conversion not tested";
  } else {
    switch (*check.status) {
      case ReadStatus::kRead: reading = "reads right"; break;
      case ReadStatus::kUnconfirmed: reading = "no conversion seen: its value stays unconfirmed"; break;
      case ReadStatus::kPowerOnValue: reading = "did not convert (it holds its power-on value)"; break;
      case ReadStatus::kConversionFailed: reading = "its conversion failed"; break;
      case ReadStatus::kParasiteUnfed: reading = "cannot convert on this adapter (parasite power, no strong pull-up)"; break;
      default: reading = "not read (" + std::string(status_name(*check.status)) + ")"; break;
    }
  }
  if (check.crc_errors > 0)
    reading += "; CRC errors in " + std::to_string(check.crc_errors) + " of " + std::to_string(check.reads) + " reads";
  return family_label(f) + ": " + reading + "; " + parasite_words(f) + "; " + eeprom_words(f);
}

}  // namespace onewire::ds18x20
