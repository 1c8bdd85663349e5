#include "onewire/sim/ds18x20.hpp"

#include <algorithm>
#include <cmath>
#include <atomic>
#include <mutex>

#include "onewire/commands.hpp"
#include "onewire/crc.hpp"
#include "onewire/sim/rom_layer.hpp"

namespace onewire::sim {

namespace {

constexpr std::uint8_t kFamilyDs18s20 = 0x10;

// Factory EEPROM contents: TH, TL and (DS18B20) the 12-bit configuration.
constexpr std::uint8_t kFactoryTh = 0x4B;
constexpr std::uint8_t kFactoryTl = 0x46;
constexpr std::uint8_t kFactoryConfig = 0x7F;

// Only R1 R0 of the configuration register are writable; the rest read 1
// (bits 0-4) or 0 (bit 7).
std::uint8_t config_register(std::uint8_t written) { return static_cast<std::uint8_t>((written & 0x60) | 0x1F); }

int resolution_bits(std::uint8_t config) { return 9 + ((config >> 5) & 3); }

constexpr rtl::Duration kFullConversion = std::chrono::milliseconds(750);
// A parasite conversion fed for this share of the conversion time has
// finished: real parts convert somewhat faster than the data sheet's
// maximum, and a host's wait is measured against its own clock.
constexpr double kFedShare = 0.9;

// The device measures within its range; outside it (and for NaN) the model
// reads the nearest limit rather than wrapping the register.
double in_range(double celsius) { return std::fmin(std::fmax(celsius, -55.0), 125.0); }

int floor_div(int a, int b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0)) ? 1 : 0); }

}  // namespace

struct Ds18x20::Impl {
  explicit Impl(const Rom& r, double c) : layer(r), s20(r[0] == kFamilyDs18s20), celsius(c) {
    eeprom = {kFactoryTh, kFactoryTl, kFactoryConfig};
    power_on_scratchpad();
  }

  // What the part holds after power-up: 85 degrees, the alarm registers
  // (and a DS18B20's configuration) recalled from EEPROM, byte 6 0x0C.
  void power_on_scratchpad() {
    if (s20)
      pad = {0xAA, 0x00, eeprom[0], eeprom[1], 0xFF, 0xFF, 0x0C, 0x10, 0};
    else
      pad = {0x50, 0x05, eeprom[0], eeprom[1], eeprom[2], 0xFF, 0x0C, 0x10, 0};
    update_crc();
  }

  enum class Fn : std::uint8_t { kCommand, kWrite, kRead, kConvert, kReady, kPower, kIdle };

  mutable std::mutex mutex;
  // Mirrors layer.idle() for the bus's lock-free check; written under
  // `mutex` after every reset and slot.
  std::atomic<bool> asleep{true};
  RomLayer layer;
  const bool s20;
  double celsius;
  bool parasite = false;
  int conversions = 0;
  int brownouts = 0;
  // A parasite conversion: whether the strong pull-up is feeding it, and
  // since when.
  bool fed = false;
  rtl::TimePoint fed_since{};
  std::array<std::uint8_t, 9> pad{};
  std::array<std::uint8_t, 3> eeprom{};
  std::optional<std::array<std::uint8_t, 9>> override_pad;
  bool alarm_flag = false;

  // A conversion in progress completes lazily, the first time anything
  // looks at the device at or after its end.
  bool converting = false;
  rtl::TimePoint conversion_end{};
  double conversion_celsius = 0;
  int conversion_bits = 12;

  // Function layer, once the ROM layer has selected the device.
  Fn fn = Fn::kCommand;
  int bit = 0;
  int byte_index = 0;
  std::uint8_t byte = 0;
  std::array<std::uint8_t, 9> out{};

  void update_crc() { pad[8] = crc8(pad.data(), 8); }

  int resolution() const { return s20 ? 9 : resolution_bits(pad[4]); }

  rtl::Duration conversion_time() const { return s20 ? kFullConversion : kFullConversion / (1 << (12 - resolution())); }

  // A parasite device that is converting without its strong pull-up, or
  // whose pull-up ended too soon, loses its supply.
  void brown_out() {
    ++brownouts;
    converting = false;
    fed = false;
    alarm_flag = false;
    power_on_scratchpad();
    layer.power_up();
    fn = Fn::kIdle;
  }

  // Something happened on the line at `now`: a slot or a reset (the bus
  // ends any strong pull-up before either).
  void line_activity(rtl::TimePoint now) {
    settle(now);
    if (converting && parasite) brown_out();
  }

  void settle(rtl::TimePoint now) {
    if (!converting || now < conversion_end) return;
    // Unfed, a parasite conversion never completes; the next line activity
    // browns the device out.
    if (parasite && !fed) return;
    complete_conversion();
  }

