// The doctor: what is on a bus and what it is, for someone who bought
// "DS18B20"s and wants to know which they got. Every thermometer is
// looked at with the safe tests of published clone research (the ROM,
// READ POWER SUPPLY, the scratchpad, WRITE SCRATCHPAD tests and timed
// conversions: documented commands only) and given a family (the genuine
// A1, a clone family, or unknown) with the evidence and a confidence, its
// settings, its conversion time, its CRC error rate and what all that
// means in plain words. The bus gets its presence, shorts and advice.
//
//   auto report = bus->diagnose();
//   for (const qvds::SensorReport& s : report->sensors) std::puts(s.summary.c_str());
//
// Nothing reaches a sensor's EEPROM (COPY SCRATCHPAD is never sent) and
// no undocumented code is sent unless DoctorOptions::undocumented asks
// for its reads; each sensor's TH, TL and configuration are written back
// as they were found, and checked.
//
// Thread safety: plain values; copy them freely between threads. The call
// (Bus::diagnose) is a Bus member and as thread-safe as every other.
#pragma once

#include "qvds18x20/export.hpp"

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "onewire/ds18x20/clones.hpp"
#include "onewire/ds18x20/doctor_rules.hpp"
#include "qvds/reading.hpp"
#include "qvds/rom.hpp"

namespace qvds {

using CloneFamily = onewire::ds18x20::CloneFamily;
using Confidence = onewire::ds18x20::Confidence;
using onewire::ds18x20::clone_family_name;
using onewire::ds18x20::confidence_name;

// What the doctor does beyond the safe tests, and how much of them.
struct QVDS_API DoctorOptions {
  // Time conversions at 9, 10, 11 and 12 bits on sensors with external
  // power (about a second per genuine sensor); false: one conversion
  // each, untimed. The timing tests are not valid on parasite power and
  // are never made there.
  bool timing = true;
  // READ SCRATCHPADs made of each thermometer to count CRC errors (0 to
  // 1000; none: one read).
  int crc_reads = 20;
  // Searches of the bus (1 to 20): a device that some of them miss comes
  // and goes.
  int searches = 3;
  // Also read the undocumented codes 68, 93, 97, 8B, DE, 19 and 8E of
  // every DS18B20 (reads only; never a code that writes). The research
  // that found them warns that undocumented codes can harm a part; these
  // reads are the ones it makes on parts it keeps, but the risk is the
  // owner's: off by default.
  bool undocumented = false;
};

// One undocumented code's answer (tier 3): all FF is no answer.
struct QVDS_API UndocumentedAnswer {
  std::uint8_t code = 0;
  std::vector<std::uint8_t> bytes;
};

// What the doctor found of one thermometer.
struct QVDS_API SensorReport {
  Rom rom{};
  Model model = Model::kOther;
  PowerSupply power = PowerSupply::kUnknown;

  // --- as found ---
  // The scratchpad before the doctor touched it; `has_scratchpad` false
  // when no read of it came back sound.
  Scratchpad scratchpad{};
  bool has_scratchpad = false;
  // Its resolution in bits (9..12; nothing on a DS18S20) and alarm
  // thresholds (signed whole degrees), as found.
  std::optional<int> resolution;
  int alarm_low = 0;
  int alarm_high = 0;

  // --- which family ---
  // Its family (DS18B20s only; kUnknown for other models, and where
  // nothing known fits), how sure that is, the families that fit
  // everything seen (likeliest first), and why, in words.
  CloneFamily family = CloneFamily::kUnknown;
  Confidence confidence = Confidence::kNone;
  std::vector<CloneFamily> candidates;
  std::vector<std::string> evidence;
  // Each way it departed from a genuine DS18B20 (none: it behaved as one
  // in everything tested).
  std::vector<std::string> faults;
  // What could not be tested, and why (timing on parasite power, ...).
  std::vector<std::string> untested;
  // What its family means, in plain sentences; and one line:
  // "clone B1: reads right; parasite power works; EEPROM untested".
  std::string meaning;
  std::string summary;

  // --- its conversions ---
  // How long its conversion took, measured by polling (external power
  // only): at 12 bits (a DS18S20's own), and at 9, 10, 11 and 12 bits;
  // nothing where not measured (`timing_note` says why). `time_ratio`:
  // the mean growth per bit (2 on a genuine part).
  std::optional<std::chrono::microseconds> conversion_time;
  std::array<std::optional<std::chrono::microseconds>, 4> conversion_times;
  std::optional<double> time_ratio;
  std::string timing_note;
  // The doctor's own conversion of it, judged as a measurement judges a
  // value (kNotMeasured when it was not converted), and the value.
  ReadStatus reading = ReadStatus::kNotMeasured;
  std::optional<double> celsius;

  // --- how it answers ---
  // READ SCRATCHPADs made to count errors, those whose CRC failed, and
  // those nobody answered (all ones, or all zeros: a line held low).
  int reads = 0;
  int crc_errors = 0;
  int no_answers = 0;
  // Searches that found it, of BusReport::searches.
  int found_in = 0;
  // Its TH, TL and configuration were written back as found and read
  // back so (always true when nothing was written); the note says what
  // went wrong otherwise.
  bool restored = true;
  std::string restore_note;

  // Tier 3 answers, when asked for.
  std::vector<UndocumentedAnswer> undocumented;

  // CRC errors per read (0 with no reads).
  double crc_error_rate() const { return reads > 0 ? static_cast<double>(crc_errors) / reads : 0.0; }
};

// What the doctor tells of the bus as a whole.
enum class AdviceKind : std::uint8_t {
  kShort,          // the line is held low
  kNoDevices,      // nothing answered
  kParasiteUnfed,  // parasite-powered sensors on an adapter without a strong pull-up
  kParasiteFails,  // a sensor on parasite power whose family cannot convert so
  kCrcErrors,      // reads with a failed CRC: noise on the line
  kIntermittent,   // a device that some searches or reads missed
  kNotRestored,    // a scratchpad the doctor could not put back as found
  kClones,         // clones on the bus, and how their values are treated
  kUnknownFamily,  // DS18B20s whose behaviour fits no known family
};
// "short", "no_devices", "parasite_unfed", "parasite_fails", "crc_errors",
// "intermittent", "not_restored", "clones", "unknown_family".
QVDS_API const char* advice_name(AdviceKind kind);

struct QVDS_API Advice {
  AdviceKind kind = AdviceKind::kClones;
  // What was found and what to do about it, in words.
  std::string text;
  // The sensors it is about (none for the whole bus).
  std::vector<Rom> sensors;
};

struct QVDS_API BusReport {
  std::string bus;      // the bus's name
  std::string adapter;  // the adapter in words
  bool strong_pullup = false;
  // A device answered the first reset pulse; the line was shorted.
  bool presence = false;
  bool shorted = false;
  // How many searches were made.
  int searches = 0;
  // Every thermometer found, in search order, and every other device.
  std::vector<SensorReport> sensors;
  std::vector<Device> others;
  std::vector<Advice> advice;
  // The undocumented reads were made.
  bool undocumented = false;
};

}  // namespace qvds
