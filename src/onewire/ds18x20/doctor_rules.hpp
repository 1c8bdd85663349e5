// Which family a DS18B20 (family code 0x28) belongs to, from what the
// safe tests of published clone research show on the bus, and what that
// family means for its owner. The tests come in tiers: the ROM alone
// (tier 0); READ POWER SUPPLY and one scratchpad (tier 1); WRITE
// SCRATCHPAD tests and timed conversions (tier 2: documented commands
// only, no EEPROM write); the answers to undocumented read codes (tier 3,
// only when the owner asks for them). Each observation keeps the families
// it fits; the ROM pattern ranks what is left. Pure rules: no I/O, the
// host makes the tests and fills an Observation.
//
// Thread safety: pure functions and plain values; use them from any
// thread.
#pragma once

#include "qvds18x20/export.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "onewire/ds18x20/clones.hpp"
#include "onewire/ds18x20/power.hpp"
#include "onewire/ds18x20/scratchpad.hpp"
#include "onewire/ds18x20/timing.hpp"

namespace onewire::ds18x20 {

// --- the tests a host makes ---

// The WRITE SCRATCHPAD tests, in the order they are made, each followed
// by a READ SCRATCHPAD. None reaches the EEPROM; the host writes the
// registers it found back afterwards.
enum class WriteTest : std::uint8_t {
  kFiveBytes,  // TH, TL, 7F and two bytes more (11, 22): a part that takes them shows them in bytes 6 and 7
  kConfig00,   // TH, TL, 00: a genuine part reads 1F back (only its resolution bits are writable)
  kConfigFF,   // TH, TL, FF: a genuine part reads 7F back
  kInverted,   // TH and TL inverted, 3F: the alarm bytes change and the configuration reads 3F
  kBack,       // TH, TL, 7F: 12 bits again, for the conversions that follow
};
inline constexpr std::size_t kWriteTests = 5;

// The data bytes of one WRITE SCRATCHPAD test (after the command byte).
struct QVDS_API WriteBytes {
  std::array<std::uint8_t, 5> data{};
  std::size_t length = 3;
};
// The bytes of `test` for a sensor whose scratchpad was `found`.
QVDS_API WriteBytes write_test_bytes(WriteTest test, const Scratchpad& found);

// The configuration the timing tests write for `bits` (9..12): 1F, 3F,
// 5F, 7F.
constexpr std::uint8_t timing_config(int bits) { return static_cast<std::uint8_t>(0x1F | ((bits - 9) & 3) << 5); }

// A timed conversion: CONVERT T to the sensor alone on external power,
// eight read slots at once, eight more kBusyProbe later, then eight every
// kTimingPoll until all read 1 or kTimingCap has passed.
inline constexpr Micros kBusyProbe{3000};
inline constexpr Micros kTimingPoll{1000};
inline constexpr Micros kTimingCap{3000000};

struct QVDS_API TimedConversion {
  // A slot right after CONVERT T read 0: the part said it was busy at
  // once.
  bool busy_at_once = false;
  // A slot kBusyProbe after CONVERT T read 0.
  bool busy_at_probe = false;
  // From CONVERT T to the first slots that all read 1 after the part was
  // seen busy; nothing when it was never seen busy, or when it timed out.
  std::optional<Micros> time;
  // Still busy when kTimingCap ran out.
  bool timed_out = false;
  bool busy_seen() const { return busy_at_once || busy_at_probe; }
};

// The undocumented read codes of tier 3 and how many bytes each is read
// for. Reads only: none of them writes anything, and no other code is
// ever sent (codes such as 94, 96, A3, 66, AB and 28 rewrite trims, ROMs
// or hidden registers and can ruin a part for good).
struct QVDS_API UndocumentedRead {
  std::uint8_t code;
  std::size_t length;
};
QVDS_API std::span<const UndocumentedRead> undocumented_reads();

// What the undocumented reads answered: FF, all FF, is no answer.
struct QVDS_API UndocumentedAnswers {
  std::uint8_t trim2 = 0xFF;  // 68
  std::uint8_t trim1 = 0xFF;  // 93
  std::uint8_t b_marker = 0xFF;  // 97
  std::array<std::uint8_t, 9> d_register{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};  // 8B
  std::array<std::uint8_t, 3> f_answer{0xFF, 0xFF, 0xFF};                                         // 19
  std::uint8_t g_answer = 0xFF;                                                                   // 8E
  std::array<std::uint8_t, 2> e_custom{0xFF, 0xFF};                                               // DE
  // Stores the answer to `code` (one of undocumented_reads()); other
  // codes are ignored.
  void set(std::uint8_t code, std::span<const std::uint8_t> bytes);
};

// Everything a host saw of one family-0x28 sensor. What was not looked at
// stays empty and says nothing.
struct QVDS_API Observation {
  std::array<std::uint8_t, 8> rom{};
  // Tier 1: READ POWER SUPPLY, and the scratchpad as it was found.
  PowerSupply power = PowerSupply::kUnknown;
  std::optional<Scratchpad> found;
  // Tier 2: the scratchpad after each WriteTest (indexed by it).
  std::array<std::optional<Scratchpad>, kWriteTests> after_write;
  // The configuration read back after writing timing_config(9 + i), and
  // the conversion timed then, for i = 0..3 (9..12 bits); external power
  // only.
  std::array<std::optional<std::uint8_t>, 4> timing_config_read;
  std::array<std::optional<TimedConversion>, 4> timed;
  // The scratchpads read after 12-bit conversions, in order: at most five,
  // further ones only while the value could not decide the byte-6 test.
  std::vector<Scratchpad> converted;
  // Tier 3, when it was asked for.
  std::optional<UndocumentedAnswers> undocumented;

