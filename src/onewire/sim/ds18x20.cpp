#include "onewire/sim/ds18x20.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <mutex>

#include "onewire/commands.hpp"
#include "onewire/crc.hpp"
#include "onewire/sim/family_profile.hpp"
#include "onewire/sim/rom_layer.hpp"

namespace onewire::sim {

namespace {

using namespace std::chrono_literals;

// The data sheet's longest EEPROM write, which is also how long a
// parasite part needs the strong pull-up after COPY SCRATCHPAD.
constexpr rtl::Duration kEepromWrite = 10ms;
// RECALL E2 is not timed in the data sheet; the model is busy this long.
constexpr rtl::Duration kRecall = 200us;
// How long family A3 leaves read slots at 1 after CONVERT T.
constexpr rtl::Duration kLateBusy = 1ms;
// How much longer family G holds the line low when its scratchpad is read
// during a parasite conversion.
constexpr rtl::Duration kHeldAfterRead = 1000ms;
// A parasite conversion fed for this share of the conversion time has
// finished: a host's wait is measured against its own clock.
constexpr double kFedShare = 0.9;

// The bit a corrupted READ SCRATCHPAD answer has wrong: 128 degrees off,
// so a host that skips the CRC shows it.
constexpr std::size_t kCorruptByte = 1;
constexpr std::uint8_t kCorruptBit = 0x08;

int floor_div(int a, int b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0)) ? 1 : 0); }

// FNV-1a over the ROM: the chip's own values (conversion time, random
// power-up bytes) follow from it, the same on every run.
std::uint64_t rom_hash(const Rom& rom) {
  std::uint64_t h = 0xCBF29CE484222325ull;
  for (std::uint8_t b : rom) h = (h ^ b) * 0x100000001B3ull;
  return h ^ (h >> 29);
}

rtl::Duration twelve_bit_time(const FamilyProfile& p, const Rom& rom) {
  const std::uint64_t span = static_cast<std::uint64_t>(p.conversion_max_us - p.conversion_min_us) + 1;
  return std::chrono::microseconds(p.conversion_min_us + static_cast<std::int64_t>(rom_hash(rom) % span));
}

}  // namespace

struct Ds18x20::Impl {
  Impl(const Rom& r, ThermometerFamily f, double c)
      : profile(family_profile(f)), layer(r), celsius(c), parasite_works(profile.parasite_works),
        time12(twelve_bit_time(profile, r)) {
    stored = {profile.power_up[2], profile.power_up[3], profile.power_up[4]};
    if (profile.random_alarm_bytes) {
      const std::uint64_t h = rom_hash(r) >> 17;
      stored[0] = static_cast<std::uint8_t>(h);
      stored[1] = static_cast<std::uint8_t>(h >> 8);
    }
    power_on_scratchpad();
  }

  enum class Fn : std::uint8_t { kCommand, kWrite, kRead, kConvert, kCopy, kRecall, kPower, kHiddenWrite, kIdle };

  const FamilyProfile& profile;
  mutable std::mutex mutex;
  // Mirrors idle() for the bus's lock-free check; written under `mutex`
  // after every reset and slot.
  std::atomic<bool> asleep{true};
  RomLayer layer;
  double celsius;
  bool parasite = false;
  bool parasite_works;
  bool reports_parasite = false;
  const rtl::Duration time12;  // this chip's 12-bit conversion time
  int conversions = 0;
  int brownouts = 0;
  std::array<std::uint8_t, 9> pad{};
  std::optional<std::array<std::uint8_t, 9>> override_pad;
  bool alarm_flag = false;

