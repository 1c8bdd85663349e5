// A thermometer's settings: read, changed by read-modify-write and
// checked, saved to EEPROM only when it differs, and the alarm search.
#include <array>

#include "onewire/commands.hpp"
#include "onewire/ds18x20/alarm.hpp"
#include "onewire/ds18x20/family.hpp"
#include "onewire/ds18x20/timing.hpp"
#include "onewire/search.hpp"
#include "qvds/detail/operations.hpp"
#include "qvds/rom.hpp"

namespace qvds::detail {

namespace rules = onewire::ds18x20;

namespace {

// The bytes WRITE SCRATCHPAD sets: TH, TL and the configuration.
struct Registers {
  std::uint8_t th = 0;
  std::uint8_t tl = 0;
  std::uint8_t config = 0;
  bool operator==(const Registers&) const = default;
};

Registers registers_of(const Scratchpad& pad) { return {pad[2], pad[3], pad[4]}; }

// Whether two sets of registers mean the same on `family`: a DS18S20 has
// no configuration register (byte 4 reads FF), and only the resolution
// bits of one are the user's (the rest are fixed, or a DS1825's address
// pins).
bool same_settings(std::uint8_t family, const Registers& a, const Registers& b) {
  if (a.th != b.th || a.tl != b.tl) return false;
  if (!rules::has_resolution(family)) return true;
  return (a.config & 0x60) == (b.config & 0x60);
}

std::string sensor_text(const BusState& bus, const Rom& rom) {
  return "sensor " + format_rom(rom, RomForm::kOwfs) + " on " + bus.name;
}

// A sound scratchpad, or why there is none.
Result<Scratchpad> sound_scratchpad(BusState& bus, const Rom& rom) {
  Scratchpad pad{};
  bool got = false;
  int link_error = 0;
  const ReadStatus checked = read_pad(bus, rom, pad, got, link_error);
  if (link_error != 0) return driver_failure(link_error, bus.name);
  if (checked == ReadStatus::kRead) return pad;
  // All ones is nobody answering: a selection of a device that is not
  // there reads like that on a bus that has others.
  if (checked == ReadStatus::kNotSelected) return Failure{Errc::kNotOnBus, sensor_text(bus, rom)};
  return Failure{Errc::kNoResponse, sensor_text(bus, rom) + ": " + rules::describe(checked)};
}

// WRITE SCRATCHPAD of TH, TL and (but on a DS18S20) the configuration.
Result<void> write_registers(BusState& bus, const Rom& rom, const Registers& r) {
  std::array<std::uint8_t, 4> bytes = {onewire::kWriteScratchpad, r.th, r.tl, r.config};
  const std::size_t n = 1 + static_cast<std::size_t>(rules::write_scratchpad_length(rom[0]));
  const int w = bus.link->block(&rom, false, bytes.data(), n);
  if (w == 0) return Failure{Errc::kNotOnBus, sensor_text(bus, rom)};
  if (w < 0) return driver_failure(w, bus.name);
  return {};
}

// A command that makes the device busy for up to `length` (COPY
// SCRATCHPAD, RECALL E2): sent to the device alone, then the strong
// pull-up held for all of it on a parasite device, or the time left
// idle on a powered one (a recall is polled: read slots read 1 once it
// is done).
Result<void> busy_command(BusState& bus, const OpContext& ctx, const Device& device, std::uint8_t command,
                          std::chrono::microseconds length, bool poll) {
  const bool feed = device.power == PowerSupply::kParasite && bus.link->can_strong_pullup();
  int r = 0;
  if (feed) {
    r = bus.link->match(device.rom);
    if (r == 1) {
      const int echo = bus.link->touch_byte_pullup(command);
      if (echo < 0) r = echo;
    }
  } else {
    std::array<std::uint8_t, 1> bytes = {command};
    r = bus.link->block(&device.rom, false, bytes.data(), bytes.size());
  }
  if (r == 0) return Failure{Errc::kNotOnBus, sensor_text(bus, device.rom)};
  if (r < 0) {
    if (feed) bus.link->end_strong_pullup();
    return driver_failure(r, bus.name);
  }
  if (poll && !feed && device.power == PowerSupply::kExternal) {
    // Read slots stay 0 while it works; a few polls, then it is given the
    // whole time anyway.
    for (int i = 0; i < 10; ++i) {
      const int slot = bus.link->touch_byte(0xFF);
      if (slot < 0) return driver_failure(slot, bus.name);
      if (rules::conversion_done(slot)) return {};
      if (const std::error_code why = ctx.wait(length / 10)) return interruption(why);
    }
    return {};
  }
  const std::error_code why = ctx.wait(length);
  if (feed) bus.link->end_strong_pullup();
  if (why) return interruption(why);
  return {};
}

SensorSettings settings_of(const Device& device, const Scratchpad& pad) {
  SensorSettings s;
  s.rom = device.rom;
  s.model = device.model;
  s.power = device.power;
  s.scratchpad = pad;
  s.alarm_high = rules::threshold_of(pad[2]);
  s.alarm_low = rules::threshold_of(pad[3]);
  if (rules::has_resolution(device.family())) s.resolution = rules::resolution_of(pad[4]);
  return s;
}

// RECALL E2, then the scratchpad as the EEPROM filled it.
Result<Scratchpad> recall(BusState& bus, const OpContext& ctx, const Device& device) {
  auto done = busy_command(bus, ctx, device, onewire::kRecallE2, rules::kRecallTime, true);
  if (!done) return done.failure();
  return sound_scratchpad(bus, device.rom);
}

}  // namespace

Result<SensorSettings> read_settings(BusState& bus, const OpContext& ctx, const Rom& rom, bool eeprom) {
  if (const std::error_code why = ctx.interrupted()) return interruption(why);
  auto device = known_or_asked(bus, rom);
  if (!device) return device.failure();
  auto pad = sound_scratchpad(bus, rom);
  if (!pad) return pad.failure();
  SensorSettings s = settings_of(*device, *pad);
  if (!eeprom) return s;
  auto stored = recall(bus, ctx, *device);
  if (!stored) return stored.failure();
  const Registers ram = registers_of(*pad);
  s.eeprom_matches = same_settings(rom[0], ram, registers_of(*stored));
  const SensorSettings kept = settings_of(*device, *stored);
  s.eeprom = StoredSettings{kept.resolution, kept.alarm_low, kept.alarm_high};
  // The recall put the EEPROM's values into the scratchpad: what it held
  // goes back.
  if (!*s.eeprom_matches) {
    auto put_back = write_registers(bus, rom, ram);
    if (!put_back) return put_back.failure();
  }
  return s;
}

Result<SensorSettings> change_settings(BusState& bus, const OpContext& ctx, const Rom& rom,
                                       const SettingsChange& change) {
  if (const std::error_code why = ctx.interrupted()) return interruption(why);
  if (change.resolution && (*change.resolution < 9 || *change.resolution > 12))
    return Failure{Errc::kBadArgument, "a resolution is 9 to 12 bits, not " + std::to_string(*change.resolution)};
  for (const std::optional<int>& t : {change.alarm_low, change.alarm_high})
    if (t && (*t < rules::kLowestThreshold || *t > rules::kHighestThreshold))
      return Failure{Errc::kBadArgument, "a threshold is -55 to 125 degrees, not " + std::to_string(*t)};
  auto device = known_or_asked(bus, rom);
  if (!device) return device.failure();
  if (change.resolution && !rules::has_resolution(rom[0]))
    return Failure{Errc::kNotSupported, sensor_text(bus, rom) + " is a " + rules::model_name(device->model) +
                                          ", whose resolution is fixed"};
  auto pad = sound_scratchpad(bus, rom);
  if (!pad) return pad.failure();
  const Registers before = registers_of(*pad);
  Registers wanted = before;
  if (change.resolution) wanted.config = rules::with_resolution(before.config, *change.resolution);
  if (change.alarm_low) wanted.tl = rules::threshold_byte(*change.alarm_low);
  if (change.alarm_high) wanted.th = rules::threshold_byte(*change.alarm_high);
  if (rules::threshold_of(wanted.tl) > rules::threshold_of(wanted.th))
    return Failure{Errc::kBadArgument, sensor_text(bus, rom) + ": the low threshold " +
                                           std::to_string(rules::threshold_of(wanted.tl)) + " is above the high one " +
                                           std::to_string(rules::threshold_of(wanted.th)) + " (change both)"};
  if (wanted == before) return settings_of(*device, *pad);
  auto written = write_registers(bus, rom, wanted);
  if (!written) return written.failure();
  auto after = sound_scratchpad(bus, rom);
  if (!after) return after.failure();
  if (!same_settings(rom[0], wanted, registers_of(*after))) {
    // Nothing else changes: what it held goes back.
    (void)write_registers(bus, rom, before);
    std::string what;
    if (change.resolution && (registers_of(*after).config & 0x60) != (wanted.config & 0x60))
      what = "resolution " + std::to_string(*change.resolution) + " (it stays at " +
             std::to_string(rules::resolution_of(registers_of(*after).config)) + " bits: a clone with a fixed "
             "resolution?)";
    else
      what = "its new thresholds";
    return Failure{Errc::kRefused, sensor_text(bus, rom) + " did not take " + what};
  }
  if (rules::has_resolution(rom[0])) bus.resolution[rom] = rules::resolution_of(registers_of(*after).config);
  return settings_of(*device, *after);
}

Result<SaveOutcome> save_settings(BusState& bus, const OpContext& ctx, const Rom& rom) {
  if (const std::error_code why = ctx.interrupted()) return interruption(why);
  auto device = known_or_asked(bus, rom);
  if (!device) return device.failure();
  auto pad = sound_scratchpad(bus, rom);
  if (!pad) return pad.failure();
  const Registers ram = registers_of(*pad);
  // Recall, compare, and copy only what differs: an EEPROM wears out.
  auto stored = recall(bus, ctx, *device);
  if (!stored) return stored.failure();
  SaveOutcome outcome;
  if (same_settings(rom[0], ram, registers_of(*stored))) {
    outcome.verified = true;
    return outcome;
  }
  auto put_back = write_registers(bus, rom, ram);
  if (!put_back) return put_back.failure();
  auto copied = busy_command(bus, ctx, *device, onewire::kCopyScratchpad, rules::kEepromWriteTime, false);
  if (!copied) return copied.failure();
  outcome.written = true;
  auto check = recall(bus, ctx, *device);
  if (!check) return check.failure();
  if (!same_settings(rom[0], ram, registers_of(*check))) {
    // The scratchpad keeps what it was asked to hold, whatever the EEPROM
    // did.
    (void)write_registers(bus, rom, ram);
    return Failure{Errc::kRefused, sensor_text(bus, rom) +
                                       ": its EEPROM did not keep the settings (a part without EEPROM, or one "
                                       "worn out)"};
  }
  outcome.verified = true;
  return outcome;
}

Result<AlarmResult> alarm_search(BusState& bus, const OpContext& ctx) {
  AlarmResult result;
  auto m = measure(bus, ctx, MeasureOptions{});
  if (!m) return m.failure();
  result.measurement = std::move(*m);
  if (const std::error_code why = ctx.interrupted()) return interruption(why);
  std::vector<Rom> found;
  const int r = onewire::search_bus(*bus.link, found, true);
  if (r < 0) return driver_failure(r, bus.name);
  result.in_alarm = std::move(found);
  return result;
}

}  // namespace qvds::detail
