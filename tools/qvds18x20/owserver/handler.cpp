#include "qvds18x20/owserver/handler.hpp"

#include <cmath>
#include <cstdio>

#include "onewire/ds18x20/alarm.hpp"
#include "onewire/ds18x20/family.hpp"

namespace qvtool::owserver {
namespace {

namespace rules = onewire::ds18x20;

std::string hex_bytes(const std::uint8_t* bytes, std::size_t n, bool reversed) {
  std::string out;
  char two[3];
  for (std::size_t i = 0; i < n; ++i) {
    std::snprintf(two, sizeof two, "%02X", bytes[reversed ? n - 1 - i : i]);
    out += two;
  }
  return out;
}

// The scratchpad as it came back, when its bytes are sound.
bool sound_scratchpad(const qvds::Reading& r) {
  using qvds::ReadStatus;
  return r.has_scratchpad && r.status != ReadStatus::kCrcError && r.status != ReadStatus::kLineLow &&
         r.status != ReadStatus::kNotSelected && r.status != ReadStatus::kNoAnswer;
}

struct Entry {
  std::string name;
  bool directory = false;
};

}  // namespace

struct Handler::Context {
  Request request;
  ParsedPath path;
  std::int32_t flags = 0;
  SteadyClock::time_point arrival{};
  Done done;
  bool answered = false;

  bool trim() const { return (request.header.flags & kFlagTrim) != 0; }
  bool uncached() const { return path.uncached || (request.header.flags & kFlagUncached) != 0; }
  Scale scale() const { return scale_of(request.header.flags); }
  NameFormat format() const { return name_format_of(request.header.flags); }
  // A conversion the answer may come from began no earlier than this.
  SteadyClock::time_point not_before(const BusHub& hub) const {
    return uncached() ? arrival : arrival - hub.options().poll_window;
  }