  // A conversion in progress completes lazily, the first time anything
  // looks at the device at or after its end.
  bool converting = false;
  // The conversion cannot succeed: a part that cannot convert on parasite
  // power tried to.
  bool failing = false;
  bool conversion_fails = false;  // an injected failure: ends in 07FF
  rtl::TimePoint conversion_start{};
  rtl::TimePoint conversion_end{};
  double conversion_celsius = 0;
  int conversion_bits = 12;
  // A parasite conversion: whether the strong pull-up is feeding it, and
  // since when.
  bool fed = false;
  rtl::TimePoint fed_since{};
  // Until then the part pulls the line low whatever happens.
  rtl::TimePoint held_low_until{};

  // EEPROM (or the fixed store of a part without one).
  std::array<std::uint8_t, 3> stored{};
  int copy_commands = 0;
  int eeprom_writes = 0;
  bool copying = false;  // a parasite copy waiting for its strong pull-up
  bool copy_fed = false;
  rtl::TimePoint copy_since{};
  rtl::TimePoint copy_end{};
  std::array<std::uint8_t, 3> copy_values{};
  rtl::TimePoint recall_end{};

  // Undocumented registers.
  std::uint8_t trim1 = profile.trim1;
  std::uint8_t trim2 = profile.trim2;
  std::array<std::uint8_t, 2> custom{};

  // Faults and records.
  int skip = 0;
  int fail = 0;
  int corrupt = 0;
  int corrupt_period = 0;
  int reads = 0;
  std::vector<std::uint8_t> forbidden;

  // Function layer, once the ROM layer has selected the device.
  Fn fn = Fn::kCommand;
  int bit = 0;
  int byte_index = 0;
  std::uint8_t byte = 0;
  std::array<std::uint8_t, 9> out{};
  int out_bits = 0;
  const HiddenCode* hidden = nullptr;

  void update_crc() { pad[8] = crc8(pad.data(), 8); }

  // What the part holds after power-up: its power-up temperature and
  // reserved bytes, the alarm registers (and configuration) from EEPROM.
  void power_on_scratchpad() {
    std::copy(profile.power_up.begin(), profile.power_up.end(), pad.begin());
    pad[2] = stored[0];
    pad[3] = stored[1];
    if (!profile.ds18s20) pad[4] = stored[2];
    update_crc();
  }

  std::uint8_t config_register(std::uint8_t written) const {
    switch (profile.config) {
      case ConfigRule::kFixed7F:
        return 0x7F;
      case ConfigRule::kKeepsBit7:
        return static_cast<std::uint8_t>((written & 0x80) | 0x7F);
      default:
        return static_cast<std::uint8_t>((written & 0x60) | 0x1F);
    }
  }

  int resolution() const { return profile.ds18s20 ? 9 : 9 + ((pad[4] >> 5) & 3); }

  rtl::Duration conversion_time(int bits) const {
    return std::chrono::duration_cast<rtl::Duration>(time12 / std::pow(profile.per_bit, 12 - bits));
  }

  void update_asleep(rtl::TimePoint now) {
    asleep.store(layer.idle() && now >= held_low_until, std::memory_order_relaxed);
  }

  // The supply went away for `off`: everything in progress stops.
  void power_loss(rtl::Duration off) {
    converting = false;
    failing = false;
    fed = false;
    copying = false;
    held_low_until = rtl::TimePoint{};
    recall_end = rtl::TimePoint{};
    trim1 = profile.trim1;
    trim2 = profile.trim2;
    layer.power_up();
    fn = Fn::kIdle;
    if (profile.ram_hold_ms > 0 && off <= std::chrono::milliseconds(profile.ram_hold_ms)) return;
    alarm_flag = false;
    custom = {};
    power_on_scratchpad();
  }

  // A parasite device that is converting without its strong pull-up, or
  // whose pull-up ended too soon, loses its supply for a moment.
  void brown_out() {
    ++brownouts;
    power_loss(rtl::Duration{0});
  }

  // Browns out on a slot or reset during a parasite conversion.
  bool slots_brown_out() const {
    return parasite && converting && !failing && profile.parasite_slots == ParasiteSlots::kBrownOut;
  }

