#include "qvds18x20/device_file.hpp"

#include "qvds18x20/rom_id.hpp"

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <utility>

#include <nlohmann/json.hpp>

#include "onewire/crc.hpp"
#include "onewire/sim/ds18x20.hpp"
#include "onewire/sim/late_device.hpp"
#include "qvds18x20/exit_codes.hpp"

namespace qvtool {
namespace {

using nlohmann::json;

[[noreturn]] void fail(const std::string& origin, const std::string& what) {
  throw DeviceFileError(origin + ": " + what);
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Hex text of exactly `n` bytes, first byte first.
bool parse_hex(const std::string& text, std::size_t n, std::vector<std::uint8_t>& out) {
  if (text.size() != 2 * n) return false;
  out.clear();
  for (std::size_t i = 0; i < n; ++i) {
    const int hi = hex_digit(text[2 * i]);
    const int lo = hex_digit(text[2 * i + 1]);
    if (hi < 0 || lo < 0) return false;
    out.push_back(static_cast<std::uint8_t>(hi * 16 + lo));
  }
  return true;
}

std::uint8_t family_of(const json& type, const std::string& where) {
  // A bare number is refused: 28 could mean the DS18B20's family (0x28)
  // or decimal 28, and guessing either way makes the wrong device.
  if (!type.is_string())
    fail(where, "\"type\" must be a device name or a hex family code as text (\"0x28\"), not " + shorten(type.dump()));
  const std::string t = type.get<std::string>();
  if (t == "DS18B20") return 0x28;
  if (t == "DS18S20" || t == "DS1820") return 0x10;
  if (t == "DS1822") return 0x22;
  if (t == "DS1825") return 0x3B;
  if (t == "DS2401") return 0x01;
  if (t.size() == 4 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) {
    std::vector<std::uint8_t> b;
    if (parse_hex(t.substr(2), 1, b) && b[0] != 0) return b[0];
  }
  fail(where, "unknown device type \"" + shorten(t) + "\"");
}

std::uint64_t serial_of(const json& d, std::uint64_t fallback, const std::string& where) {
  if (!d.contains("serial")) return fallback;
  const json& s = d["serial"];
  std::vector<std::uint8_t> b;
  if (!s.is_string() || !parse_hex(s.get<std::string>(), 6, b)) fail(where, "\"serial\" must be 12 hex digits");
  std::uint64_t v = 0;
  for (std::uint8_t byte : b) v = (v << 8) | byte;
  return v;
}

std::string line_column(const std::string& text, std::size_t byte) {
  std::size_t line = 1, column = 1;
  for (std::size_t i = 0; i + 1 < byte && i < text.size(); ++i) {
    if (text[i] == '\n') {
      ++line;
      column = 1;
    } else {
      ++column;
    }
  }
  return "line " + std::to_string(line) + ", column " + std::to_string(column);
}

onewire::Op op_named(const std::string& name, const std::string& where) {
  for (int i = 0; i < onewire::kOpCount; ++i) {
    const auto op = static_cast<onewire::Op>(i);
    if (name == onewire::op_name(op)) return op;
  }
  fail(where, "unknown driver operation \"" + shorten(name) + "\"");
}

// Keys a misspelling would otherwise turn into a silent default.
void only_keys(const json& object, std::initializer_list<const char*> known, const std::string& where) {
  for (const auto& item : object.items()) {
    bool ok = false;
    for (const char* k : known) ok = ok || item.key() == k;
    if (!ok) {
      std::string list;
      for (const char* k : known) list += std::string(list.empty() ? "" : ", ") + k;
      fail(where, "unknown key \"" + shorten(item.key()) + "\" (known: " + list + ")");
    }
  }
}

// An integer member within [low, high]; `fallback` when absent.
long long integer_in(const json& object, const char* key, long long low, long long high, long long fallback,
                     const std::string& where) {
  if (!object.contains(key)) return fallback;
  const json& v = object[key];
  const std::string range = std::to_string(low) + ".." + std::to_string(high);
  if (!v.is_number_integer()) fail(where, std::string("\"") + key + "\" must be a whole number " + range);
  if (v.is_number_unsigned() ? v.get<unsigned long long>() > static_cast<unsigned long long>(high)
                             : (v.get<long long>() < low || v.get<long long>() > high))
    fail(where, std::string("\"") + key + "\" must be within " + range);
  return v.get<long long>();
}

// A boolean member; `fallback` when absent.
bool boolean_in(const json& object, const char* key, bool fallback, const std::string& where) {
  if (!object.contains(key)) return fallback;
  if (!object[key].is_boolean()) fail(where, std::string("\"") + key + "\" must be true or false");
  return object[key].get<bool>();
}

// A count of events to come: a whole number, or true for every one.
int count_in(const json& object, const char* key, const std::string& where) {
  if (object.contains(key) && object[key].is_boolean()) {
    if (!object[key].get<bool>()) return 0;
    return onewire::sim::Ds18x20::kEvery;
  }
  if (object.contains(key) && !object[key].is_number_integer())
    fail(where, std::string("\"") + key + "\" must be a whole number 0..1000000 or true (every one)");
  return static_cast<int>(integer_in(object, key, 0, 1000000, 0, where));
}

std::string family_names() {
  std::string list;
  for (const auto f : onewire::sim::thermometer_families())
    list += std::string(list.empty() ? "" : ", ") + std::string(onewire::sim::family_name(f));
  return list;
}

std::optional<onewire::sim::ThermometerFamily> family_in(const json& d, const std::string& where) {
  if (!d.contains("family")) return std::nullopt;
  const json& f = d["family"];
  if (!f.is_string()) fail(where, "\"family\" must be a family name as text (" + family_names() + ")");
  const auto family = onewire::sim::parse_thermometer_family(f.get<std::string>());
  if (!family) fail(where, "unknown family \"" + shorten(f.get<std::string>()) + "\" (known: " + family_names() + ")");
  return family;
}

std::string hex_code(std::uint8_t code) {
  static const char digits[] = "0123456789ABCDEF";
  return std::string("0x") + digits[code >> 4] + digits[code & 15];
}

// The keys only thermometers take.
constexpr const char* kThermometerKeys[] = {
    "family", "celsius", "resolution", "th", "tl", "parasite", "parasite_works", "reports_parasite",
    "eeprom_writes", "skip_conversions", "fail_conversions", "corrupt_reads", "corrupt_every", "scratchpad",
};

// A thermometer's settings and faults from its device entry.
void configure_thermometer(onewire::sim::Ds18x20& dev, const json& d, const std::string& where) {
  using onewire::sim::ThermometerFamily;
  const ThermometerFamily family = dev.family();
  const bool s20 = family == ThermometerFamily::kDs18s20;
  const std::string name(onewire::sim::family_name(family));
  auto stored = dev.power_up_settings();
  if (d.contains("resolution")) {
    if (s20) fail(where, "a DS18S20 has no \"resolution\"");
    const auto bits = static_cast<int>(integer_in(d, "resolution", 9, 12, 12, where));
    stored[2] = static_cast<std::uint8_t>(((bits - 9) << 5) | 0x1F);
  }
  // TH and TL are signed whole degrees.
  if (d.contains("th")) stored[0] = static_cast<std::uint8_t>(integer_in(d, "th", -128, 127, 0, where));
  if (d.contains("tl")) stored[1] = static_cast<std::uint8_t>(integer_in(d, "tl", -128, 127, 0, where));
  if (d.contains("resolution") || d.contains("th") || d.contains("tl"))
    dev.set_power_up_settings(stored[0], stored[1], stored[2]);
  dev.set_parasite(boolean_in(d, "parasite", false, where));
  if (d.contains("parasite_works")) dev.set_parasite_works(boolean_in(d, "parasite_works", true, where));
  dev.set_reports_parasite(boolean_in(d, "reports_parasite", false, where));
  if (d.contains("eeprom_writes")) {
    if (family == ThermometerFamily::kD1 || family == ThermometerFamily::kF)
      fail(where, "a family " + name + " part has no EEPROM (\"eeprom_writes\")");
    dev.set_eeprom_writes(static_cast<int>(integer_in(d, "eeprom_writes", 0, 10000000, 0, where)));
  }
  dev.skip_conversions(count_in(d, "skip_conversions", where));
  dev.fail_conversions(count_in(d, "fail_conversions", where));
  dev.corrupt_reads(static_cast<int>(integer_in(d, "corrupt_reads", 0, 1000000, 0, where)));
  dev.corrupt_every(static_cast<int>(integer_in(d, "corrupt_every", 0, 1000000, 0, where)));
  if (d.contains("scratchpad")) {
    std::vector<std::uint8_t> b;
    if (!d["scratchpad"].is_string() || !parse_hex(d["scratchpad"].get<std::string>(), 9, b))
      fail(where, "\"scratchpad\" must be 18 hex digits");
    std::array<std::uint8_t, 9> pad{};
    std::copy(b.begin(), b.end(), pad.begin());
    dev.set_scratchpad_override(pad);
  }
}

// A first pass over the text, before it becomes a document: malformed
// JSON and numbers beyond a double (1e400) with their line and column,
// keys given twice in one object (the document would keep the last
// silently) and nesting no device file needs. Throws DeviceFileError
// naming the place, the device or the fault.
class Checker final : public json::json_sax_t {
 public:
  Checker(const std::string& text, std::string origin) : text_(text), origin_(std::move(origin)) {}

  bool null() override { return value(); }
  bool boolean(bool) override { return value(); }
  bool number_integer(json::number_integer_t) override { return value(); }
  bool number_unsigned(json::number_unsigned_t) override { return value(); }
  bool number_float(json::number_float_t, const json::string_t&) override { return value(); }
  bool string(json::string_t&) override { return value(); }
  bool binary(json::binary_t&) override { return value(); }
  bool start_object(std::size_t) override { return open(false); }
  bool start_array(std::size_t) override { return open(true); }
  bool end_object() override { return close(); }
  bool end_array() override { return close(); }
  bool key(json::string_t& key) override {
    Frame& f = frames_.back();
    f.key = key;
    if (!f.keys.insert(key).second) fail(where(), "gives the key \"" + shorten(key) + "\" twice");
    return true;
  }

  bool parse_error(std::size_t position, const std::string& token, const nlohmann::detail::exception& e) override {
    std::string what = e.what();
    if (e.id == 406) {
      // A number out of a double's range; the position is past it.
      const std::size_t at = position > token.size() ? position - token.size() + 1 : position;
      fail(origin_, line_column(text_, at) + ": the number " + shorten(token) + " is out of range");
    }
    // Keep the parser's reason, but say where in the usual way.
    const auto pos = what.find("error while parsing");
    fail(origin_, line_column(text_, position) + ": malformed JSON" +
                      (pos != std::string::npos ? " (" + shorten(what.substr(pos), 160) + ")" : ""));
  }

 private:
  // devices[i].member is as deep as a device file goes.
  static constexpr std::size_t kMaxDepth = 8;
  struct Frame {
    bool array;
    std::set<std::string> keys;
    std::string key;        // the member being read
    std::size_t index = 0;  // the element being read
  };

  bool open(bool array) {
    if (frames_.size() >= kMaxDepth) fail(where(), "nested deeper than a device file goes");
    frames_.push_back({array, {}, {}, 0});
    return true;
  }
  bool close() {
    frames_.pop_back();
    return value();
  }
  bool value() {
    if (!frames_.empty() && frames_.back().array) ++frames_.back().index;
    return true;
  }

  // The place in the words of the other messages: "device 2", "fault 0".
  std::string where() const {
    if (frames_.size() >= 2 && frames_[1].array) {
      if (frames_[0].key == "devices") return origin_ + ": device " + std::to_string(frames_[1].index);
      if (frames_[0].key == "faults") return origin_ + ": fault " + std::to_string(frames_[1].index);
    }
    return origin_;
  }

  const std::string& text_;
  std::string origin_;
  std::vector<Frame> frames_;
};

}  // namespace

SimSetup parse_device_setup(const std::string& text, const std::string& origin) {
  // The checking pass throws for anything the document would not show;
  // after it the text parses.
  Checker checker(text, origin);
  json::sax_parse(text, &checker);
  json doc;
  try {
    doc = json::parse(text);
  } catch (const json::exception& e) {
    fail(origin, std::string("cannot be read as JSON (") + shorten(e.what(), 160) + ")");
  }
  if (!doc.is_object() || !doc.contains("devices") || !doc["devices"].is_array())
    fail(origin, "expected an object with a \"devices\" array");
  only_keys(doc, {"devices", "faults"}, origin);

  if (doc["devices"].size() > kMaxDevices)
    fail(origin, std::to_string(doc["devices"].size()) + " devices; a device file holds at most " +
                     std::to_string(kMaxDevices) + " (a search of a longer bus outlasts the tool's deadline)");
  SimSetup setup;
  setup.bus = std::make_shared<onewire::sim::SimBus>();
  std::uint64_t next_serial = 0x000000A10001;
  int index = 0;
  std::map<onewire::Rom, int> seen;
  for (const json& d : doc["devices"]) {
    const std::string where = origin + ": device " + std::to_string(index++);
    if (!d.is_object()) fail(where, "must be an object");
    only_keys(d, {"type", "serial", "rom", "family", "celsius", "resolution", "th", "tl", "parasite", "parasite_works",
                  "reports_parasite", "eeprom_writes", "skip_conversions", "fail_conversions", "corrupt_reads",
                  "corrupt_every", "scratchpad", "arrives_after"},
              where);
    // Plugged in while the bus runs: absent for its first seconds.
    const auto place = [&](std::shared_ptr<onewire::sim::Device> device) {
      if (!d.contains("arrives_after")) return setup.bus->add(std::move(device));
      if (!d["arrives_after"].is_number()) fail(where, "\"arrives_after\" must be a number of seconds");
      const double seconds = d["arrives_after"].get<double>();
      if (!std::isfinite(seconds) || seconds < 0 || seconds > 3600)
        fail(where, "\"arrives_after\" must be 0 to 3600 seconds");
      setup.bus->add(onewire::sim::make_late_device(
          std::move(device), std::chrono::duration_cast<rtl::Duration>(std::chrono::duration<double>(seconds))));
    };
    const auto family = family_in(d, where);
    onewire::Rom rom{};
    if (d.contains("rom")) {
      if (d.contains("type") || d.contains("serial")) fail(where, "gives a \"rom\" and a \"type\" or \"serial\"");
      // In any form people write ROMs in: ours, OWFS's, the kernel's.
      if (!d["rom"].is_string()) fail(where, "\"rom\" must be text");
      std::string why;
      const auto parsed = parse_rom_id(d["rom"].get<std::string>(), &why);
      if (!parsed) fail(where, "\"rom\": " + why);
      rom = *parsed;
      if (family && rom[0] != onewire::sim::family_code(*family))
        fail(where, "a family " + std::string(onewire::sim::family_name(*family)) + " part has the family code " +
                        hex_code(onewire::sim::family_code(*family)) + ", not the ROM's " + hex_code(rom[0]));
    } else if (family) {
      if (d.contains("type") && family_of(d["type"], where) != onewire::sim::family_code(*family))
        fail(where, "a family " + std::string(onewire::sim::family_name(*family)) + " part is no \"" +
                        shorten(d["type"].get<std::string>()) + "\" (its family code is " +
                        hex_code(onewire::sim::family_code(*family)) + ")");
      rom = onewire::sim::make_family_rom(*family, serial_of(d, next_serial++, where));
    } else {
      if (!d.contains("type")) fail(where, "needs a \"type\", a \"family\" or a \"rom\"");
      rom = onewire::sim::make_rom(family_of(d["type"], where), serial_of(d, next_serial++, where));
    }
    // Two devices with one ROM answer every search as one damaged device.
    if (const auto it = seen.find(rom); it != seen.end())
      fail(where, "has the same ROM as device " + std::to_string(it->second));
    seen.emplace(rom, index - 1);
    const bool thermometer = rom[0] == 0x28 || rom[0] == 0x10 || rom[0] == 0x22 || rom[0] == 0x3B;
    if (!thermometer) {
      for (const char* key : kThermometerKeys)
        if (d.contains(key)) fail(where, std::string("a device of family ") + hex_code(rom[0]) + " has no \"" + key + "\"");
      place(onewire::sim::make_rom_device(rom));
      continue;
    }
    double celsius = 25.0;
    if (d.contains("celsius")) {
      if (!d["celsius"].is_number()) fail(where, "\"celsius\" must be a number");
      celsius = d["celsius"].get<double>();
      if (!std::isfinite(celsius) || celsius < -55.0 || celsius > 125.0)
        fail(where, "\"celsius\" must be within -55..125");
    }
    auto dev = std::make_shared<onewire::sim::Ds18x20>(rom, family.value_or(onewire::sim::family_for_code(rom[0])),
                                                       celsius);
    configure_thermometer(*dev, d, where);
    place(dev);
  }
  if (doc.contains("faults")) {
    if (!doc["faults"].is_array()) fail(origin, "\"faults\" must be an array");
    int n = 0;
    for (const json& f : doc["faults"]) {
      const std::string where = origin + ": fault " + std::to_string(n++);
      if (!f.is_object() || !f.contains("op") || !f["op"].is_string() || !f.contains("code"))
        fail(where, "needs \"op\" (a driver operation) and an integer \"code\"");
      only_keys(f, {"op", "call", "code"}, where);
      const auto call = static_cast<int>(integer_in(f, "call", 1, 1000000, 1, where));
      const auto code = static_cast<int>(integer_in(f, "code", -32768, 32767, 0, where));
      setup.faults.push_back({op_named(f["op"].get<std::string>(), where), call, code});
    }
  }
  return setup;
}

SimSetup load_device_setup(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw DeviceFileError(path + ": cannot be read (" + std::strerror(errno) + ")");
  // Read one byte past the limit to tell a file at it from one beyond.
  std::string text(kMaxDeviceFileSize + 1, '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  if (in.bad()) throw DeviceFileError(path + ": cannot be read (" + std::strerror(errno) + ")");
  text.resize(static_cast<std::size_t>(in.gcount()));
  if (text.size() > kMaxDeviceFileSize)
    throw DeviceFileError(path + ": larger than " + std::to_string(kMaxDeviceFileSize / 1024) +
                          " KiB; not a device file");
  return parse_device_setup(text, path);
}

std::shared_ptr<onewire::sim::SimBus> load_device_file(const std::string& path) { return load_device_setup(path).bus; }

std::shared_ptr<onewire::sim::SimBus> demo_bus() {
  using onewire::sim::Ds18x20;
  using onewire::sim::make_rom;
  auto bus = std::make_shared<onewire::sim::SimBus>();
  bus->add(std::make_shared<Ds18x20>(make_rom(0x28, 0x0416913C6BFF), 21.5));
  bus->add(std::make_shared<Ds18x20>(make_rom(0x28, 0x0316A2B80C11), 4.0625));
  bus->add(std::make_shared<Ds18x20>(make_rom(0x28, 0x0417C0DE0042), -18.25));
  bus->add(std::make_shared<Ds18x20>(make_rom(0x10, 0x000802B4A1C3), 23.75));
  bus->add(std::make_shared<Ds18x20>(make_rom(0x10, 0x000802B4A2D7), 19.5));
  bus->add(onewire::sim::make_rom_device(make_rom(0x01, 0x00001A2B3C4D)));
  return bus;
}

}  // namespace qvtool
