#include "qvds18x20/owserver/names.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "onewire/crc.hpp"
#include "onewire/ds18x20/family.hpp"

namespace qvtool::owserver {
namespace {

namespace rules = onewire::ds18x20;

// The entries every family has, in OWFS's order among the others.
constexpr Property kAddress{"address", Prop::kAddress};
constexpr Property kAlias{"alias", Prop::kAlias};
constexpr Property kCrc8{"crc8", Prop::kCrc8};
constexpr Property kFamily{"family", Prop::kFamily};
constexpr Property kId{"id", Prop::kId};
constexpr Property kLocator{"locator", Prop::kLocator};
constexpr Property kPresent{"present", Prop::kPresent, 0, false};
constexpr Property kRAddress{"r_address", Prop::kRAddress};
constexpr Property kRId{"r_id", Prop::kRId};
constexpr Property kRLocator{"r_locator", Prop::kRLocator};
constexpr Property kType{"type", Prop::kType};

constexpr Property kFastTemp{"fasttemp", Prop::kTemperature, 9};
constexpr Property kLatestTemp{"latesttemp", Prop::kLatestTemp};
constexpr Property kPower{"power", Prop::kPower};
constexpr Property kProgAddr{"prog_addr", Prop::kProgAddr};
constexpr Property kScratchpad{"scratchpad", Prop::kScratchpad};
constexpr Property kTemperature{"temperature", Prop::kTemperature};
constexpr Property kTemperature10{"temperature10", Prop::kTemperature, 10};
constexpr Property kTemperature11{"temperature11", Prop::kTemperature, 11};
constexpr Property kTemperature12{"temperature12", Prop::kTemperature, 12};
constexpr Property kTemperature9{"temperature9", Prop::kTemperature, 9};
constexpr Property kTempHigh{"temphigh", Prop::kTempHigh, 0, true, true};
constexpr Property kTempLow{"templow", Prop::kTempLow, 0, true, true};
constexpr Property kTempRes{"tempres", Prop::kTempRes, 0, true, true};

// A DS18S20 converts at its one resolution whatever is asked: OWFS keeps
// the other names as hidden links to its temperature.
constexpr Property kHidden(std::string_view name) { return {name, Prop::kTemperature, 0, false}; }

constexpr Property kOthers[] = {kAddress, kAlias, kCrc8, kFamily, kId, kLocator, kPresent,
                                kRAddress, kRId, kRLocator, kType};

constexpr Property kDs18b20[] = {kAddress,      kAlias,         kCrc8,         kFamily,      kFastTemp,
                                 kId,           kLatestTemp,    kLocator,      kPower,       kPresent,
                                 kRAddress,     kRId,           kRLocator,     kScratchpad,  kTemperature,
                                 kTemperature10, kTemperature11, kTemperature12, kTemperature9, kTempHigh,
                                 kTempLow,      kTempRes,       kType};

constexpr Property kDs28ea00[] = {kAddress,      kAlias,         kCrc8,          kFamily,       kFastTemp,
                                  kId,           kLatestTemp,    kLocator,       kPower,        kPresent,
                                  kRAddress,     kRId,           kRLocator,      kTemperature,  kTemperature10,
                                  kTemperature11, kTemperature12, kTemperature9, kTempHigh,     kTempLow,
                                  kTempRes,      kType};

constexpr Property kDs1825[] = {kAddress,      kAlias,         kCrc8,          kFamily,       kFastTemp,
                                kId,           kLatestTemp,    kLocator,       kPower,        kPresent,
                                kProgAddr,     kRAddress,      kRId,           kRLocator,     kScratchpad,
                                kTemperature,  kTemperature10, kTemperature11, kTemperature12, kTemperature9,
                                kTempHigh,     kTempLow,       kTempRes,       kType};

constexpr Property kDs18s20[] = {kAddress,      kAlias,
                                 kCrc8,         kFamily,
                                 kHidden("fasttemp"), kId,
                                 kLatestTemp,   kLocator,
                                 kPower,        kPresent,
                                 kRAddress,     kRId,
                                 kRLocator,     kScratchpad,
                                 kTemperature,  kHidden("temperature10"),
                                 kHidden("temperature11"), kHidden("temperature12"),
                                 kHidden("temperature9"), kTempHigh,
                                 kTempLow,      kType};

bool same_text(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Two hex digits at `text`, or -1.
int hex_byte(std::string_view text) {
  if (text.size() < 2) return -1;
  const int hi = hex_digit(text[0]);
  const int lo = hex_digit(text[1]);
  return hi < 0 || lo < 0 ? -1 : hi * 16 + lo;
}

constexpr FixedEntry kFixed[] = {
    {"settings", true},
    {"settings/return_codes", true},
    {"settings/return_codes/text.ALL", false},
    {"settings/timeout", true},
    {"settings/timeout/directory", false},
    {"settings/timeout/ftp", false},
    {"settings/timeout/ha7", false},
    {"settings/timeout/network", false},
    {"settings/timeout/presence", false},
    {"settings/timeout/serial", false},
    {"settings/timeout/server", false},
    {"settings/timeout/stable", false},
    {"settings/timeout/uncached", false},
    {"settings/timeout/usb", false},
    {"settings/timeout/volatile", false},
    {"settings/timeout/w1", false},
    {"settings/units", true},
    {"settings/units/pressure_scale", false},
    {"settings/units/temperature_scale", false},
    {"system", true},
    {"system/configuration", true},
    {"system/configuration/version", false},
    {"system/process", true},
    {"system/process/pid", false},
};

}  // namespace

std::span<const Property> properties_of(std::uint8_t family) {
  switch (family) {
    case rules::kFamilyDs18b20:
    case rules::kFamilyDs1822:
      return kDs18b20;
    case rules::kFamilyDs18s20:
      return kDs18s20;
    case rules::kFamilyDs1825:
      return kDs1825;
    case rules::kFamilyDs28ea00:
      return kDs28ea00;
    default:
      return kOthers;
  }
}

const Property* find_property(std::uint8_t family, std::string_view name) {
  for (const Property& p : properties_of(family))
    if (same_text(p.name, name)) return &p;
  return nullptr;
}

std::string type_name(std::uint8_t family) {
  switch (family) {
    case 0x01: return "DS2401";
    case 0x05: return "DS2405";
    case 0x10: return "DS18S20";
    case 0x12: return "DS2406";
    case 0x1D: return "DS2423";
    case 0x1F: return "DS2409";
    case 0x20: return "DS2450";
    case 0x22: return "DS1822";
    case 0x23: return "DS2433";
    case 0x26: return "DS2438";
    case 0x28: return "DS18B20";
    case 0x29: return "DS2408";
    case 0x2D: return "DS2431";
    case 0x3A: return "DS2413";
    case 0x3B: return "DS1825";
    case 0x42: return "DS28EA00";
    default: {
      char text[16];
      std::snprintf(text, sizeof text, "family %02X", family);
      return text;
    }
  }
}

std::int32_t device_flags(std::uint8_t family) {
  if (family == rules::kFamilyDs28ea00) return 0xA002;  // also a chain device
  return rules::is_thermometer(family) ? 0x8002 : 0;
}

std::string device_name(const qvds::Rom& rom, NameFormat format) {
  char family[3];
  char id[13];
  char crc[3];
  std::snprintf(family, sizeof family, "%02X", rom[0]);
  std::snprintf(id, sizeof id, "%02X%02X%02X%02X%02X%02X", rom[1], rom[2], rom[3], rom[4], rom[5], rom[6]);
  std::snprintf(crc, sizeof crc, "%02X", rom[7]);
  const std::string f(family), i(id), c(crc);
  switch (format) {
    case NameFormat::kFI: return f + i;
    case NameFormat::kFdIdC: return f + "." + i + "." + c;
    case NameFormat::kFdIC: return f + "." + i + c;
    case NameFormat::kFIdC: return f + i + "." + c;
    case NameFormat::kFIC: return f + i + c;
    case NameFormat::kFdI: break;
  }
  return f + "." + i;
}

std::optional<qvds::Rom> parse_device_name(std::string_view text) {
  qvds::Rom rom{};
  const int family = hex_byte(text);
  if (family < 0) return std::nullopt;
  rom[0] = static_cast<std::uint8_t>(family);
  text.remove_prefix(2);
  if (!text.empty() && text[0] == '.') text.remove_prefix(1);
  for (int i = 1; i <= 6; ++i) {
    const int b = hex_byte(text);
    if (b < 0) return std::nullopt;
    rom[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(b);
    text.remove_prefix(2);
  }
  const std::uint8_t crc = onewire::crc8(rom.data(), 7);
  rom[7] = crc;
  if (text.empty()) return rom;
  if (text[0] == '.') text.remove_prefix(1);
  const int given = hex_byte(text);
  if (given < 0 || text.size() != 2 || given != crc) return std::nullopt;
  return rom;
}

double to_scale(double celsius, Scale scale) {
  switch (scale) {
    case Scale::kFahrenheit: return celsius * 1.8 + 32.0;
    case Scale::kKelvin: return celsius + 273.15;
    case Scale::kRankine: return (celsius + 273.15) * 1.8;
    case Scale::kCelsius: break;
  }
  return celsius;
}

double from_scale(double value, Scale scale) {
  switch (scale) {
    case Scale::kFahrenheit: return (value - 32.0) / 1.8;
    case Scale::kKelvin: return value - 273.15;
    case Scale::kRankine: return value / 1.8 - 273.15;
    case Scale::kCelsius: break;
  }
  return value;
}

std::string format_float(double value, bool trim) {
  // -0 would print as "-0".
  if (value == 0) value = 0;
  char text[64];
  std::snprintf(text, sizeof text, trim ? "%G" : "%12G", value);
  return text;
}

std::string format_integer(long long value, bool trim) {
  char text[32];
  std::snprintf(text, sizeof text, trim ? "%lld" : "%12lld", value);
  return text;
}

char scale_letter(Scale scale) {
  switch (scale) {
    case Scale::kFahrenheit: return 'F';
    case Scale::kKelvin: return 'K';
    case Scale::kRankine: return 'R';
    case Scale::kCelsius: break;
  }
  return 'C';
}

std::optional<double> parse_number(std::string_view text) {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\0'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  if (text.empty() || text.size() > 64) return std::nullopt;
  const std::string s(text);
  char* end = nullptr;
  const double v = std::strtod(s.c_str(), &end);
  if (end != s.c_str() + s.size() || !std::isfinite(v)) return std::nullopt;
  return v;
}

std::optional<ParsedPath> parse_path(std::string_view path) {
  std::vector<std::string_view> parts;
  while (!path.empty()) {
    const std::size_t slash = path.find('/');
    const std::string_view part = path.substr(0, slash);
    if (!part.empty()) parts.push_back(part);
    if (slash == std::string_view::npos) break;
    path.remove_prefix(slash + 1);
  }
  ParsedPath p;
  std::size_t i = 0;
  // The prefixes, each at most once.
  for (; i < parts.size(); ++i) {
    const std::string_view part = parts[i];
    if (same_text(part, "uncached") && !p.uncached) {
      p.uncached = true;
    } else if (part.size() > 4 && same_text(part.substr(0, 4), "bus.") && !p.bus) {
      const std::string_view digits = part.substr(4);
      if (digits.size() > 3 || digits.find_first_not_of("0123456789") != std::string_view::npos) return std::nullopt;
      p.bus = std::atoi(std::string(digits).c_str());
    } else if (same_text(part, "unaliased") || same_text(part, "text")) {
      // Names here are never aliased, and every value is text already.
    } else {
      break;
    }
  }
  if (p.uncached) p.prefix += "/uncached";
  if (p.bus) p.prefix += "/bus." + std::to_string(*p.bus);
  if (i == parts.size()) return p;
  const std::string_view head = parts[i];
  const std::size_t left = parts.size() - i - 1;
  if (same_text(head, "simultaneous")) {
    p.area = Area::kSimultaneous;
    if (left > 1) return std::nullopt;
    if (left == 1) {
      if (!same_text(parts[i + 1], "temperature")) return std::nullopt;
      p.property = "temperature";
    }
    return p;
  }
  if (same_text(head, "alarm")) {
    if (left == 0) {
      p.area = Area::kAlarm;
      return p;
    }
    // A device of the alarm listing is that device.
    ++i;
  } else if (same_text(head, "settings") || same_text(head, "system")) {
    // The fixed directories are the server's, not a bus's.
    if (p.bus) return std::nullopt;
    std::string under;
    for (std::size_t k = i; k < parts.size(); ++k) {
      if (k > i) under += '/';
      under += parts[k];
    }
    for (const FixedEntry& e : kFixed)
      if (same_text(e.path, under)) {
        p.area = Area::kFixed;
        p.fixed = std::string(e.path);
        return p;
      }
    return std::nullopt;
  }
  if (parts.size() - i > 2) return std::nullopt;
  const auto rom = parse_device_name(parts[i]);
  if (!rom) return std::nullopt;
  p.area = Area::kDevice;
  p.rom = *rom;
  if (i + 1 < parts.size()) p.property = std::string(parts[i + 1]);
  return p;
}

std::span<const FixedEntry> fixed_entries() { return kFixed; }

const FixedEntry* find_fixed(std::string_view path) {
  for (const FixedEntry& e : kFixed)
    if (e.path == path) return &e;
  return nullptr;
}

std::vector<const FixedEntry*> fixed_children(std::string_view dir) {
  std::vector<const FixedEntry*> out;
  for (const FixedEntry& e : kFixed) {
    std::string_view rest = e.path;
    if (!dir.empty()) {
      if (rest.size() <= dir.size() + 1 || rest.substr(0, dir.size()) != dir || rest[dir.size()] != '/') continue;
      rest.remove_prefix(dir.size() + 1);
    }
    if (rest.find('/') == std::string_view::npos) out.push_back(&e);
  }
  return out;
}

}  // namespace qvtool::owserver