  // Something happened on the line at `now`: a slot or a reset (the bus
  // ends any strong pull-up before either).
  void line_activity(rtl::TimePoint now) {
    settle(now);
    if (slots_brown_out()) brown_out();
    // A parasite copy without its pull-up stores nothing.
    copying = false;
  }

  void settle(rtl::TimePoint now) {
    if (!converting || now < conversion_end) return;
    if (failing) {
      fail_on_parasite_power();
      return;
    }
    // Unfed, a parasite conversion of a part without a capacitor never
    // completes; the next line activity browns the device out.
    if (parasite && !fed && profile.parasite_slots == ParasiteSlots::kBrownOut) return;
    complete_conversion();
  }

  void fail_on_parasite_power() {
    converting = false;
    failing = false;
    if (profile.parasite_failure == ParasiteFailure::kFloats) return;
    ++brownouts;
    power_loss(rtl::Duration{0});
  }

  void store_copy() {
    copying = false;
    ++eeprom_writes;
    if (eeprom_writes > profile.eeprom_endurance) return;  // worn out: the cells keep what they had
    stored[0] = copy_values[0];
    stored[1] = copy_values[1];
    if (!profile.ds18s20) stored[2] = copy_values[2];
  }

  double in_range(double c) const {
    const bool extended = profile.config == ConfigRule::kKeepsBit7 && (pad[4] & 0x80) != 0;
    return std::fmin(std::fmax(c, -55.0), extended ? 150.0 : 125.0);
  }

  void complete_conversion() {
    converting = false;
    fed = false;
    // Sixteenths of a degree, the finest step either model reports.
    const int q = static_cast<int>(std::floor(in_range(conversion_celsius) * 16.0 + 0.5));
    int whole = 0;  // integer degrees, as the alarm compares them
    int raw = 0;
    if (conversion_fails) {
      raw = 0x07FF;
      whole = floor_div(raw, 16);
      set_byte6_after_failure();
    } else if (profile.ds18s20) {
      // Extended resolution: T = (raw >> 1) - 0.25 + (16 - COUNT_REMAIN) / 16,
      // so in sixteenths T = 16 * whole + 12 - COUNT_REMAIN. Picking
      // `whole` this way keeps COUNT_REMAIN in 1..16 and T exact.
      whole = floor_div(q + 4, 16);
      const int count_remain = 16 * whole + 12 - q;
      // The 9-bit reading is the extended value rounded to half degrees.
      raw = floor_div(q + 4, 8);
      pad[6] = static_cast<std::uint8_t>(count_remain);
      pad[7] = 0x10;
    } else {
      const int undefined_bits = 12 - conversion_bits;
      raw = q & ~((1 << undefined_bits) - 1);
      whole = floor_div(raw, 16);
      set_byte6(raw);
    }
    pad[0] = static_cast<std::uint8_t>(raw & 0xFF);
    pad[1] = static_cast<std::uint8_t>((raw >> 8) & 0xFF);
    update_crc();
    const int th = static_cast<std::int8_t>(pad[2]);
    const int tl = static_cast<std::int8_t>(pad[3]);
    alarm_flag = whole <= tl || (profile.ds18s20 ? whole > th : whole >= th);
  }

  // Byte 6 after a conversion that succeeded: on most parts 10h minus the
  // low nibble (the DS18S20's COUNT_REMAIN with COUNT_PER_C 10h, so that
  // its formula gives the sixteenths), where the power-up 0C is gone.
  void set_byte6(int raw) {
    const int nibble = raw & 0x0F;
    switch (profile.byte6) {
      case Byte6Rule::kTenMinusNibble:
      case Byte6Rule::kAlwaysTenMinusNibble:
        pad[6] = static_cast<std::uint8_t>(0x10 - nibble);
        break;
      case Byte6Rule::kTwentyMinusNibble:
        pad[6] = static_cast<std::uint8_t>(0x20 - nibble);
        break;
      case Byte6Rule::kFixed0C:
        pad[6] = 0x0C;
        break;
      default:
        break;
    }
  }

