// The doctor on a bus's thread: presence, repeated searches, and each
// thermometer put through the safe tests the thermometer rules describe
// (onewire/ds18x20/doctor_rules.hpp), its registers written back as
// found at the end, whatever happened in between.
#include <algorithm>
#include <array>
#include <map>

#include "onewire/commands.hpp"
#include "onewire/ds18x20/alarm.hpp"
#include "onewire/ds18x20/doctor_rules.hpp"
#include "onewire/ds18x20/family.hpp"
#include "onewire/ds18x20/timing.hpp"
#include "onewire/errors.hpp"
#include "qvds/detail/operations.hpp"
#include "qvds/doctor.hpp"
#include "rtl/clock.hpp"

namespace qvds::detail {

namespace rules = onewire::ds18x20;
using std::chrono::microseconds;

namespace {

constexpr int kMaxCrcReads = 1000;
constexpr int kMaxSearches = 20;
// A parasite sensor's conversion is fed for the longest a 12-bit one may
// take: the write tests leave it at 12 bits.
constexpr microseconds kFedConversion = rules::kLongestConversion;

std::string rom_text(const Rom& rom) { return format_rom(rom, RomForm::kQvds); }

std::string rom_list(const std::vector<Rom>& roms) {
  std::string text;
  for (const Rom& r : roms) text += (text.empty() ? "" : ", ") + rom_text(r);
  return text;
}

// Why one sensor's tests ended early: the call was interrupted or the
// adapter failed (the whole call ends), or the sensor stopped answering
// (the doctor goes on with the next).
struct Stop {
  std::optional<Failure> failure;
  bool vanished = false;
  bool any() const { return failure.has_value() || vanished; }
};

class Exam {
 public:
  Exam(BusState& bus, const OpContext& ctx, const DoctorOptions& options, const Device& device)
      : bus_(bus), ctx_(ctx), options_(options), device_(device) {}

  Result<SensorReport> run(int found_in);

 private:
  // The steps: each false when the tests must end (stop_ says why).
  bool count_reads();
  bool write_tests();
  bool timing_tests();
  bool fed_conversions();
  bool untimed_conversions();
  bool undocumented_reads();
  void restore();
  void judge_reading();

  bool interrupted() {
    if (const std::error_code why = ctx_.interrupted()) {
      stop_.failure = interruption(why);
      return true;
    }
    return false;
  }
  bool wait(microseconds length) {
    if (const std::error_code why = ctx_.wait(length)) {
      stop_.failure = interruption(why);
      return false;
    }
    return true;
  }
  // A driver result other than 1: the sensor did not answer (0), or the
  // adapter failed.
  bool answered(int r) {
    if (r == 1) return true;
    if (r == 0 || !fatal(r)) {
      stop_.vanished = true;
    } else {
      stop_.failure = driver_failure(r, bus_.name);
    }
    return false;
  }
  bool write(const std::uint8_t* data, std::size_t length);
  // A sound scratchpad (read again while its CRC fails), or nothing.
  std::optional<Scratchpad> read();
  // One conversion of this sensor on external power, its read slots
  // timed; nothing when the tests must end.
  std::optional<rules::TimedConversion> timed_conversion(microseconds longest);