  void send(std::vector<std::string> messages) {
    if (answered) return;
    answered = true;
    done(std::move(messages));
  }
  void fail(int code) { send({error_reply(code, flags)}); }
  // A READ's answer: the value from the request's offset, at most its size.
  void value(const std::string& v) {
    const auto offset = static_cast<std::size_t>(std::max(0, request.header.offset));
    const std::size_t limit = std::min<std::size_t>(static_cast<std::size_t>(request.header.size), kMaxReplyPayload);
    const std::string part = offset >= v.size() ? std::string() : v.substr(offset, limit);
    const auto n = static_cast<std::int32_t>(part.size());
    send({reply(n, flags, part, n, request.header.offset)});
  }
  void written() { send({reply(0, flags, {}, static_cast<std::int32_t>(request.value.size()), 0)}); }
};

Handler::Handler(BusHub& hub, ServerInfo info) : hub_(hub), info_(std::move(info)) {}

void Handler::handle(const Request& request, std::int32_t reply_flags, Done done) {
  auto c = std::make_shared<Context>();
  c->request = request;
  c->flags = reply_flags;
  c->arrival = SteadyClock::now();
  c->done = std::move(done);
  const std::int32_t type = request.header.type;
  if (type == kMsgNop) {
    c->send({reply(0, reply_flags, {}, 0, 0)});
    return;
  }
  const bool known = type == kMsgRead || type == kMsgWrite || type == kMsgDir || type == kMsgPresence ||
                     type == kMsgDirAll || type == kMsgGet || type == kMsgDirAllSlash || type == kMsgGetSlash;
  if (!known) {
    c->fail(kErrNoMsg);
    return;
  }
  if (request.header.payload == 0) {
    c->fail(kErrBadMsg);
    return;
  }
  if (request.path.size() >= kMaxPath) {
    c->fail(kErrMsgSize);
    return;
  }
  if (type == kMsgRead && (request.header.size <= 0 || request.header.size > kMaxReadSize)) {
    c->fail(kErrMsgSize);
    return;
  }
  auto parsed = parse_path(request.path);
  if (type == kMsgPresence) {
    if (!parsed) {
      c->fail(kErrParse);
      return;
    }
    c->path = *parsed;
    presence(c);
    return;
  }
  if (!parsed || (parsed->bus && *parsed->bus >= hub_.bus_count())) {
    c->fail(kErrNoEntry);
    return;
  }
  c->path = *parsed;
  const ParsedPath& p = c->path;
  const bool directory = (p.area == Area::kDevice || p.area == Area::kSimultaneous) ? p.property.empty()
                         : p.area == Area::kFixed ? find_fixed(p.fixed)->directory
                                                   : true;
  switch (type) {
    case kMsgRead:
      if (directory) return c->fail(kErrIsDir);
      return read(c);
    case kMsgWrite:
      if (directory) return c->fail(kErrIsDir);
      if ((request.header.flags & kFlagSafeMode) != 0) return c->fail(kErrAccess);
      return write(c);
    case kMsgDir:
    case kMsgDirAll:
    case kMsgDirAllSlash:
      if (!directory) return c->fail(kErrNotDir);
      return list(c, type == kMsgDirAllSlash, type != kMsgDir);
    case kMsgGet:
    case kMsgGetSlash:
      if (directory) return list(c, type == kMsgGetSlash, true);
      if (request.header.size <= 0 || request.header.size > kMaxReadSize) return c->fail(kErrMsgSize);
      return read(c);
    default:
      return c->fail(kErrNoMsg);
  }
}

void Handler::presence(const std::shared_ptr<Context>& c) {
  const ParsedPath& p = c->path;
  if (p.area != Area::kDevice) {
    // A path that names no device is there as long as it parses.
    c->send({reply(0, c->flags, std::string(8, '\0'), 0, 0)});
    return;
  }
  hub_.locate(p.rom, p.bus, c->uncached(), [c](Answer<Located> at) {
    if (!at.ok()) return c->fail(kErrParse);
    const qvds::Rom& rom = at.value->device.rom;
    c->send({reply(0, c->flags, std::string(reinterpret_cast<const char*>(rom.data()), rom.size()), 0, 0)});
  });
}

void Handler::list(const std::shared_ptr<Context>& c, bool slash, bool one_message) {
  const ParsedPath p = c->path;
  const bool bus_ret = (c->request.header.flags & kFlagBusRet) != 0;
  // Sends the entries of directory `base` (its path as entries begin).
  auto send = [c, slash, one_message](const std::string& base, const std::vector<Entry>& entries,
                                      std::int32_t device_flags) {
    std::vector<std::string> paths;
    for (const Entry& e : entries) paths.push_back(base + "/" + e.name + (slash && e.directory ? "/" : ""));
    if (!one_message) {
      std::vector<std::string> messages;
      for (const std::string& path : paths)
        messages.push_back(reply(0, c->flags, path + std::string(1, '\0'), static_cast<std::int32_t>(path.size()), 0));
      messages.push_back(reply(0, c->flags, {}, 0, device_flags));
      c->send(std::move(messages));
      return;
    }
    std::string all;
    for (const std::string& path : paths) all += (all.empty() ? "" : ",") + path;
    if (all.size() + 1 > kMaxReplyPayload) return c->fail(kErrMsgSize);
    if (all.empty()) return c->send({reply(0, c->flags, {}, 0, device_flags)});
    c->send({reply(0, c->flags, all + std::string(1, '\0'), static_cast<std::int32_t>(all.size()), device_flags)});
  };
  const NameFormat format = c->format();
  switch (p.area) {
    case Area::kRoot: {
      const auto not_before =
          c->uncached() ? c->arrival : c->arrival - hub_.options().listing_fresh;
      const int buses = hub_.bus_count();
      hub_.devices(p.bus, not_before, [c, p, bus_ret, format, buses, send](Answer<std::vector<Located>> found) {
        if (!found.ok()) return c->fail(found.error);
        std::vector<Entry> entries;
        std::int32_t flags = 0;
        for (const Located& d : *found.value) {
          entries.push_back({device_name(d.device.rom, format), true});
          flags |= device_flags(d.device.family());
        }
        if (bus_ret) {
          if (!p.bus) {
            for (int b = 0; b < buses; ++b) entries.push_back({"bus." + std::to_string(b), true});
            if (!p.uncached) entries.push_back({"uncached", true});
            entries.push_back({"settings", true});
            entries.push_back({"system", true});
          }
          if ((flags & 0xC000) != 0) entries.push_back({"simultaneous", true});
          if ((flags & 0x0002) != 0) entries.push_back({"alarm", true});
        }
        send(p.prefix, entries, flags);
      });
      return;
    }
    case Area::kDevice:
      hub_.locate(p.rom, p.bus, false, [c, p, format, send](Answer<Located> at) {
        if (!at.ok()) return c->fail(at.error);
        std::vector<Entry> entries;
        for (const Property& prop : properties_of(p.rom[0]))
          if (prop.listed) entries.push_back({std::string(prop.name), false});
        send(p.prefix + "/" + device_name(p.rom, format), entries, 0);
      });
      return;
    case Area::kSimultaneous:
      send(p.prefix + "/simultaneous", {{"temperature", false}}, 0);
      return;
    case Area::kAlarm:
      hub_.alarms(p.bus, [c, p, format, send](Answer<std::vector<Located>> found) {
        if (!found.ok()) return c->fail(found.error);
        std::vector<Entry> entries;
        std::int32_t flags = 0;
        for (const Located& d : *found.value) {
          entries.push_back({device_name(d.device.rom, format), true});
          flags |= device_flags(d.device.family());
        }
        send(p.prefix + "/alarm", entries, flags);
      });
      return;
    case Area::kFixed: {
      std::vector<Entry> entries;
      for (const FixedEntry* e : fixed_children(p.fixed)) {
        const std::string_view name = std::string_view(e->path).substr(p.fixed.size() + 1);
        entries.push_back({std::string(name), e->directory});
      }
      send(p.prefix + "/" + p.fixed, entries, 0);
      return;
    }
  }
}

void Handler::read(const std::shared_ptr<Context>& c) {
  const ParsedPath& p = c->path;
  if (p.area == Area::kSimultaneous) {
    c->value(hub_.converted_recently(p.bus) ? "1" : "0");
    return;
  }
  if (p.area == Area::kFixed) {
    c->value(fixed_value(p.fixed, c->request.header.flags));
    return;
  }
  const Property* prop = find_property(p.rom[0], p.property);
  if (prop == nullptr) {
    c->fail(kErrNoEntry);
    return;
  }
  const Property found = *prop;
  hub_.locate(p.rom, p.bus, false, [this, c, found](Answer<Located> at) {
    if (!at.ok()) return c->fail(at.error);
    device_value(c, *at.value, found);
  });
}

void Handler::device_value(const std::shared_ptr<Context>& c, const Located& where, const Property& p) {
  const qvds::Rom& rom = where.device.rom;
  const bool trim = c->trim();
  const Scale scale = c->scale();
  const auto temperature_text = [trim, scale](double celsius) { return format_float(to_scale(celsius, scale), trim); };
  switch (p.prop) {
    case Prop::kAddress: return c->value(hex_bytes(rom.data(), 8, false));
    case Prop::kRAddress: return c->value(hex_bytes(rom.data(), 8, true));
    case Prop::kId: return c->value(hex_bytes(rom.data() + 1, 6, false));
    case Prop::kRId: return c->value(hex_bytes(rom.data() + 1, 6, true));
    case Prop::kCrc8: return c->value(hex_bytes(rom.data() + 7, 1, false));
    case Prop::kFamily: return c->value(hex_bytes(rom.data(), 1, false));
    case Prop::kLocator:
    case Prop::kRLocator:
      // No bus here has a locator.
      return c->value("FFFFFFFFFFFFFFFF");
    case Prop::kType: return c->value(type_name(rom[0]));
    case Prop::kAlias: return c->value("");
    case Prop::kPresent: return c->value("1");
    case Prop::kTemperature:
      hub_.temperature(where, p.bits, c->not_before(hub_), [c, temperature_text](Answer<qvds::Reading> r) {
        if (!r.ok()) return c->fail(r.error);
        c->value(temperature_text(*r.value->celsius));
      });
      return;
    case Prop::kLatestTemp:
      hub_.latest(where, [c, temperature_text](Answer<qvds::Reading> r) {
        if (!r.ok()) return c->fail(r.error);
        if (!r.value->ok()) return c->fail(error_of(r.value->status));
        c->value(temperature_text(*r.value->celsius));
      });
      return;
    case Prop::kScratchpad:
    case Prop::kProgAddr: {
      const bool pad = p.prop == Prop::kScratchpad;
      hub_.latest(where, [c, pad, trim](Answer<qvds::Reading> r) {
        if (!r.ok()) return c->fail(r.error);
        if (!sound_scratchpad(*r.value)) return c->fail(error_of(r.value->status));
        const auto& s = r.value->scratchpad;
        if (pad) return c->value(std::string(reinterpret_cast<const char*>(s.data()), s.size()));
        c->value(format_integer(s[4] & 0x0F, trim));
      });
      return;
    }
    case Prop::kPower: {
      const auto text = [](qvds::PowerSupply power) { return power == qvds::PowerSupply::kExternal ? "1" : "0"; };
      if (where.device.power != qvds::PowerSupply::kUnknown) return c->value(text(where.device.power));
      hub_.settings(where, [c, text](Answer<qvds::SensorSettings> s) {
        if (!s.ok()) return c->fail(s.error);
        if (s.value->power == qvds::PowerSupply::kUnknown) return c->fail(kErrIo);
        c->value(text(s.value->power));
      });
      return;
    }
    case Prop::kTempHigh:
    case Prop::kTempLow:
    case Prop::kTempRes: {
      const Prop which = p.prop;
      hub_.stored(where, c->uncached(), [c, which, trim, temperature_text](Answer<qvds::StoredSettings> s) {
        if (!s.ok()) return c->fail(s.error);
        if (which == Prop::kTempRes) {
          if (!s.value->resolution) return c->fail(kErrNotSupported);
          return c->value(format_integer(*s.value->resolution, trim));
        }
        c->value(temperature_text(which == Prop::kTempHigh ? s.value->alarm_high : s.value->alarm_low));
      });
      return;
    }
  }
}

void Handler::write(const std::shared_ptr<Context>& c) {
  const ParsedPath& p = c->path;
  if (p.area == Area::kSimultaneous) {
    const auto v = parse_number(c->request.value);
    if (!v) return c->fail(kErrInvalid);
    if (*v == 0) return c->written();
    hub_.convert(p.bus, [c](Answer<bool> done) {
      if (!done.ok()) return c->fail(done.error);
      c->written();
    });
    return;
  }
  if (p.area == Area::kFixed) return c->fail(kErrNotSupported);
  const Property* prop = find_property(p.rom[0], p.property);
  if (prop == nullptr) return c->fail(kErrNoEntry);
  if (!prop->writable) return c->fail(kErrNotSupported);
  const Property found = *prop;
  hub_.locate(p.rom, p.bus, false, [this, c, found](Answer<Located> at) {
    if (!at.ok()) return c->fail(at.error);
    device_write(c, *at.value, found);
  });
}

void Handler::device_write(const std::shared_ptr<Context>& c, const Located& where, const Property& p) {
  const auto number = parse_number(c->request.value);
  if (!number) return c->fail(kErrInvalid);
  qvds::SettingsChange change;
  if (p.prop == Prop::kTempRes) {
    if (*number != std::floor(*number) || *number < 9 || *number > 12) return c->fail(kErrRange);
    change.resolution = static_cast<int>(*number);
  } else {
    // Whole degrees in the part, the fraction dropped towards zero as
    // OWFS does; the margin keeps 77 F from landing at 24.999... C.
    const double celsius = from_scale(*number, c->scale());
    const double whole = std::trunc(celsius + (celsius < 0 ? -1e-6 : 1e-6));
    if (whole < rules::kLowestThreshold || whole > rules::kHighestThreshold) return c->fail(kErrRange);
    (p.prop == Prop::kTempHigh ? change.alarm_high : change.alarm_low) = static_cast<int>(whole);
  }
  hub_.write_stored(where, change, [c](Answer<qvds::StoredSettings> s) {
    if (!s.ok()) return c->fail(s.error);
    c->written();
  });
}

std::string Handler::fixed_value(const std::string& path, std::int32_t flags) const {
  const bool trim = (flags & kFlagTrim) != 0;
  if (path == "settings/return_codes/text.ALL") return return_code_table();
  if (path == "settings/units/temperature_scale") return std::string(1, scale_letter(scale_of(flags)));
  if (path == "settings/units/pressure_scale") return "mbar";
  if (path == "system/process/pid") return format_integer(info_.pid, trim);
  if (path == "system/configuration/version") return info_.version;
  const std::string timeout = "settings/timeout/";
  if (path.rfind(timeout, 0) == 0) {
    const auto it = info_.timeouts.find(path.substr(timeout.size()));
    return format_integer(it != info_.timeouts.end() ? it->second : 0, trim);
  }
  return "";
}

}  // namespace qvtool::owserver