  void set_byte6_after_failure() {
    switch (profile.byte6) {
      case Byte6Rule::kAlwaysTenMinusNibble:
        set_byte6(0x07FF);
        break;
      case Byte6Rule::kUnchanged:
        break;
      default:
        pad[6] = 0x0C;
        break;
    }
  }

  void answer(const std::uint8_t* bytes, int count) {
    std::copy(bytes, bytes + count, out.begin());
    out_bits = 8 * count;
    fn = Fn::kRead;
  }

  // D1's hidden register begins 06 (parasite power fails) or 02 (works),
  // D2's 00; the rest is unpublished, and D2's nine bytes end in their CRC.
  void answer_hidden_register(int length) {
    std::array<std::uint8_t, 9> reg = {0x00, 0x2F, 0x11, 0x6A, 0x03, 0x80, 0x00, 0x4C, 0x00};
    if (length == 8) reg[0] = parasite_works ? 0x02 : 0x06;
    if (length == 9) reg[8] = crc8(reg.data(), 8);
    answer(reg.data(), length);
  }

  void start_hidden(const HiddenCode& h) {
    hidden = &h;
    switch (h.action) {
      case HiddenAction::kAnswer:
        answer(h.answer.data(), h.length);
        break;
      case HiddenAction::kTrim1:
        answer(&trim1, 1);
        break;
      case HiddenAction::kTrim2:
        answer(&trim2, 1);
        break;
      case HiddenAction::kReloadTrims:
        trim1 = profile.trim1;
        trim2 = profile.trim2;
        fn = Fn::kIdle;
        break;
      case HiddenAction::kHiddenRegister:
        answer_hidden_register(h.length);
        break;
      case HiddenAction::kCustom:
        answer(custom.data(), 2);
        break;
      default:
        fn = Fn::kHiddenWrite;
        break;
    }
  }

  void hidden_write(std::uint8_t b) {
    switch (hidden->action) {
      case HiddenAction::kSetTrim1:
        trim1 = b;
        break;
      case HiddenAction::kSetTrim2:
        trim2 = b;
        break;
      case HiddenAction::kSetCustom:
        custom[static_cast<std::size_t>(byte_index)] = b;
        break;
      case HiddenAction::kSetReserved:
        pad[static_cast<std::size_t>(5 + byte_index)] = b;
        update_crc();
        break;
      default:
        break;
    }
    if (++byte_index == hidden->length) fn = Fn::kIdle;
  }

  void convert(rtl::TimePoint now) {
    ++conversions;
    if (skip != 0) {
      if (skip > 0) --skip;
      fn = Fn::kIdle;
      return;
    }
    converting = true;
    fed = false;
    conversion_fails = fail != 0;
    if (fail > 0) --fail;
    conversion_celsius = celsius;
    conversion_bits = resolution();
    conversion_start = now;
    conversion_end = now + conversion_time(conversion_bits);
    failing = parasite && !parasite_works;
    if (failing && profile.parasite_failure == ParasiteFailure::kHoldsLow) held_low_until = conversion_end;
    fn = Fn::kConvert;
  }

  void read_scratchpad(rtl::TimePoint now) {
    out = override_pad ? *override_pad : pad;
    out_bits = 72;
    ++reads;
    const bool periodic = corrupt_period > 0 && reads % corrupt_period == 0;
    if (corrupt > 0 || periodic) {
      if (corrupt > 0) --corrupt;
      out[kCorruptByte] ^= kCorruptBit;
    }
    fn = Fn::kRead;
    if (parasite && converting && !failing && profile.parasite_slots == ParasiteSlots::kHoldLowOnRead) {
      // The part holds on to the line and finishes late.
      held_low_until = std::max(conversion_end, now) + kHeldAfterRead;
      conversion_end = held_low_until;
    }
  }

