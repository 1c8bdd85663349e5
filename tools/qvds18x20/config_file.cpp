#include "qvds18x20/config_file.hpp"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <sstream>
#include <toml++/toml.h>

#include "qvds18x20/platform.hpp"
#include "qvds18x20/rom_id.hpp"

namespace qvtool {
namespace {

std::string where_of(const std::string& origin, const toml::source_region& r) {
  return origin + ":" + std::to_string(r.begin.line) + ":" + std::to_string(r.begin.column);
}

[[noreturn]] void fail(const std::string& where, const std::string& why) { throw ConfigError(where + ": " + why); }

// Valid UTF-8 with no control characters, C0 or C1: what a name must be
// to go into every output unchanged (toml++ has checked the encoding
// already; a C1 character U+0080..U+009F is the bytes C2 80..C2 9F).
bool printable(const std::string& s) {
  for (std::size_t i = 0; i < s.size(); ++i) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c < 0x20 || c == 0x7F) return false;
    if (c == 0xC2 && i + 1 < s.size() && static_cast<unsigned char>(s[i + 1]) < 0xA0) return false;
  }
  return true;
}

// A letter or a digit in any script: an ASCII one, or any character
// beyond ASCII (punctuation there is rare in names and does no harm).
bool has_letter_or_digit(const std::string& s) {
  for (unsigned char c : s)
    if (c >= 0x80 || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  return false;
}

double number_of(const toml::node& n, const std::string& where, const std::string& key) {
  std::optional<double> v;
  if (const auto* i = n.as_integer()) v = static_cast<double>(i->get());
  if (const auto* f = n.as_floating_point()) v = f->get();
  if (!v) fail(where, "\"" + key + "\" must be a number");
  if (!std::isfinite(*v)) fail(where, "\"" + key + "\" must be a finite number");
  return *v;
}

int whole_of(const toml::node& n, const std::string& where, const std::string& key, int low, int high) {
  const auto* i = n.as_integer();
  if (i == nullptr) fail(where, "\"" + key + "\" must be a whole number");
  if (i->get() < low || i->get() > high)
    fail(where, "\"" + key + "\" must be " + std::to_string(low) + " to " + std::to_string(high) + ", not " +
                    std::to_string(i->get()));
  return static_cast<int>(i->get());
}

BusConfig bus_of(const toml::table& t, const std::string& origin) {
  BusConfig b;
  b.where = where_of(origin, t.source());
  for (const auto& [key, value] : t) {
    // A structured binding cannot be captured by every compiler.
    const toml::node& node = value;
    const std::string k(key.str());
    const std::string where = where_of(origin, node.source());
    const auto text = [&]() {
      const auto* v = node.as_string();
      if (v == nullptr || v->get().empty()) fail(where, "[[bus]] \"" + k + "\" must be text, not empty");
      return v->get();
    };
    if (k == "name") {
      b.name = text();
      if (!printable(b.name) || b.name.size() > kMaxNameBytes || !has_letter_or_digit(b.name))
        fail(where, "[[bus]] \"name\" must be 1 to " + std::to_string(kMaxNameBytes) +
                        " bytes of printable UTF-8 with a letter or a digit");
    } else if (k == "port") {
      b.port = text();
    } else if (k == "adapter") {
      b.adapter = text();
    } else if (k == "sim") {
      if (const auto* flag = node.as_boolean()) {
        b.sim = flag->get();
      } else {
        b.sim_file = text();
        b.sim = true;
      }
    } else {
      fail(where, "unknown key \"" + k + "\" for a [[bus]] (keys: name, port, adapter, sim)");
    }
  }
  if (b.port.empty() && !b.sim) fail(b.where, "a [[bus]] needs a port (or sim = true for the simulated bus)");
  return b;
}

SensorSettings sensor_of(const toml::table& t, const std::string& origin, const std::string& rom_text) {
  SensorSettings s;
  for (const auto& [key, node] : t) {
    const std::string k(key.str());
    const std::string where = where_of(origin, node.source());
    if (k == "name") {
      const auto* v = node.as_string();
      if (v == nullptr) fail(where, "\"name\" must be text");
      s.name = v->get();
      if (!printable(s.name)) fail(where, "\"name\" must be printable (no control characters)");
      if (s.name.empty() || s.name.size() > kMaxNameBytes)
        fail(where, "\"name\" must be 1 to " + std::to_string(kMaxNameBytes) + " bytes of UTF-8, not " +
                        std::to_string(s.name.size()) + " (a letter beyond ASCII takes 2 to 4)");
      if (!has_letter_or_digit(s.name)) fail(where, "\"name\" needs a letter or a digit");
    } else if (k == "offset") {
      s.offset = number_of(node, where, k);
      if (std::fabs(s.offset) > 20) fail(where, "\"offset\" must be between -20 and 20 degrees");
    } else if (k == "min") {
      s.min = number_of(node, where, k);
    } else if (k == "max") {
      s.max = number_of(node, where, k);
    } else if (k == "resolution") {
      s.resolution = whole_of(node, where, k, 9, 12);
    } else if (k == "alarm_low") {
      s.alarm_low = whole_of(node, where, k, -55, 125);
    } else if (k == "alarm_high") {
      s.alarm_high = whole_of(node, where, k, -55, 125);
    } else {
      fail(where, "unknown key \"" + k + "\" for sensor " + rom_text +
                      " (keys: name, offset, min, max, resolution, alarm_low, alarm_high)");
    }
  }
  s.where = where_of(origin, t.source());
  if (s.alarm_low && s.alarm_high && *s.alarm_low > *s.alarm_high)
    fail(s.where, "sensor " + rom_text + ": alarm_low must not be above alarm_high");
  const double low = s.min.value_or(kPartMin), high = s.max.value_or(kPartMax);
  if (low >= high)
    fail(where_of(origin, t.source()),
         "sensor " + rom_text + ": min must be below max" +
             (s.min && s.max ? std::string() : std::string(" (where one is not given, the part's range is: -55 to 125)")));
  return s;
}

}  // namespace