  std::optional<Scratchpad>& after(WriteTest t) { return after_write[static_cast<std::size_t>(t)]; }
  const std::optional<Scratchpad>& after(WriteTest t) const { return after_write[static_cast<std::size_t>(t)]; }
};

// A value that is no sign of a conversion: 85.0 or 127.94 (the power-on
// and failed values), or 25.0 on a part with the D families' bytes
// (their power-on value).
QVDS_API bool looks_unconverted(const Scratchpad& pad);
// Whether a scratchpad read after a 12-bit conversion can decide the
// byte-6 test: not the power-on or failed value, not a value whose low
// nibble 4 makes 0C by the genuine rule too, and (unless the part was
// seen busy) not a D family's power-on 25.0. A host converts again, up
// to five times in all, while it cannot.
QVDS_API bool decides_byte6(const Scratchpad& pad, bool busy_seen);
inline constexpr int kByte6Tries = 5;

// --- the verdict ---

enum class Confidence : std::uint8_t {
  kNone = 0,  // no family: nothing known fits, or several fit equally
  kLow,       // several families fit; the ROM pattern or the factory settings picked one
  kMedium,    // one family fits what was seen, without the behaviour that proves it (timing, tier 3)
  kHigh,      // one family fits, and its own behaviour was seen
};
// "none", "low", "medium", "high".
QVDS_API const char* confidence_name(Confidence c);

struct QVDS_API Verdict {
  CloneFamily family = CloneFamily::kUnknown;
  Confidence confidence = Confidence::kNone;
  // Every family that fits all that was seen (the likeliest first).
  std::vector<CloneFamily> candidates;
  // What was seen and what it says, in words, one test each.
  std::vector<std::string> evidence;
  // Each way the sensor departed from a genuine DS18B20 (none: it behaved
  // like one in everything tested; the EEPROM, parasite power and the
  // undocumented codes are never tested by this).
  std::vector<std::string> faults;
  // Tests that could not tell anything, and why.
  std::vector<std::string> untested;
  // A conversion was seen (busy read slots, or a value that moved from
  // the power-on value); false when the sensor was asked to convert and
  // did not show it did.
  bool converted = false;
  bool conversion_asked = false;
  // The conversion times measured (9..12 bits) and how they scale per
  // bit (successive ratios' mean); nothing where not measured.
  std::optional<Micros> time12;
  std::optional<double> ratio;
};

// The verdict on everything seen of one sensor.
QVDS_API Verdict classify(const Observation& seen);

// The cheap look that costs no more than one scratchpad read: tier 0 and
// tier 1 only, no write. A family is named only when the ROM and the
// scratchpad leave one, or rank one above the rest.
QVDS_API Verdict quick_family(const std::array<std::uint8_t, 8>& rom, const Scratchpad& pad,
                              PowerSupply power = PowerSupply::kUnknown);

// --- what a family means ---

// "genuine A1", "A1-fishy (a genuine die)", "clone B1", "unknown family".
QVDS_API std::string family_label(CloneFamily f);
// In a few words: "parasite power works", "parasite power fails (it pulls
// the line low)"; "parasite power untested" for an unknown family.
QVDS_API const char* parasite_words(CloneFamily f);
// "EEPROM untested", "no EEPROM", "EEPROM wears out after about 8 writes".
QVDS_API const char* eeprom_words(CloneFamily f);
// What the family means for its owner in plain sentences: parasite
// power, resolution, EEPROM, conversion time, accuracy and quirks, and
// how qvds18x20 treats its values.
QVDS_API std::string family_meaning(CloneFamily f);

// How the host's own conversion of the sensor went, for the summary.
struct QVDS_API ReadingCheck {
  // The verdict on the value of its conversion (judge(), confirm() and
  // with_power() as a measurement makes it); nothing when it was not
  // asked to convert.
  std::optional<ReadStatus> status;
  int reads = 0;       // READ SCRATCHPADs made to count errors
  int crc_errors = 0;  // of them, answers whose CRC failed
};
// One line: "clone B1: reads right; parasite power works; EEPROM
// untested".
QVDS_API std::string summary_line(CloneFamily f, const ReadingCheck& check);

}  // namespace onewire::ds18x20