  // A powered part stores at once and shows busy slots for the write
  // time; a parasite one stores only when a strong pull-up long enough
  // ends (on_strong_pullup).
  void copy_scratchpad(rtl::TimePoint now) {
    ++copy_commands;
    fn = Fn::kIdle;
    if (profile.eeprom_endurance == 0) return;  // nothing to write to
    copying = true;
    copy_fed = false;
    copy_end = now + kEepromWrite;
    copy_values = {pad[2], pad[3], pad[4]};
    if (!parasite) store_copy();
    fn = Fn::kCopy;
  }

  // A part without EEPROM recalls its fixed values, so that a host
  // comparing after a recall sees that its copy did not hold.
  void recall(rtl::TimePoint now) {
    pad[2] = stored[0];
    pad[3] = stored[1];
    if (!profile.ds18s20) pad[4] = stored[2];
    update_crc();
    recall_end = now + kRecall;
    fn = Fn::kRecall;
  }

  // A whole function command byte arrived.
  void command(std::uint8_t cmd, rtl::TimePoint now) {
    bit = 0;
    byte = 0;
    byte_index = 0;
    if (!host_may_send(cmd)) forbidden.push_back(cmd);
    switch (cmd) {
      case kConvertT:
        convert(now);
        break;
      case kWriteScratchpad:
        fn = Fn::kWrite;
        break;
      case kReadScratchpad:
        read_scratchpad(now);
        break;
      case kCopyScratchpad:
        copy_scratchpad(now);
        break;
      case kRecallE2:
        recall(now);
        break;
      case kReadPowerSupply:
        fn = Fn::kPower;
        break;
      default: {
        fn = Fn::kIdle;
        const auto it = std::find_if(profile.hidden.begin(), profile.hidden.end(),
                                     [cmd](const HiddenCode& h) { return h.code == cmd; });
        if (it != profile.hidden.end()) start_hidden(*it);
        break;
      }
    }
  }

  void write_byte(std::uint8_t b) {
    switch (byte_index) {
      case 0:
        pad[2] = b;
        break;
      case 1:
        pad[3] = b;
        break;
      case 2:
        pad[4] = config_register(b);
        // The spill: the configuration byte as written also lands in byte 6.
        if (profile.write_spills) pad[6] = b;
        break;
      default:
        pad[static_cast<std::size_t>(3 + byte_index)] = b;  // bytes 6 and 7 (spilling parts only)
        break;
    }
    update_crc();
    ++byte_index;
    const int length = profile.ds18s20 ? 2 : profile.write_spills ? 5 : 3;
    if (byte_index == length) fn = Fn::kIdle;
  }

  // Whether the function layer leaves the line alone during a parasite
  // conversion (a part riding on its capacitor, or failing by floating).
  bool silent() const {
    if (!converting || !parasite) return false;
    if (failing) return profile.parasite_failure == ParasiteFailure::kFloats;
    return profile.parasite_slots == ParasiteSlots::kFloat;
  }

  bool conversion_done(rtl::TimePoint now) const {
    if (!converting) return true;
    switch (profile.busy) {
      case BusyRule::kNever:
        return true;
      case BusyRule::kLate:
        return now < conversion_start + kLateBusy;
      default:
        return false;
    }
  }

  bool drive(rtl::TimePoint now) {
    line_activity(now);
    if (now < held_low_until) return false;
    if (layer.idle()) return true;
    if (!layer.selected()) return layer.drive();
    if (silent()) return true;
    switch (fn) {
      case Fn::kRead:
        return bit >= out_bits || ((out[static_cast<std::size_t>(bit / 8)] >> (bit % 8)) & 1) != 0;
      case Fn::kConvert:
        return conversion_done(now);
      case Fn::kCopy:
        return now >= copy_end;
      case Fn::kRecall:
        return now >= recall_end;
      case Fn::kPower:
        return !parasite && !reports_parasite;
      default:
        return true;
    }
  }