std::string name_slug(const std::string& name) {
  std::string out;
  bool gap = false;
  for (unsigned char c : name) {
    const bool keep = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z');
    if (!keep) {
      gap = !out.empty();
      continue;
    }
    if (gap) out.push_back('_');
    gap = false;
    out.push_back(static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c));
  }
  return out;
}

ConfigFile parse_config(const std::string& text, const std::string& origin) {
  ConfigFile cfg;
  cfg.path = origin;
  toml::table root;
  try {
    root = toml::parse(text, origin);
  } catch (const toml::parse_error& e) {
    fail(where_of(origin, e.source()), std::string(e.description()));
  }
  std::map<std::string, std::string> named;  // slug -> where its name stands
  for (const auto& [key, node] : root) {
    const std::string k(key.str());
    const std::string where = where_of(origin, node.source());
    if (k == "bus") {
      const auto* buses = node.as_array();
      if (buses == nullptr || !buses->is_array_of_tables()) fail(where, "\"bus\" must be [[bus]] tables");
      for (const auto& b : *buses) cfg.buses.push_back(bus_of(*b.as_table(), origin));
      continue;
    }
    if (k == "sensors") {
      const auto* sensors = node.as_table();
      if (sensors == nullptr) fail(where, "\"sensors\" must be a table of [sensors.\"ROM\"] tables");
      for (const auto& [rom_key, sensor] : *sensors) {
        const std::string rom_text(rom_key.str());
        const std::string at = where_of(origin, sensor.source());
        std::string why;
        const auto rom = parse_rom_id(rom_text, &why);
        if (!rom) fail(at, "[sensors.\"" + rom_text + "\"]: " + why);
        const auto* t = sensor.as_table();
        if (t == nullptr) fail(at, "sensor " + rom_text + " must be a table");
        if (cfg.sensors.count(*rom) != 0) fail(at, "sensor " + rom_text + " is given twice (in two forms)");
        SensorSettings s = sensor_of(*t, origin, rom_text);
        if (!s.name.empty()) {
          // Names must differ as they are, and in the topic word they
          // make; a name that makes none has the ROM's.
          const std::string name_at = where_of(origin, t->get("name")->source());
          const std::string slug = name_slug(s.name);
          const auto [it, fresh] = named.emplace(slug.empty() ? "=" + s.name : slug, name_at);
          if (!fresh)
            fail(name_at, "the name \"" + s.name + "\" is given to another sensor too, at " + it->second +
                              " (names must differ in their Latin letters and digits, which make their MQTT topics)");
        }
        cfg.sensors.emplace(*rom, std::move(s));
      }
      continue;
    }
    ConfigValue v;
    v.where = where;
    if (const auto* s = node.as_string()) {
      v.text = s->get();
      if (v.text.empty()) fail(where, "\"" + k + "\" must not be empty (leave the key out instead)");
    } else if (const auto* i = node.as_integer()) {
      v.text = std::to_string(i->get());
    } else if (const auto* f = node.as_floating_point()) {
      if (!std::isfinite(f->get())) fail(where, "\"" + k + "\" must be a finite number");
      std::ostringstream o;
      o.precision(17);
      o << f->get();
      v.text = o.str();
    } else if (const auto* b = node.as_boolean()) {
      v.text = b->get() ? "true" : "false";
      v.is_bool = true;
    } else {
      fail(where, "\"" + k + "\" must be text, a number or true/false");
    }
    cfg.options.emplace(k, std::move(v));
  }
  return cfg;
}

ConfigFile load_config(const std::string& path) {
  // The system's reason goes into the message: a service's journal is
  // often the only place an operator learns why it did not start.
  const auto unreadable = [&](int error) { return ConfigError(path + ": cannot be read (" + os_error_text(error) + ")"); };
  std::FILE* in = std::fopen(path.c_str(), "rb");
  if (in == nullptr) throw unreadable(errno);
  std::string text;
  char buf[4096];
  for (;;) {
    const std::size_t n = std::fread(buf, 1, sizeof buf, in);
    text.append(buf, n);
    if (text.size() > kMaxConfigFileSize) {
      std::fclose(in);
      throw ConfigError(path + ": larger than 256 KiB: no configuration file");
    }
    if (n < sizeof buf) break;
  }
  const int error = std::ferror(in) != 0 ? errno : 0;
  std::fclose(in);
  if (error != 0) throw unreadable(error);
  return parse_config(text, path);
}

}  // namespace qvtool
