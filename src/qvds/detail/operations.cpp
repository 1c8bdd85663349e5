#include "qvds/detail/operations.hpp"

#include <algorithm>
#include <array>

#include "onewire/commands.hpp"
#include "onewire/ds18x20/alarm.hpp"
#include "onewire/ds18x20/timing.hpp"
#include "onewire/errors.hpp"
#include "onewire/power_check.hpp"
#include "onewire/search.hpp"
#include "rtl/clock.hpp"

namespace qvds::detail {

namespace rules = onewire::ds18x20;
using std::chrono::microseconds;

namespace {

int known_resolution(const BusState& bus, const Rom& rom) {
  const auto it = bus.resolution.find(rom);
  return it != bus.resolution.end() ? it->second : 12;
}

// How one conversion is waited for.
struct WaitPlan {
  bool feed = false;  // the strong pull-up holds the line: fixed length
  bool poll = false;  // every converting device is powered: read slots until done
  microseconds longest{0};
};

WaitPlan plan_wait(const BusState& bus, const std::vector<const Device*>& converting) {
  WaitPlan plan;
  bool all_powered = !converting.empty();
  bool any_parasite = false;
  for (const Device* d : converting) {
    if (!d->thermometer()) continue;
    plan.longest = std::max(plan.longest, rules::max_conversion_time(d->family(), known_resolution(bus, d->rom)));
    all_powered = all_powered && d->power == PowerSupply::kExternal;
    any_parasite = any_parasite || d->power == PowerSupply::kParasite;
  }
  plan.feed = any_parasite && bus.link->can_strong_pullup();
  plan.poll = all_powered;
  return plan;
}

// A parasite bus waits the longest conversion its sensors' resolutions
// allow, and a sensor of unknown resolution counts as 12 bits (750 ms).
// Where few are unknown, reading their scratchpads first (nothing is
// written) costs less than the wait it may save.
void learn_resolutions(BusState& bus, const std::vector<const Device*>& converting) {
  constexpr std::size_t kWorthReading = 16;
  std::vector<const Device*> unknown;
  bool parasite = false;
  for (const Device* d : converting) {
    if (!d->thermometer()) continue;
    parasite = parasite || d->power == PowerSupply::kParasite;
    if (rules::has_resolution(d->family()) && bus.resolution.count(d->rom) == 0) unknown.push_back(d);
  }
  if (!parasite || !bus.link->can_strong_pullup() || unknown.empty() || unknown.size() > kWorthReading) return;
  for (const Device* d : unknown) {
    Scratchpad pad{};
    bool got = false;
    int link_error = 0;
    if (read_pad(bus, d->rom, pad, got, link_error) == ReadStatus::kRead)
      bus.resolution[d->rom] = rules::resolution_of(pad[4]);
    if (fatal(link_error)) return;
  }
}

// The wait after CONVERT T (sent with the strong pull-up when plan.feed).
// Returns the interruption, if any; `waited` gets the time it took, and
// `busy_seen` whether a poll found a device still converting.
std::error_code wait_conversion(BusState& bus, const OpContext& ctx, const WaitPlan& plan, microseconds& waited,
                                int& link_error, microseconds first_poll = rules::kFirstPollAfter,
                                bool* busy_seen = nullptr) {
  rtl::Clock& clock = ctx.time();
  const rtl::TimePoint start = clock.now();
  const auto elapsed = [&] { return std::chrono::duration_cast<microseconds>(clock.now() - start); };
  std::error_code why;
  if (plan.feed || !plan.poll) {
    why = ctx.wait(plan.longest);
    if (plan.feed) bus.link->end_strong_pullup();
  } else {
    const microseconds cap = rules::poll_cap(plan.longest);
    why = ctx.wait(first_poll);
    bool busy = false;
    while (!why) {
      const int polled = bus.link->touch_byte(0xFF);
      if (polled < 0) {
        link_error = polled;
        break;
      }
      if (rules::conversion_done(polled)) {
        // Done before anyone was seen busy: a part that never reports
        // busy (family F) may still be converting. It gets the longest
        // time its resolution allows.
        if (!busy && elapsed() < plan.longest) why = ctx.wait(plan.longest - elapsed());
        break;
      }
      if (elapsed() >= cap) break;
      busy = true;
      why = ctx.wait(std::min(rules::kPollInterval, cap - elapsed()));
    }
    if (busy_seen != nullptr) *busy_seen = busy;
  }
  waited = elapsed();
  return why;
}

// CONVERT T to one device alone, with the strong pull-up when it needs
// it: 1, 0 when it did not answer its selection, or a driver code.
int convert_one(BusState& bus, const Rom& rom, const WaitPlan& plan) {
  int selected = 0;
  if (plan.feed) {
    selected = bus.link->match(rom);
    if (selected == 1) {
      const int echo = bus.link->touch_byte_pullup(onewire::kConvertT);
      if (echo < 0) selected = echo;
    }
  } else {
    std::array<std::uint8_t, 1> convert = {onewire::kConvertT};
    selected = bus.link->block(&rom, false, convert.data(), convert.size());
  }
  if (selected < 0 && plan.feed) bus.link->end_strong_pullup();
  return selected;
}

// Reads one thermometer's scratchpad and judges it.
Reading read_scratchpad(BusState& bus, const Device& device, bool converted, int& link_error) {
  Reading reading;
  reading.rom = device.rom;
  reading.model = device.model;
  reading.power = device.power;
  if (!device.thermometer()) {
    reading.status = ReadStatus::kNoThermometer;
    return reading;
  }
  Scratchpad pad{};
  const ReadStatus checked = read_pad(bus, device.rom, pad, reading.has_scratchpad, link_error);
  if (checked == ReadStatus::kNotSelected && !reading.has_scratchpad) {
    reading.status = checked;
    return reading;
  }
  if (checked == ReadStatus::kNoAnswer) {
    reading.status = checked;
    return reading;
  }
  reading.scratchpad = pad;
  const rules::Decoded decoded = rules::judge(device.rom, pad, converted);
  reading.status = decoded.status;
  if (checked == ReadStatus::kRead && rules::has_resolution(device.family()))
    bus.resolution[device.rom] = decoded.resolution;
  reading.status = rules::with_power(reading.status, device.power);
  if (is_reading(reading.status) || reading.status == ReadStatus::kUnconfirmed) {
    reading.sixteenths = decoded.sixteenths;
    reading.celsius = decoded.celsius();
    reading.resolution = decoded.resolution;
    reading.alarm_high = rules::threshold_of(pad[2]);
    reading.alarm_low = rules::threshold_of(pad[3]);
    reading.alarm = rules::in_alarm(device.family(), pad);
  }
  if (reading.status != ReadStatus::kRead) reading.reason = rules::describe(reading.status);
  return reading;
}

bool worth_confirming(ReadStatus s) { return s == ReadStatus::kUnconfirmed || s == ReadStatus::kPowerOnValue; }

// A sensor whose value its scratchpad cannot vouch for (85.0 on a clone
// whose byte 6 tells nothing): converted once more on its own, polled
// from the first milliseconds on a powered bus so that its busy slots
// show the conversion, and judged again against the first value.
std::error_code confirm_reading(BusState& bus, const OpContext& ctx, const Device& device, Reading& reading,
                                int& link_error) {
  const WaitPlan plan = plan_wait(bus, {&device});
  if (convert_one(bus, device.rom, plan) != 1) return {};
  microseconds waited{0};
  bool busy_seen = false;
  // Some parts report busy only a moment after the command.
  constexpr microseconds kConfirmFirstPoll{2000};
  if (const std::error_code why = wait_conversion(bus, ctx, plan, waited, link_error, kConfirmFirstPoll, &busy_seen))
    return why;
  if (fatal(link_error)) return {};
  Scratchpad second{};
  bool got = false;
  if (read_pad(bus, device.rom, second, got, link_error) != ReadStatus::kRead) return {};
  const rules::Decoded decoded = rules::confirm(device.rom, reading.scratchpad, second, busy_seen);
  reading.scratchpad = second;
  reading.status = rules::with_power(decoded.status, device.power);
  if (is_reading(reading.status) || reading.status == ReadStatus::kUnconfirmed) {
    reading.sixteenths = decoded.sixteenths;
    reading.celsius = decoded.celsius();
    reading.resolution = decoded.resolution;
    reading.alarm_high = rules::threshold_of(second[2]);
    reading.alarm_low = rules::threshold_of(second[3]);
    reading.alarm = rules::in_alarm(device.family(), second);
  } else {
    reading.sixteenths = 0;
    reading.celsius.reset();
  }
  reading.reason = reading.status == ReadStatus::kRead ? std::string() : rules::describe(reading.status);
  return {};
}

}  // namespace

Failure interruption(std::error_code why) { return Failure{why, {}}; }

Device device_of(const Rom& rom) {
  Device d;
  d.rom = rom;
  d.model = rules::model_of(rom[0]);
  return d;
}

bool fatal(int code) { return code == onewire::kErrPortIo || code == onewire::kErrBusShort; }

const Device* find_device(const BusState& bus, const Rom& rom) {
  for (const Device& d : bus.devices)
    if (d.rom == rom) return &d;
  return nullptr;
}

ReadStatus read_pad(BusState& bus, const Rom& rom, Scratchpad& pad, bool& got_bytes, int& link_error) {
  ReadStatus checked = ReadStatus::kNotSelected;
  for (int attempt = 0; attempt < rules::kScratchpadReads; ++attempt) {
    std::array<std::uint8_t, 10> block{};
    block.fill(0xFF);
    block[0] = onewire::kReadScratchpad;
    const int r = bus.link->block(&rom, false, block.data(), block.size());
    if (r == 0) return ReadStatus::kNotSelected;
    if (r < 0) {
      if (fatal(r)) link_error = r;
      return ReadStatus::kNoAnswer;
    }
    std::copy(block.begin() + 1, block.end(), pad.begin());
    got_bytes = true;
    checked = rules::check(pad);
    if (checked == ReadStatus::kRead) break;
  }
  return checked;
}

Result<Device> known_or_asked(BusState& bus, const Rom& rom) {
  const Device* known = find_device(bus, rom);
  Device device = known != nullptr ? *known : device_of(rom);
  if (!device.thermometer()) return Failure{Errc::kNotThermometer, bus.name};
  if (known != nullptr && device.power != PowerSupply::kUnknown) return device;
  // Asked on its own: READ POWER SUPPLY, whose answer also says whether
  // it is there at all.
  std::array<std::uint8_t, 2> ask = {onewire::kReadPowerSupply, 0xFF};
  const int r = bus.link->block(&rom, false, ask.data(), ask.size());
  if (r == 0) return Failure{Errc::kNotOnBus, bus.name};
  if (r < 0) return driver_failure(r, bus.name);
  device.power = rules::power_of(true, (ask[1] & 1) == 0, bus.link->can_strong_pullup());
  return device;
}

Failure driver_failure(int code, const std::string& name) { return Failure{driver_error(code), name, code}; }

Result<std::vector<Device>> search(BusState& bus, const OpContext& ctx) {
  if (const std::error_code why = ctx.interrupted()) return interruption(why);
  std::vector<Rom> roms;
  const int r = onewire::search_bus(*bus.link, roms);
  if (r != 1) {
    // The devices known before are kept: a bus that failed to answer now
    // may answer the next time.
    return driver_failure(r, bus.name);
  }
  const onewire::PowerSurvey power = onewire::survey_power(*bus.link, roms);
  std::vector<Device> devices;
  devices.reserve(roms.size());
  const bool can_feed = bus.link->can_strong_pullup();
  for (const Rom& rom : roms) {
    Device d = device_of(rom);
    if (d.thermometer()) {
      const bool parasite = std::find(power.parasites.begin(), power.parasites.end(), rom) != power.parasites.end();
      d.power = rules::power_of(power.asked, parasite, can_feed);
    }
    devices.push_back(d);
  }
  bus.devices = devices;
  bus.searched = true;
  return devices;
}

Result<Measurement> measure(BusState& bus, const OpContext& ctx, const MeasureOptions& what) {
  Measurement m;
  if (!bus.searched || what.search) {
    auto found = search(bus, ctx);
    if (!found) return found.failure();
    m.searched = true;
  }
  if (const std::error_code why = ctx.interrupted()) return interruption(why);

  // Every device converts; the wait is planned for all of them.
  std::vector<const Device*> converting;
  for (const Device& d : bus.devices) converting.push_back(&d);
  learn_resolutions(bus, converting);
  const WaitPlan plan = plan_wait(bus, converting);
  m.polled = plan.poll && !plan.feed;

  int presence = 0;
  if (plan.feed) {
    std::array<std::uint8_t, 1> skip = {onewire::kSkipRom};
    presence = bus.link->block(nullptr, true, skip.data(), skip.size());
    if (presence == 1) {
      const int echo = bus.link->touch_byte_pullup(onewire::kConvertT);
      if (echo < 0) presence = echo;
    }
  } else {
    std::array<std::uint8_t, 2> convert = {onewire::kSkipRom, onewire::kConvertT};
    presence = bus.link->block(nullptr, true, convert.data(), convert.size());
  }
  if (presence < 0) {
    if (plan.feed) bus.link->end_strong_pullup();
    return driver_failure(presence, bus.name);
  }
  // block() answers 1 when devices answered the reset, 0 when none did.
  m.converted = presence == 1;

  int link_error = 0;
  if (m.converted) {
    microseconds waited{0};
    if (const std::error_code why = wait_conversion(bus, ctx, plan, waited, link_error)) return interruption(why);
    m.conversion_wait = waited;
    if (fatal(link_error)) return driver_failure(link_error, bus.name);
  }
  m.time = std::chrono::system_clock::now();

  std::vector<Device> targets;
  if (what.only.empty()) {
    targets = bus.devices;
  } else {
    for (const Rom& rom : what.only) {
      const Device* known = find_device(bus, rom);
      if (known == nullptr && what.skip_unknown) continue;
      targets.push_back(known != nullptr ? *known : device_of(rom));
    }
  }
  m.readings.reserve(targets.size());
  for (const Device& d : targets) {
    if (const std::error_code why = ctx.interrupted()) return interruption(why);
    Reading reading = read_scratchpad(bus, d, m.converted, link_error);
    if (fatal(link_error)) return driver_failure(link_error, bus.name);
    reading.time = m.time;
    m.readings.push_back(std::move(reading));
  }
  // A sensor that did not convert (its power-on value), or whose value
  // could be its power-on value, gets one conversion of its own.
  for (std::size_t i = 0; i < m.readings.size(); ++i) {
    if (!worth_confirming(m.readings[i].status)) continue;
    if (const std::error_code why = confirm_reading(bus, ctx, targets[i], m.readings[i], link_error))
      return interruption(why);
    if (fatal(link_error)) return driver_failure(link_error, bus.name);
  }
  return m;
}

Result<Reading> read_one(BusState& bus, const OpContext& ctx, const Rom& rom) {
  if (const std::error_code why = ctx.interrupted()) return interruption(why);
  auto asked = known_or_asked(bus, rom);
  if (!asked) return asked.failure();
  const Device device = *asked;
  const WaitPlan plan = plan_wait(bus, {&device});
  const int selected = convert_one(bus, rom, plan);
  if (selected == 0) return Failure{Errc::kNotOnBus, bus.name};
  if (selected < 0) return driver_failure(selected, bus.name);
  int link_error = 0;
  microseconds waited{0};
  if (const std::error_code why = wait_conversion(bus, ctx, plan, waited, link_error)) return interruption(why);
  if (fatal(link_error)) return driver_failure(link_error, bus.name);
  Reading reading = read_scratchpad(bus, device, true, link_error);
  if (fatal(link_error)) return driver_failure(link_error, bus.name);
  if (reading.status == ReadStatus::kNotSelected) return Failure{Errc::kNotOnBus, bus.name};
  if (worth_confirming(reading.status)) {
    if (const std::error_code why = confirm_reading(bus, ctx, device, reading, link_error)) return interruption(why);
    if (fatal(link_error)) return driver_failure(link_error, bus.name);
  }
  reading.time = std::chrono::system_clock::now();
  return reading;
}

Result<Reading> read_latest(BusState& bus, const OpContext& ctx, const Rom& rom) {
  if (const std::error_code why = ctx.interrupted()) return interruption(why);
  auto asked = known_or_asked(bus, rom);
  if (!asked) return asked.failure();
  int link_error = 0;
  // What it holds is the last conversion's, whenever that was: judged as
  // converted, so that a power-on value still says so.
  Reading reading = read_scratchpad(bus, *asked, true, link_error);
  if (fatal(link_error)) return driver_failure(link_error, bus.name);
  if (reading.status == ReadStatus::kNotSelected) return Failure{Errc::kNotOnBus, bus.name};
  reading.time = std::chrono::system_clock::now();
  return reading;
}

}  // namespace qvds::detail