  void sample(bool line, rtl::TimePoint now) {
    settle(now);
    if (!layer.selected()) {
      layer.sample(line, alarm_flag);
      if (layer.selected()) {
        fn = Fn::kCommand;
        bit = 0;
        byte = 0;
      }
      return;
    }
    switch (fn) {
      case Fn::kCommand:
        if (line) byte = static_cast<std::uint8_t>(byte | (1u << bit));
        if (++bit == 8) command(byte, now);
        break;
      case Fn::kWrite:
      case Fn::kHiddenWrite:
        if (line) byte = static_cast<std::uint8_t>(byte | (1u << bit));
        if (++bit == 8) {
          if (fn == Fn::kWrite)
            write_byte(byte);
          else
            hidden_write(byte);
          bit = 0;
          byte = 0;
        }
        break;
      case Fn::kRead:
        if (++bit >= out_bits) fn = Fn::kIdle;
        break;
      default:
        break;
    }
  }
};

Ds18x20::Ds18x20(const Rom& rom, double celsius) : Ds18x20(rom, family_for_code(rom[0]), celsius) {}

Ds18x20::Ds18x20(const Rom& rom, ThermometerFamily family, double celsius)
    : impl_(std::make_unique<Impl>(rom, family, celsius)) {}

Ds18x20::~Ds18x20() = default;

const Rom& Ds18x20::rom() const { return impl_->layer.rom(); }

bool Ds18x20::on_reset(rtl::TimePoint now) {
  std::lock_guard lock(impl_->mutex);
  // A reset ends the command, not a conversion in progress (unless the
  // device lives on the line's charge: then the reset pulse is its end).
  impl_->line_activity(now);
  impl_->layer.reset();
  impl_->asleep.store(false, std::memory_order_relaxed);
  impl_->fn = Impl::Fn::kCommand;
  return true;
}

bool Ds18x20::drive(rtl::TimePoint now) {
  std::lock_guard lock(impl_->mutex);
  return impl_->drive(now);
}

void Ds18x20::sample(bool line, rtl::TimePoint now) {
  std::lock_guard lock(impl_->mutex);
  impl_->sample(line, now);
  impl_->update_asleep(now);
}

bool Ds18x20::asleep() { return impl_->asleep.load(std::memory_order_relaxed); }

bool Ds18x20::holds_line_low(rtl::TimePoint now) {
  std::lock_guard lock(impl_->mutex);
  return now < impl_->held_low_until;
}

void Ds18x20::on_strong_pullup(bool on, rtl::TimePoint now) {
  std::lock_guard lock(impl_->mutex);
  Impl& d = *impl_;
  if (!d.parasite) return;
  if (d.copying) {
    if (on) {
      d.copy_fed = true;
      d.copy_since = now;
    } else if (d.copy_fed && now - d.copy_since >= kEepromWrite) {
      d.store_copy();
    } else {
      d.copying = false;
    }
  }
  if (!d.converting || d.failing || d.profile.parasite_slots != ParasiteSlots::kBrownOut) return;
  if (on) {
    // The bus ends a pull-up before every slot and reset, so a device still
    // converting here has seen nothing on the line since its CONVERT T.
    d.fed = true;
    d.fed_since = now;
    d.conversion_end = now + d.conversion_time(d.conversion_bits);
    return;
  }
  const auto needed = std::chrono::duration_cast<rtl::Duration>(d.conversion_time(d.conversion_bits) * kFedShare);
  if (d.fed && now - d.fed_since >= needed)
    d.complete_conversion();
  else
    d.brown_out();
  d.update_asleep(now);
}

bool Ds18x20::alarm(rtl::TimePoint now) {
  std::lock_guard lock(impl_->mutex);
  impl_->settle(now);
  return impl_->alarm_flag;
}

