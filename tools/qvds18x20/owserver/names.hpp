// The names an owserver client sees: paths (prefixes, device names in
// OWFS's six forms, properties), the properties OWFS gives each family of
// thermometer with the form of their values, and the fixed directories
// (/settings, /system). Pure functions: no I/O.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "qvds/rom.hpp"
#include "qvds18x20/owserver/wire.hpp"

namespace qvtool::owserver {

// What a property of a device is.
enum class Prop {
  // every device
  kAddress,
  kAlias,
  kCrc8,
  kFamily,
  kId,
  kLocator,
  kRAddress,
  kRId,
  kRLocator,
  kType,
  kPresent,
  // thermometers
  kTemperature,  // a conversion; `bits` 0: at the sensor's own resolution
  kLatestTemp,   // the scratchpad as it stands
  kPower,
  kTempHigh,
  kTempLow,
  kTempRes,
  kScratchpad,
  kProgAddr,  // DS1825: its address pins
};

struct Property {
  std::string_view name;
  Prop prop;
  int bits = 0;          // kTemperature: 9..12, or 0
  bool listed = true;    // false: answered, but not in listings (OWFS hides it too)
  bool writable = false;
};

// The properties OWFS gives a device of `family` that this server offers,
// in the order OWFS lists them (byte-wise by name).
std::span<const Property> properties_of(std::uint8_t family);
const Property* find_property(std::uint8_t family, std::string_view name);

// The `type` OWFS gives a family: "DS18B20", "DS2401", ...
std::string type_name(std::uint8_t family);

// The device-flag word a listing's offset carries: what OWFS's libow
// clients build their own root from (simultaneous and alarm entries).
std::int32_t device_flags(std::uint8_t family);

// A device as `format` writes it: 28.FF6B3C911604 (f.i), ...
std::string device_name(const qvds::Rom& rom, NameFormat format);
// A path segment that names a device in any of the six forms, hex in
// either case; the CRC, when given, must be right.
std::optional<qvds::Rom> parse_device_name(std::string_view text);

// --- values ---
// A temperature in degrees Celsius in `scale`, and back.
double to_scale(double celsius, Scale scale);
double from_scale(double value, Scale scale);
// `value` as OWFS writes floating values: %G, right-aligned in 12
// characters unless trimmed.
std::string format_float(double value, bool trim);
// An integer, right-aligned in 12 characters unless trimmed.
std::string format_integer(long long value, bool trim);
// The letter of a scale: C, F, K, R.
char scale_letter(Scale scale);
// A written number (a temperature, a resolution): surrounding blanks
// ignored; nothing for text that is no finite number.
std::optional<double> parse_number(std::string_view text);

// --- paths ---
// What a path names.
enum class Area {
  kRoot,          // "/", "/uncached", "/bus.0", ...
  kDevice,        // a device's directory, or (property set) one of its properties
  kSimultaneous,  // "/simultaneous", or its "temperature"
  kAlarm,         // the devices in alarm
  kFixed,         // /settings and /system
};

struct ParsedPath {
  Area area = Area::kRoot;
  bool uncached = false;
  std::optional<int> bus;  // bus.N
  qvds::Rom rom{};         // kDevice
  std::string property;    // kDevice, kSimultaneous: the file in it; empty: the directory
  std::string fixed;       // kFixed: the path under the root, "settings/units/temperature_scale"
  // The path as listings prefix their entries with, without the device
  // (which the name format writes): "/uncached/bus.0" or "".
  std::string prefix;
};

// Parses a client's path (leading slash optional, trailing one ignored,
// prefixes in any case); nothing when it cannot name anything here.
std::optional<ParsedPath> parse_path(std::string_view path);

// --- the fixed directories ---
// Every entry under /settings and /system, by its path under the root;
// directories end without a slash and have no value.
struct FixedEntry {
  std::string_view path;
  bool directory;
};
std::span<const FixedEntry> fixed_entries();
const FixedEntry* find_fixed(std::string_view path);
// The entries directly inside directory `dir` ("settings", "" for the
// root's own fixed directories).
std::vector<const FixedEntry*> fixed_children(std::string_view dir);

}  // namespace qvtool::owserver