  void complete_conversion() {
    converting = false;
    fed = false;
    // Sixteenths of a degree, the finest step either model reports.
    const int q = static_cast<int>(std::floor(in_range(conversion_celsius) * 16.0 + 0.5));
    int whole = 0;  // integer degrees, as the alarm compares them
    int raw = 0;
    if (s20) {
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
      // A converted DS18B20 holds 0x10 minus the low nibble of the
      // temperature in reserved byte 6; the power-on 0x0C is gone.
      pad[6] = static_cast<std::uint8_t>(0x10 - (raw & 0x0F));
    }
    pad[0] = static_cast<std::uint8_t>(raw & 0xFF);
    pad[1] = static_cast<std::uint8_t>((raw >> 8) & 0xFF);
    update_crc();
    const int th = static_cast<std::int8_t>(pad[2]);
    const int tl = static_cast<std::int8_t>(pad[3]);
    alarm_flag = whole <= tl || (s20 ? whole > th : whole >= th);
  }

  // A whole function command byte arrived.
  void command(std::uint8_t cmd, rtl::TimePoint now) {
    bit = 0;
    byte = 0;
    byte_index = 0;
    switch (cmd) {
      case kConvertT:
        ++conversions;
        converting = true;
        fed = false;
        conversion_celsius = celsius;
        conversion_bits = resolution();
        conversion_end = now + conversion_time();
        fn = Fn::kConvert;
        break;
      case kWriteScratchpad:
        fn = Fn::kWrite;
        break;
      case kReadScratchpad:
        out = override_pad ? *override_pad : pad;
        fn = Fn::kRead;
        break;
      case kCopyScratchpad:
        eeprom[0] = pad[2];
        eeprom[1] = pad[3];
        if (!s20) eeprom[2] = pad[4];
        fn = Fn::kReady;
        break;
      case kRecallE2:
        pad[2] = eeprom[0];
        pad[3] = eeprom[1];
        if (!s20) pad[4] = eeprom[2];
        update_crc();
        fn = Fn::kReady;
        break;
      case kReadPowerSupply:
        fn = Fn::kPower;
        break;
      default:
        fn = Fn::kIdle;
        break;
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
        break;
      default:
        break;
    }
    update_crc();
    ++byte_index;
    if (byte_index == (s20 ? 2 : 3)) fn = Fn::kIdle;
  }

  bool drive(rtl::TimePoint now) {
    line_activity(now);
    if (layer.idle()) return true;
    if (!layer.selected()) return layer.drive();
    switch (fn) {
      case Fn::kRead:
        return ((out[static_cast<std::size_t>(bit / 8)] >> (bit % 8)) & 1) != 0;
      case Fn::kConvert:
        return !converting;
      case Fn::kPower:
        return !parasite;
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
        if (line) byte = static_cast<std::uint8_t>(byte | (1u << bit));
        if (++bit == 8) {
          write_byte(byte);
          bit = 0;
          byte = 0;
        }
        break;
      case Fn::kRead:
        if (++bit == 72) fn = Fn::kIdle;
        break;
      default:
        break;
    }
  }
};

Ds18x20::Ds18x20(const Rom& rom, double celsius) : impl_(std::make_unique<Impl>(rom, celsius)) {}

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
  impl_->asleep.store(impl_->layer.idle(), std::memory_order_relaxed);
}

bool Ds18x20::asleep() { return impl_->asleep.load(std::memory_order_relaxed); }

void Ds18x20::on_strong_pullup(bool on, rtl::TimePoint now) {
  std::lock_guard lock(impl_->mutex);
  Impl& d = *impl_;
  if (!d.converting || !d.parasite) return;
  if (on) {
    // The bus ends a pull-up before every slot and reset, so a device still
    // converting here has seen nothing on the line since its CONVERT T.
    d.fed = true;
    d.fed_since = now;
    d.conversion_end = now + d.conversion_time();
    return;
  }
  if (d.fed && now - d.fed_since >= std::chrono::duration_cast<rtl::Duration>(d.conversion_time() * kFedShare))
    d.complete_conversion();
  else
    d.brown_out();
  d.asleep.store(d.layer.idle(), std::memory_order_relaxed);
}

bool Ds18x20::alarm(rtl::TimePoint now) {
  std::lock_guard lock(impl_->mutex);
  impl_->settle(now);
  return impl_->alarm_flag;
}

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
  if (impl_->s20) return;
  const int r = std::clamp(bits, 9, 12) - 9;
  impl_->pad[4] = config_register(static_cast<std::uint8_t>(r << 5));
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

void Ds18x20::set_parasite(bool parasite) {
  std::lock_guard lock(impl_->mutex);
  impl_->parasite = parasite;
}

rtl::Duration Ds18x20::conversion_time() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->conversion_time();
}

int Ds18x20::conversions() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->conversions;
}

int Ds18x20::brownouts() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->brownouts;
}

}  // namespace onewire::sim