ThermometerFamily Ds18x20::family() const { return impl_->profile.family; }

void Ds18x20::set_temperature(double celsius) {
  std::lock_guard lock(impl_->mutex);
  impl_->celsius = celsius;
}

double Ds18x20::temperature() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->celsius;
}

void Ds18x20::set_resolution(int bits) {
  std::lock_guard lock(impl_->mutex);
  if (impl_->profile.ds18s20) return;
  const int r = std::clamp(bits, 9, 12) - 9;
  impl_->pad[4] = impl_->config_register(static_cast<std::uint8_t>(r << 5));
  impl_->update_crc();
}

void Ds18x20::set_scratchpad_override(std::optional<std::array<std::uint8_t, 9>> bytes) {
  std::lock_guard lock(impl_->mutex);
  impl_->override_pad = bytes;
}

std::array<std::uint8_t, 9> Ds18x20::scratchpad(rtl::TimePoint now) const {
  std::lock_guard lock(impl_->mutex);
  impl_->settle(now);
  return impl_->pad;
}

void Ds18x20::set_power_up_settings(std::uint8_t th, std::uint8_t tl, std::uint8_t config) {
  std::lock_guard lock(impl_->mutex);
  Impl& d = *impl_;
  d.stored = {th, tl, d.profile.ds18s20 ? d.stored[2] : d.config_register(config)};
  d.pad[2] = d.stored[0];
  d.pad[3] = d.stored[1];
  if (!d.profile.ds18s20) d.pad[4] = d.stored[2];
  d.update_crc();
}

std::array<std::uint8_t, 3> Ds18x20::power_up_settings() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->stored;
}

int Ds18x20::copy_commands() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->copy_commands;
}

int Ds18x20::eeprom_writes() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->eeprom_writes;
}

void Ds18x20::set_eeprom_writes(int writes) {
  std::lock_guard lock(impl_->mutex);
  impl_->eeprom_writes = std::max(writes, 0);
}

void Ds18x20::set_parasite(bool parasite) {
  std::lock_guard lock(impl_->mutex);
  impl_->parasite = parasite;
}

void Ds18x20::set_parasite_works(bool works) {
  std::lock_guard lock(impl_->mutex);
  impl_->parasite_works = works;
}

void Ds18x20::set_reports_parasite(bool reports) {
  std::lock_guard lock(impl_->mutex);
  impl_->reports_parasite = reports;
}

void Ds18x20::power_cycle(rtl::TimePoint now, rtl::Duration off) {
  std::lock_guard lock(impl_->mutex);
  impl_->settle(now);
  impl_->power_loss(off);
  impl_->update_asleep(now);
}

rtl::Duration Ds18x20::conversion_time() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->conversion_time(impl_->resolution());
}

int Ds18x20::conversions() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->conversions;
}

int Ds18x20::brownouts() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->brownouts;
}

void Ds18x20::skip_conversions(int count) {
  std::lock_guard lock(impl_->mutex);
  impl_->skip = count < 0 ? kEvery : count;
}

void Ds18x20::fail_conversions(int count) {
  std::lock_guard lock(impl_->mutex);
  impl_->fail = count < 0 ? kEvery : count;
}

void Ds18x20::corrupt_reads(int count) {
  std::lock_guard lock(impl_->mutex);
  impl_->corrupt = std::max(count, 0);
}

void Ds18x20::corrupt_every(int period) {
  std::lock_guard lock(impl_->mutex);
  impl_->corrupt_period = std::max(period, 0);
  impl_->reads = 0;
}

std::vector<std::uint8_t> Ds18x20::forbidden_commands() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->forbidden;
}

std::shared_ptr<Ds18x20> make_thermometer(ThermometerFamily family, std::uint64_t serial, double celsius) {
  return std::make_shared<Ds18x20>(make_family_rom(family, serial), family, celsius);
}

}  // namespace onewire::sim
