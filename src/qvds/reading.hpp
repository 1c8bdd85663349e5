// What the engine gives back: the devices a search found, and one
// thermometer's reading with everything it is made of (the exact value,
// the outcome and its reason, the raw scratchpad, the ROM and the model).
//
// Thread safety: plain values; copy them freely between threads.
#pragma once

#include "qvds18x20/export.hpp"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "onewire/ds18x20/family.hpp"
#include "onewire/ds18x20/power.hpp"
#include "onewire/ds18x20/scratchpad.hpp"
#include "qvds/rom.hpp"

namespace qvds {

using Model = onewire::ds18x20::Model;
using PowerSupply = onewire::ds18x20::PowerSupply;
using ReadStatus = onewire::ds18x20::ReadStatus;
using Scratchpad = onewire::ds18x20::Scratchpad;
using onewire::ds18x20::describe;
using onewire::ds18x20::is_reading;
using onewire::ds18x20::model_name;
using onewire::ds18x20::power_name;
using onewire::ds18x20::status_name;

// One device found on a bus.
struct QVDS_API Device {
  Rom rom{};
  Model model = Model::kOther;
  // How it is powered, as READ POWER SUPPLY told at the search; kUnknown
  // for devices without a thermometer and buses that could not be asked.
  PowerSupply power = PowerSupply::kUnknown;

  std::uint8_t family() const { return rom[0]; }
  bool thermometer() const { return model != Model::kOther; }
};

// One device's outcome of a measurement or a read.
struct QVDS_API Reading {
  Rom rom{};
  Model model = Model::kOther;
  PowerSupply power = PowerSupply::kUnknown;
  ReadStatus status = ReadStatus::kNotMeasured;
  // Why it was not read, or what is doubtful about the reading, in
  // words; empty for a plain reading.
  std::string reason;
  // The exact temperature in degrees Celsius, when is_reading(status);
  // also the value a kUnconfirmed sensor holds, which is no measurement
  // (ok() is false): shown with its doubt, never published.
  std::optional<double> celsius;
  // The same value in sixteenths of a degree (0 when not read).
  std::int32_t sixteenths = 0;
  // Bits of resolution of the value (9..12), when read.
  int resolution = 0;
  // The scratchpad as it last came back, CRC last; `has_scratchpad` is
  // false when nothing came back (all zeros then).
  Scratchpad scratchpad{};
  bool has_scratchpad = false;
  // The alarm thresholds the scratchpad holds (signed whole degrees), and
  // whether the value is at or beyond them as the part decides it; only
  // when read.
  int alarm_low = 0;
  int alarm_high = 0;
  bool alarm = false;
  // When the value was taken (the end of the conversion wait).
  std::chrono::system_clock::time_point time{};

  // A temperature that can be used: the outcome is a reading.
  bool ok() const { return is_reading(status) && celsius.has_value(); }
};

// One measurement of a bus: one conversion on every device, then the
// scratchpads read.
struct QVDS_API Measurement {
  // Every device measured, in the order the search found them; devices
  // without a thermometer are there with ReadStatus::kNoThermometer.
  std::vector<Reading> readings;
  // The conversion command reached the devices.
  bool converted = false;
  // How long the conversion wait took, and whether it was polled (every
  // thermometer powered) or a fixed strong pull-up.
  std::chrono::microseconds conversion_wait{0};
  bool polled = false;
  // The devices were searched for anew first (none known, or asked).
  bool searched = false;
  std::chrono::system_clock::time_point time{};

  // How many readings carry a temperature.
  std::size_t read_count() const;
};

}  // namespace qvds