  BusState& bus_;
  const OpContext& ctx_;
  const DoctorOptions& options_;
  const Device device_;
  rules::Observation seen_;
  SensorReport report_;
  Stop stop_;
  bool wrote_ = false;
  bool busy_seen_ = false;
  // The last sound scratchpad read, and what it was when the last
  // conversion began: a value that moved from it shows a conversion (the
  // doctor's own writes change byte 6 of some parts before that).
  std::optional<Scratchpad> last_read_;
  std::optional<Scratchpad> before_conversion_;
};

bool Exam::write(const std::uint8_t* data, std::size_t length) {
  std::array<std::uint8_t, 6> bytes{};
  bytes[0] = onewire::kWriteScratchpad;
  std::copy(data, data + length, bytes.begin() + 1);
  wrote_ = true;
  return answered(bus_.link->block(&device_.rom, false, bytes.data(), length + 1));
}

std::optional<Scratchpad> Exam::read() {
  Scratchpad pad{};
  bool got = false;
  int link_error = 0;
  const ReadStatus checked = read_pad(bus_, device_.rom, pad, got, link_error);
  if (link_error != 0) {
    stop_.failure = driver_failure(link_error, bus_.name);
    return std::nullopt;
  }
  if (checked == ReadStatus::kNotSelected || checked == ReadStatus::kNoAnswer) {
    stop_.vanished = true;
    return std::nullopt;
  }
  if (checked != ReadStatus::kRead) return std::nullopt;
  last_read_ = pad;
  return pad;
}

bool Exam::count_reads() {
  const int reads = std::max(options_.crc_reads, 0);
  for (int i = 0; i < reads; ++i) {
    if (interrupted()) return false;
    // One attempt each: the retries of a measurement would hide the very
    // errors counted here.
    std::array<std::uint8_t, 10> block{};
    block.fill(0xFF);
    block[0] = onewire::kReadScratchpad;
    const int r = bus_.link->block(&device_.rom, false, block.data(), block.size());
    ++report_.reads;
    if (r < 0 && fatal(r)) {
      stop_.failure = driver_failure(r, bus_.name);
      return false;
    }
    if (r != 1) {
      ++report_.no_answers;
      continue;
    }
    Scratchpad pad{};
    std::copy(block.begin() + 1, block.end(), pad.begin());
    switch (rules::check(pad)) {
      case ReadStatus::kRead:
        if (!seen_.found) seen_.found = pad;
        last_read_ = pad;
        break;
      case ReadStatus::kCrcError: ++report_.crc_errors; break;
      default: ++report_.no_answers; break;
    }
  }
  if (!seen_.found) {
    if (auto pad = read()) seen_.found = pad;
  }
  return !stop_.any();
}

bool Exam::write_tests() {
  for (std::size_t i = 0; i < rules::kWriteTests; ++i) {
    if (interrupted()) return false;
    const auto test = static_cast<rules::WriteTest>(i);
    const rules::WriteBytes bytes = rules::write_test_bytes(test, *seen_.found);
    if (!write(bytes.data.data(), bytes.length)) return false;
    seen_.after(test) = read();
    if (stop_.any()) return false;
  }
  return true;
}

std::optional<rules::TimedConversion> Exam::timed_conversion(microseconds longest) {
  rules::TimedConversion t;
  before_conversion_ = last_read_;
  // CONVERT T and a byte of read slots right behind it, in one exchange:
  // a part that reports busy only a moment later (A3) shows it here.
  std::array<std::uint8_t, 2> bytes = {onewire::kConvertT, 0xFF};
  if (!answered(bus_.link->block(&device_.rom, false, bytes.data(), bytes.size()))) return std::nullopt;
  rtl::Clock& clock = ctx_.time();
  const rtl::TimePoint start = clock.now();
  const auto elapsed = [&] { return std::chrono::duration_cast<microseconds>(clock.now() - start); };
  t.busy_at_once = bytes[1] != 0xFF;
  if (!wait(rules::kBusyProbe)) return std::nullopt;
  // Read slots a byte at a time: every link has that (the kernel's w1
  // masters have no single slot), and all ones is done.
  int slots = bus_.link->touch_byte(0xFF);
  if (slots < 0) {
    answered(slots);
    return std::nullopt;
  }
  t.busy_at_probe = !rules::conversion_done(slots);
  busy_seen_ = busy_seen_ || t.busy_seen();
  if (!t.busy_seen()) {
    // A part that never reports busy (F) gets the longest time its
    // resolution allows before it is read.
    if (elapsed() < longest && !wait(longest - elapsed())) return std::nullopt;
    return t;
  }
  while (!rules::conversion_done(slots)) {
    if (elapsed() >= rules::kTimingCap) {
      t.timed_out = true;
      return t;
    }
    if (!wait(rules::kTimingPoll)) return std::nullopt;
    slots = bus_.link->touch_byte(0xFF);
    if (slots < 0) {
      answered(slots);
      return std::nullopt;
    }
  }
  t.time = elapsed();
  return t;
}

bool Exam::timing_tests() {
  const Scratchpad& found = *seen_.found;
  bool never_busy = false;
  for (int bits = 9; bits <= 12; ++bits) {
    if (interrupted()) return false;
    const auto i = static_cast<std::size_t>(bits - 9);
    const std::array<std::uint8_t, 3> regs = {found[2], found[3], rules::timing_config(bits)};
    if (!write(regs.data(), regs.size())) return false;
    const std::optional<Scratchpad> set = read();
    if (stop_.any()) return false;
    if (set) seen_.timing_config_read[i] = (*set)[4];
    // A part that converts without ever reporting busy (F) cannot be
    // timed: after its first conversion only the 12-bit one is made, for
    // its byte 6.
    if (never_busy && bits < 12) continue;
    const int taken = set ? rules::resolution_of((*set)[4]) : bits;
    auto t = timed_conversion(rules::max_conversion_time(rules::kFamilyDs18b20, taken));
    if (!t) return false;
    seen_.timed[i] = *t;
    const std::optional<Scratchpad> after = read();
    if (stop_.any()) return false;
    if (bits == 12 && after) seen_.converted.push_back(*after);
    // A sensor that showed neither a busy slot nor a new value does not
    // convert: timing it further tells nothing.
    if (!t->busy_seen() && after && rules::looks_unconverted(*after)) {
      if (bits < 12) seen_.converted.push_back(*after);
      return true;
    }
    never_busy = never_busy || !t->busy_seen();
  }
  // More 12-bit conversions while the value cannot decide byte 6.
  while (!seen_.converted.empty() && seen_.converted.size() < static_cast<std::size_t>(rules::kByte6Tries) &&
         !rules::decides_byte6(seen_.converted.back(), busy_seen_)) {
    if (interrupted()) return false;
    auto t = timed_conversion(rules::kLongestConversion);
    if (!t) return false;
    const std::optional<Scratchpad> after = read();
    if (stop_.any()) return false;
    if (!after) break;
    seen_.converted.push_back(*after);
  }
  return true;
}

bool Exam::untimed_conversions() {
  // External power without the timing tests: one polled conversion (a
  // timed one, its times not kept), and more while byte 6 cannot decide.
  for (int tries = 0; tries < rules::kByte6Tries; ++tries) {
    if (interrupted()) return false;
    auto t = timed_conversion(rules::kLongestConversion);
    if (!t) return false;
    const std::optional<Scratchpad> after = read();
    if (stop_.any()) return false;
    if (!after) break;
    seen_.converted.push_back(*after);
    if (rules::decides_byte6(*after, busy_seen_) || (!t->busy_seen() && rules::looks_unconverted(*after))) break;
  }
  return true;
}

bool Exam::fed_conversions() {
  // Parasite power (or a supply the adapter could not ask): the strong
  // pull-up for the whole conversion where the adapter has one, read
  // slots never (a parasite part cannot show busy, and G would hold the
  // line low).
  const bool feed = bus_.link->can_strong_pullup();
  for (int tries = 0; tries < rules::kByte6Tries; ++tries) {
    if (interrupted()) return false;
    int r = 0;
    before_conversion_ = last_read_;
    if (feed) {
      r = bus_.link->match(device_.rom);
      if (r == 1) {
        const int echo = bus_.link->touch_byte_pullup(onewire::kConvertT);
        if (echo < 0) r = echo;
      }
    } else {
      std::array<std::uint8_t, 1> convert = {onewire::kConvertT};
      r = bus_.link->block(&device_.rom, false, convert.data(), convert.size());
    }
    if (r != 1) {
      if (feed) bus_.link->end_strong_pullup();
      answered(r);
      return false;
    }
    const bool waited = wait(kFedConversion);
    if (feed) bus_.link->end_strong_pullup();
    if (!waited) return false;
    const std::optional<Scratchpad> after = read();
    if (stop_.any()) return false;
    if (!after) break;
    seen_.converted.push_back(*after);
    if (rules::decides_byte6(*after, false)) break;
    // A value that shows no conversion gets one more try (a conversion
    // can be missed), not five.
    if (tries >= 1 && rules::looks_unconverted(*after)) break;
  }
  return true;
}

bool Exam::undocumented_reads() {
  rules::UndocumentedAnswers answers;
  for (const rules::UndocumentedRead& u : rules::undocumented_reads()) {
    if (interrupted()) return false;
    std::array<std::uint8_t, 10> bytes{};
    bytes.fill(0xFF);
    bytes[0] = u.code;
    if (!answered(bus_.link->block(&device_.rom, false, bytes.data(), u.length + 1))) return false;
    const std::span<const std::uint8_t> answer(bytes.data() + 1, u.length);
    answers.set(u.code, answer);
    report_.undocumented.push_back(UndocumentedAnswer{u.code, std::vector<std::uint8_t>(answer.begin(), answer.end())});
  }
  seen_.undocumented = answers;
  return true;
}

void Exam::restore() {
  if (!wrote_ || !seen_.found) return;
  // Put back even when the call was interrupted: it is one write and a
  // read, and a sensor left at another resolution would mislead.
  const Scratchpad& found = *seen_.found;
  const std::array<std::uint8_t, 3> regs = {found[2], found[3], found[4]};
  std::array<std::uint8_t, 4> bytes = {onewire::kWriteScratchpad, regs[0], regs[1], regs[2]};
  const auto put_back = [&] {
    const int w = bus_.link->block(&device_.rom, false, bytes.data(), bytes.size());
    if (w != 1) return std::optional<Scratchpad>{};
    Scratchpad pad{};
    bool got = false;
    int link_error = 0;
    if (read_pad(bus_, device_.rom, pad, got, link_error) != ReadStatus::kRead) return std::optional<Scratchpad>{};
    return std::optional<Scratchpad>{pad};
  };
  std::optional<Scratchpad> after = put_back();
  // A part that takes the fourth and fifth bytes into bytes 6 and 7 (B1,
  // B2) gets them back too.
  const auto& five = seen_.after(rules::WriteTest::kFiveBytes);
  const bool spills = five && (*five)[6] == 0x11 && (*five)[7] == 0x22;
  if (after && spills && ((*after)[6] != found[6] || (*after)[7] != found[7])) {
    std::array<std::uint8_t, 6> long_bytes = {onewire::kWriteScratchpad, regs[0], regs[1], regs[2], found[6], found[7]};
    const int w = bus_.link->block(&device_.rom, false, long_bytes.data(), long_bytes.size());
    after.reset();
    if (w == 1) {
      Scratchpad pad{};
      bool got = false;
      int link_error = 0;
      if (read_pad(bus_, device_.rom, pad, got, link_error) == ReadStatus::kRead) after = pad;
    }
  }
  if (!after) {
    report_.restored = false;
    report_.restore_note = "its scratchpad could not be read back after TH, TL and the configuration were written "
                           "back";
    return;
  }
  const Scratchpad& a = *after;
  const bool same = a[2] == found[2] && a[3] == found[3] && a[4] == found[4] && a[5] == found[5] &&
                    a[7] == found[7] && (!spills || a[6] == found[6]);
  if (!same) {
    report_.restored = false;
    report_.restore_note = "its scratchpad reads back other registers than it was found with";
  }
  if (rules::has_resolution(device_.family())) bus_.resolution[device_.rom] = rules::resolution_of(a[4]);
}

void Exam::judge_reading() {
  if (seen_.converted.empty()) {
    if (device_.power == PowerSupply::kParasiteUnfed) report_.reading = ReadStatus::kParasiteUnfed;
    return;
  }
  // As a measurement judges it: the value, and where that cannot tell a
  // power-on value, whether a conversion was seen.
  const Scratchpad& last = seen_.converted.back();
  rules::Decoded d = rules::judge(device_.rom, last, true);
  const Scratchpad& before = before_conversion_ ? *before_conversion_ : *seen_.found;
  if (d.status == ReadStatus::kUnconfirmed) d = rules::confirm(device_.rom, before, last, busy_seen_);
  report_.reading = rules::with_power(d.status, device_.power);
  if (is_reading(report_.reading) || report_.reading == ReadStatus::kUnconfirmed) report_.celsius = d.celsius();
}

Result<SensorReport> Exam::run(int found_in) {
  report_.rom = device_.rom;
  report_.model = device_.model;
  report_.power = device_.power;
  report_.found_in = found_in;
  seen_.rom = device_.rom;
  seen_.power = device_.power;

  const bool ds18b20 = device_.family() == rules::kFamilyDs18b20;
  const bool powered = device_.power == PowerSupply::kExternal;
  bool going = count_reads();
  if (seen_.found) {
    const Scratchpad& pad = *seen_.found;
    report_.has_scratchpad = true;
    report_.scratchpad = pad;
    report_.alarm_high = rules::threshold_of(pad[2]);
    report_.alarm_low = rules::threshold_of(pad[3]);
    if (rules::has_resolution(device_.family())) report_.resolution = rules::resolution_of(pad[4]);
  } else if (going) {
    report_.untested.push_back("everything beyond the ROM: no read of its scratchpad came back sound");
    going = false;
  }

  if (going && ds18b20) going = write_tests();
  if (going) {
    if (device_.power == PowerSupply::kParasiteUnfed) {
      report_.timing_note = "not converted: it is parasite-powered and this adapter has no strong pull-up";
    } else if (powered && options_.timing && ds18b20) {
      going = timing_tests();
    } else if (powered) {
      report_.timing_note = options_.timing ? "" : "not timed: the timing tests were not asked for";
      if (ds18b20) {
        going = untimed_conversions();
      } else {
        // Another model: its one conversion timed at its own resolution.
        const int bits = report_.resolution.value_or(12);
        auto t = timed_conversion(rules::max_conversion_time(device_.family(), bits));
        going = t.has_value();
        if (t) {
          if (options_.timing && t->time) report_.conversion_time = *t->time;
          if (auto after = read()) seen_.converted.push_back(*after);
          going = !stop_.any();
        }
      }
    } else {
      report_.timing_note = device_.power == PowerSupply::kParasite
                                ? "not timed: the timing tests are not valid on parasite power"
                                : "not timed: the adapter could not tell how it is powered";
      going = fed_conversions();
    }
  }
  if (going && ds18b20 && options_.undocumented) going = undocumented_reads();
  restore();
  if (stop_.failure) return *stop_.failure;
  if (stop_.vanished) {
    ++report_.no_answers;
    report_.untested.push_back("the rest of the tests: it stopped answering during them");
  }

  judge_reading();
  if (ds18b20) {
    const rules::Verdict v = rules::classify(seen_);
    report_.family = v.family;
    report_.confidence = v.confidence;
    report_.candidates = v.candidates;
    report_.evidence = v.evidence;
    report_.faults = v.faults;
    report_.untested.insert(report_.untested.begin(), v.untested.begin(), v.untested.end());
    report_.time_ratio = v.ratio;
    for (std::size_t i = 0; i < 4; ++i)
      if (seen_.timed[i] && seen_.timed[i]->time) report_.conversion_times[i] = *seen_.timed[i]->time;
    report_.conversion_time = report_.conversion_times[3];
    report_.meaning = rules::family_meaning(v.family);
    report_.summary = rules::summary_line(
        v.family, rules::ReadingCheck{seen_.converted.empty() && report_.reading == ReadStatus::kNotMeasured
                                          ? std::nullopt
                                          : std::optional<ReadStatus>(report_.reading),
                                      report_.reads, report_.crc_errors});
  } else {
    report_.evidence.push_back(std::string(rules::model_name(device_.model)) +
                               ": the clone families are those of the DS18B20 (family 28); none applies");
    report_.meaning = "Not a DS18B20: the clone tests do not apply, and none was made.";
    std::string line = std::string(rules::model_name(device_.model)) + ": ";
    if (report_.reading == ReadStatus::kNotMeasured)
      line += "conversion not tested";
    else if (report_.reading == ReadStatus::kRead || report_.reading == ReadStatus::kReadMaybePowerOn)
      line += "reads right";
    else
      line += rules::describe(report_.reading);
    if (report_.crc_errors > 0)
      line += "; CRC errors in " + std::to_string(report_.crc_errors) + " of " + std::to_string(report_.reads) +
              " reads";
    report_.summary = line;
  }
  if (!report_.timing_note.empty()) report_.untested.push_back("the conversion time: " + report_.timing_note);
  return report_;
}

bool parasite_fails(CloneFamily f) { return f == CloneFamily::kD2 || f == CloneFamily::kF; }

void advise(BusReport& report) {
  std::vector<Rom> unfed, failing, crc, intermittent, unrestored, clones, unknown;
  std::vector<std::string> crc_words, clone_words;
  int ds18b20s = 0;
  for (const SensorReport& s : report.sensors) {
    if (s.power == PowerSupply::kParasiteUnfed) unfed.push_back(s.rom);
    if (s.power == PowerSupply::kParasite && parasite_fails(s.family)) failing.push_back(s.rom);
    if (s.crc_errors > 0) {
      crc.push_back(s.rom);
      crc_words.push_back(rom_text(s.rom) + " " + std::to_string(s.crc_errors) + " of " + std::to_string(s.reads));
    }
    if (s.found_in < report.searches || s.no_answers > 0) intermittent.push_back(s.rom);
    if (!s.restored) unrestored.push_back(s.rom);
    if (s.rom[0] != rules::kFamilyDs18b20) continue;
    ++ds18b20s;
    if (s.family == CloneFamily::kUnknown) {
      unknown.push_back(s.rom);
    } else if (s.family != CloneFamily::kA1 && s.family != CloneFamily::kA1Fishy) {
      clones.push_back(s.rom);
      clone_words.push_back(rom_text(s.rom) + " " + clone_family_name(s.family));
    }
  }
  const auto add = [&](AdviceKind kind, std::string text, std::vector<Rom> roms) {
    report.advice.push_back(Advice{kind, std::move(text), std::move(roms)});
  };
  if (!unfed.empty())
    add(AdviceKind::kParasiteUnfed,
        std::to_string(unfed.size()) + " parasite-powered sensor(s) (" + rom_list(unfed) +
            ") on an adapter without a strong pull-up: they cannot convert and are never read; power them from VDD "
            "(3 to 5.5 V), or use a DS2480B, DS2490 or DS2482 adapter",
        unfed);
  if (!failing.empty())
    add(AdviceKind::kParasiteFails,
        "sensor(s) " + rom_list(failing) +
            " run on parasite power, which their clone family cannot convert on: wire their VDD to the supply",
        failing);
  if (!crc.empty()) {
    std::string words;
    for (const auto& w : crc_words) words += (words.empty() ? "" : ", ") + w;
    add(AdviceKind::kCrcErrors,
        "reads whose CRC failed (" + words +
            "): noise on the line. Keep to one daisy-chained line of twisted pair without stubs, power the sensors "
            "from VDD, and on long lines use a stronger pull-up (2.2 kOhm) and an active adapter",
        crc);
  }
  if (!intermittent.empty())
    add(AdviceKind::kIntermittent,
        "device(s) " + rom_list(intermittent) +
            " did not answer every search or read: a loose contact, a marginal pull-up or a line too long for the "
            "adapter",
        intermittent);
  if (!unrestored.empty())
    add(AdviceKind::kNotRestored,
        "the scratchpad of " + rom_list(unrestored) +
            " could not be put back as found: check its resolution and alarm thresholds",
        unrestored);
  if (!clones.empty()) {
    std::string words;
    for (const auto& w : clone_words) words += (words.empty() ? "" : ", ") + w;
    add(AdviceKind::kClones,
        std::to_string(clones.size()) + " of " + std::to_string(ds18b20s) + " DS18B20(s) are clones (" + words +
            "): a value their scratchpad cannot tell from a power-on value is confirmed by a conversion of its own "
            "before it counts; see each one's summary for parasite power and EEPROM",
        clones);
  }
  if (!unknown.empty())
    add(AdviceKind::kUnknownFamily,
        "DS18B20(s) " + rom_list(unknown) +
            " fit no known family, or several equally: their parasite power and EEPROM are untested",
        unknown);
}

}  // namespace

Result<BusReport> diagnose(BusState& bus, const OpContext& ctx, const DoctorOptions& options) {
  if (options.crc_reads < 0 || options.crc_reads > kMaxCrcReads)
    return Failure{Errc::kBadArgument, "the doctor's reads per sensor are 0 to " + std::to_string(kMaxCrcReads) +
                                           ", not " + std::to_string(options.crc_reads)};
  if (options.searches < 1 || options.searches > kMaxSearches)
    return Failure{Errc::kBadArgument, "the doctor's searches are 1 to " + std::to_string(kMaxSearches) + ", not " +
                                           std::to_string(options.searches)};
  if (const std::error_code why = ctx.interrupted()) return interruption(why);
  BusReport report;
  report.bus = bus.name;
  report.adapter = bus.link->name();
  report.strong_pullup = bus.link->can_strong_pullup();
  report.undocumented = options.undocumented;

  const int reset = bus.link->reset();
  if (reset < 0 && reset != onewire::kErrBusShort) return driver_failure(reset, bus.name);
  report.shorted = reset == onewire::kResetShort || reset == onewire::kErrBusShort;
  report.presence = reset == onewire::kResetPresence || reset == onewire::kResetAlarmPresence;
  if (report.shorted) {
    report.advice.push_back({AdviceKind::kShort,
                             "the line is held low: a short between DQ and GND, a sensor wired the wrong way round, "
                             "or a part on parasite power that pulls the line low (clone D2)",
                             {}});
    return report;
  }
  if (!report.presence) {
    report.advice.push_back({AdviceKind::kNoDevices,
                             "no device answered the reset: check DQ, GND and the pull-up resistor (4.7 kOhm from DQ "
                             "to VDD) or the adapter's connection",
                             {}});
    return report;
  }

  // Several searches: a device that some of them miss comes and goes.
  std::vector<Device> all;
  std::map<Rom, int> found_in;
  for (int i = 0; i < options.searches; ++i) {
    if (const std::error_code why = ctx.interrupted()) return interruption(why);
    auto found = search(bus, ctx);
    ++report.searches;
    if (!found) {
      if (found.error() == Errc::kPortIo || found.error() == Errc::kBusShort) return found.failure();
      continue;
    }
    for (const Device& d : *found) {
      ++found_in[d.rom];
      auto known = std::find_if(all.begin(), all.end(), [&](const Device& k) { return k.rom == d.rom; });
      if (known == all.end()) all.push_back(d);
    }
  }
  if (all.empty()) {
    report.advice.push_back({AdviceKind::kNoDevices,
                             "devices answer the reset, but no search completed: noise on the line, or a device that "
                             "answers badly",
                             {}});
    return report;
  }
  for (const Device& d : all) {
    if (!d.thermometer()) {
      report.others.push_back(d);
      continue;
    }
    Exam exam(bus, ctx, options, d);
    auto sensor = exam.run(found_in[d.rom]);
    if (!sensor) return sensor.failure();
    report.sensors.push_back(std::move(*sensor));
  }
  advise(report);
  return report;
}

}  // namespace qvds::detail

namespace qvds {

const char* advice_name(AdviceKind kind) {
  switch (kind) {
    case AdviceKind::kShort: return "short";
    case AdviceKind::kNoDevices: return "no_devices";
    case AdviceKind::kParasiteUnfed: return "parasite_unfed";
    case AdviceKind::kParasiteFails: return "parasite_fails";
    case AdviceKind::kCrcErrors: return "crc_errors";
    case AdviceKind::kIntermittent: return "intermittent";
    case AdviceKind::kNotRestored: return "not_restored";
    case AdviceKind::kClones: return "clones";
    case AdviceKind::kUnknownFamily: return "unknown_family";
  }
  return "unknown";
}

}  // namespace qvds
