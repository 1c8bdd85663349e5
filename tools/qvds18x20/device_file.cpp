#include "qvds18x20/device_file.hpp"

#include <cmath>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "onewire/crc.hpp"
#include "onewire/sim/ds18x20.hpp"

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
  if (type.is_number_integer()) {
    const auto v = type.get<long long>();
    if (v < 1 || v > 255) fail(where, "family number must be 1..255");
    return static_cast<std::uint8_t>(v);
  }
  if (!type.is_string()) fail(where, "\"type\" must be a device name or a family number");
  const std::string t = type.get<std::string>();
  if (t == "DS18B20") return 0x28;
  if (t == "DS18S20" || t == "DS1820") return 0x10;
  if (t == "DS1822") return 0x22;
  if (t == "DS2401") return 0x01;
  if (t.size() == 4 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) {
    std::vector<std::uint8_t> b;
    if (parse_hex(t.substr(2), 1, b) && b[0] != 0) return b[0];
  }
  fail(where, "unknown device type \"" + t + "\"");
}

std::uint64_t serial_of(const json& d, std::uint64_t fallback, const std::string& where) {
  if (!d.contains("serial")) return fallback;
  const json& s = d["serial"];
  if (s.is_number_unsigned() || s.is_number_integer()) {
    const auto v = s.get<long long>();
    if (v < 0 || v > 0xFFFFFFFFFFFFLL) fail(where, "\"serial\" must fit in 48 bits");
    return static_cast<std::uint64_t>(v);
  }
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
  fail(where, "unknown driver operation \"" + name + "\"");
}

}  // namespace

SimSetup parse_device_setup(const std::string& text, const std::string& origin) {
  json doc;
  try {
    doc = json::parse(text);
  } catch (const json::parse_error& e) {
    std::string what = e.what();
    // Keep the parser's reason, but say where in the usual way.
    const auto pos = what.find("error while parsing");
    fail(origin, line_column(text, e.byte) + ": malformed JSON" +
                     (pos != std::string::npos ? " (" + what.substr(pos) + ")" : ""));
  }
  if (!doc.is_object() || !doc.contains("devices") || !doc["devices"].is_array())
    fail(origin, "expected an object with a \"devices\" array");

  SimSetup setup;
  setup.bus = std::make_shared<onewire::sim::SimBus>();
  std::uint64_t next_serial = 0x000000A10001;
  int index = 0;
  for (const json& d : doc["devices"]) {
    const std::string where = origin + ": device " + std::to_string(index++);
    if (!d.is_object()) fail(where, "must be an object");
    onewire::Rom rom{};
    if (d.contains("rom")) {
      std::vector<std::uint8_t> b;
      if (!d["rom"].is_string() || !parse_hex(d["rom"].get<std::string>(), 8, b))
        fail(where, "\"rom\" must be 16 hex digits");
      for (std::size_t k = 0; k < 8; ++k) rom[k] = b[7 - k];  // printed CRC first
      if (onewire::crc8(rom.data(), 8) != 0) fail(where, "\"rom\" has a wrong CRC byte");
      if (rom[0] == 0) fail(where, "\"rom\" has family code 00");
    } else {
      if (!d.contains("type")) fail(where, "needs a \"type\" or a \"rom\"");
      rom = onewire::sim::make_rom(family_of(d["type"], where), serial_of(d, next_serial++, where));
    }
    const bool thermometer = rom[0] == 0x28 || rom[0] == 0x10 || rom[0] == 0x22 || rom[0] == 0x3B;
    if (!thermometer) {
      for (const char* key : {"celsius", "resolution", "scratchpad", "parasite"})
        if (d.contains(key)) fail(where, std::string("a device of family ") + std::to_string(rom[0]) + " has no \"" + key + "\"");
      setup.bus->add(onewire::sim::make_rom_device(rom));
      continue;
    }
    double celsius = 25.0;
    if (d.contains("celsius")) {
      if (!d["celsius"].is_number()) fail(where, "\"celsius\" must be a number");
      celsius = d["celsius"].get<double>();
      if (!std::isfinite(celsius) || celsius < -55.0 || celsius > 125.0)
        fail(where, "\"celsius\" must be within -55..125");
    }
    auto dev = std::make_shared<onewire::sim::Ds18x20>(rom, celsius);
    if (d.contains("resolution")) {
      if (rom[0] == 0x10) fail(where, "a DS18S20 has no \"resolution\"");
      if (!d["resolution"].is_number_integer()) fail(where, "\"resolution\" must be 9, 10, 11 or 12");
      const int bits = d["resolution"].get<int>();
      if (bits < 9 || bits > 12) fail(where, "\"resolution\" must be 9, 10, 11 or 12");
      dev->set_resolution(bits);
    }
    if (d.contains("parasite")) {
      if (!d["parasite"].is_boolean()) fail(where, "\"parasite\" must be true or false");
      dev->set_parasite(d["parasite"].get<bool>());
    }
    if (d.contains("scratchpad")) {
      std::vector<std::uint8_t> b;
      if (!d["scratchpad"].is_string() || !parse_hex(d["scratchpad"].get<std::string>(), 9, b))
        fail(where, "\"scratchpad\" must be 18 hex digits");
      std::array<std::uint8_t, 9> pad{};
      std::copy(b.begin(), b.end(), pad.begin());
      dev->set_scratchpad_override(pad);
    }
    setup.bus->add(dev);
  }
  if (doc.contains("faults")) {
    if (!doc["faults"].is_array()) fail(origin, "\"faults\" must be an array");
    int n = 0;
    for (const json& f : doc["faults"]) {
      const std::string where = origin + ": fault " + std::to_string(n++);
      if (!f.is_object() || !f.contains("op") || !f["op"].is_string() || !f.contains("code") ||
          !f["code"].is_number_integer())
        fail(where, "needs \"op\" (a driver operation) and an integer \"code\"");
      const int call = f.value("call", 1);
      if (call < 1) fail(where, "\"call\" counts from 1");
      setup.faults.push_back({op_named(f["op"].get<std::string>(), where), call, f["code"].get<int>()});
    }
  }
  return setup;
}

SimSetup load_device_setup(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw DeviceFileError(path + ": cannot be read");
  std::ostringstream text;
  text << in.rdbuf();
  return parse_device_setup(text.str(), path);
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
