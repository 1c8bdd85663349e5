// qvds18x20 doctor: each bus of the command (qvds18x20/buses.hpp) examined
// in turn through the engine (qvds::Bus::diagnose), its report printed as
// a table with each sensor's details, or as one JSON object a bus.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "qvds/bus.hpp"
#include "qvds18x20/buses.hpp"
#include "qvds18x20/commands.hpp"
#include "qvds18x20/exit_codes.hpp"
#include "qvds18x20/json_text.hpp"
#include "qvds18x20/platform.hpp"
#include "qvds18x20/report.hpp"

namespace qvtool {
namespace {

using nlohmann::json;

std::string hex(const std::uint8_t* bytes, std::size_t n) {
  std::string text;
  char b[3];
  for (std::size_t i = 0; i < n; ++i) {
    std::snprintf(b, sizeof b, "%02X", bytes[i]);
    text += b;
  }
  return text;
}

std::string ms_text(std::chrono::microseconds t) {
  char text[32];
  const double ms = static_cast<double>(t.count()) / 1000.0;
  std::snprintf(text, sizeof text, ms < 100 ? "%.1f ms" : "%.0f ms", ms);
  return text;
}

std::optional<double> ms_of(const std::optional<std::chrono::microseconds>& t) {
  if (!t) return std::nullopt;
  return static_cast<double>(t->count()) / 1000.0;
}

std::string model_of(const qvds::SensorReport& s) { return model_name(s.rom[0]); }

std::string family_cell(const qvds::SensorReport& s) {
  if (s.rom[0] != 0x28) return "-";
  if (s.family != qvds::CloneFamily::kUnknown) return qvds::clone_family_name(s.family);
  // Several that fit equally: shown as the choice they are.
  std::string text;
  for (std::size_t i = 0; i < s.candidates.size() && i < 3; ++i) {
    // Appended piece by piece: GCC 12 warns wrongly (-Wrestrict) on
    // "/" + std::string in an optimised build.
    if (i > 0) text += '/';
    text += qvds::clone_family_name(s.candidates[i]);
  }
  return text.empty() ? "unknown" : text + "?";
}

json sensor_json(const qvds::SensorReport& s, std::size_t index, IdFormat ids) {
  const auto text_or_null = [](const std::string& t) { return t.empty() ? json(nullptr) : json(t); };
  json j;
  j["index"] = index;
  j["rom"] = format_rom(s.rom, ids);
  j["model"] = model_of(s);
  j["family"] = qvds::clone_family_name(s.family);
  j["confidence"] = qvds::confidence_name(s.confidence);
  j["candidates"] = json::array();
  for (auto f : s.candidates) j["candidates"].push_back(qvds::clone_family_name(f));
  j["summary"] = s.summary;
  j["meaning"] = s.meaning;
  j["evidence"] = s.evidence;
  j["faults"] = s.faults;
  j["untested"] = s.untested;
  j["power"] = qvds::power_name(s.power);
  j["scratchpad"] = s.has_scratchpad ? json(hex(s.scratchpad.data(), s.scratchpad.size())) : json(nullptr);
  j["resolution"] = s.resolution ? json(*s.resolution) : json(nullptr);
  j["th"] = s.has_scratchpad ? json(s.alarm_high) : json(nullptr);
  j["tl"] = s.has_scratchpad ? json(s.alarm_low) : json(nullptr);
  const auto ms_or_null = [](const std::optional<std::chrono::microseconds>& t) {
    const auto ms = ms_of(t);
    return ms ? json(*ms) : json(nullptr);
  };
  j["conversion_ms"] = ms_or_null(s.conversion_time);
  j["conversion_ms_9_to_12_bits"] = json::array();
  for (const auto& t : s.conversion_times) j["conversion_ms_9_to_12_bits"].push_back(ms_or_null(t));
  j["time_ratio"] = s.time_ratio ? json(*s.time_ratio) : json(nullptr);
  j["timing_note"] = text_or_null(s.timing_note);
  j["reading"] = {{"status", qvds::status_name(s.reading)},
                  {"celsius", s.celsius ? json(*s.celsius) : json(nullptr)},
                  {"ok", qvds::is_reading(s.reading)}};
  j["reads"] = s.reads;
  j["crc_errors"] = s.crc_errors;
  j["crc_error_rate"] = s.crc_error_rate();
  j["no_answers"] = s.no_answers;
  j["found_in"] = s.found_in;
  j["restored"] = s.restored;
  j["restore_note"] = text_or_null(s.restore_note);
  json answers = json::array();
  for (const auto& a : s.undocumented) {
    const std::uint8_t code = a.code;
    answers.push_back({{"code", hex(&code, 1)}, {"bytes", hex(a.bytes.data(), a.bytes.size())}});
  }
  j["undocumented"] = answers;
  return j;
}

json report_json(const qvds::BusReport& r, const OpenedBus& open, IdFormat ids, const std::string& error) {
  json j;
  j["time"] = iso_time(std::chrono::system_clock::now());
  j["port"] = open.label;
  j["simulated"] = open.simulated;
  j["bus"] = {{"name", r.bus},           {"adapter", r.adapter},     {"strong_pullup", r.strong_pullup},
              {"presence", r.presence},  {"shorted", r.shorted},     {"searches", r.searches},
              {"undocumented", r.undocumented}};
  j["sensors"] = json::array();
  for (std::size_t i = 0; i < r.sensors.size(); ++i) j["sensors"].push_back(sensor_json(r.sensors[i], i, ids));
  j["others"] = json::array();
  for (const auto& d : r.others) j["others"].push_back({{"rom", format_rom(d.rom, ids)}, {"model", model_name(d.rom[0])}});
  j["advice"] = json::array();
  for (const auto& a : r.advice) {
    json roms = json::array();
    for (const auto& rom : a.sensors) roms.push_back(format_rom(rom, ids));
    j["advice"].push_back({{"kind", qvds::advice_name(a.kind)}, {"text", a.text}, {"roms", roms}});
  }
  j["error"] = error.empty() ? json(nullptr) : json(error);
  return j;
}

void line(const std::string& text) { std::printf("%s\n", text.c_str()); }

// A paragraph wrapped at `width`: its first line indented by `indent`,
// the others by `more` as well.
void paragraph(const std::string& text, const std::string& indent, const std::string& more = "",
               std::size_t width = 100) {
  std::string current;
  bool first = true;
  std::size_t start = 0;
  const auto flush = [&] {
    line((first ? indent : indent + more) + current);
    current.clear();
    first = false;
  };
  while (start < text.size()) {
    std::size_t end = text.find(' ', start);
    if (end == std::string::npos) end = text.size();
    const std::string word = text.substr(start, end - start);
    const std::size_t room = width - indent.size() - (first ? 0 : more.size());
    if (!current.empty() && current.size() + 1 + word.size() > room) flush();
    current += (current.empty() ? "" : " ") + word;
    start = end + 1;
  }
  if (!current.empty()) flush();
}

void list(const char* title, const std::vector<std::string>& items) {
  if (items.empty()) return;
  line(std::string("    ") + title + ":");
  for (const auto& i : items) paragraph("- " + i, "      ", "  ");
}

std::string pad_to(std::string text, std::size_t width) {
  if (text.size() < width) text.append(width - text.size(), ' ');
  return text + " ";
}

void print_table(const qvds::BusReport& r, const OpenedBus& open, IdFormat ids) {
  line("bus " + open.label + (open.simulated ? " (simulated)" : "") + ": " + r.adapter + "; strong pull-up " +
       (r.strong_pullup ? "yes" : "no") + "; " + (r.shorted ? "shorted" : r.presence ? "devices present" : "no presence") +
       "; " + std::to_string(r.sensors.size()) + " thermometer(s), " + std::to_string(r.others.size()) +
       " other device(s), " + std::to_string(r.searches) + " search(es)" +
       (r.undocumented ? "; undocumented reads made" : ""));
  if (!r.sensors.empty()) {
    line("");
    const std::vector<std::size_t> w = {5, 17, 8, 9, 10, 14, 3, 4, 4, 9};
    const auto row = [&](const std::vector<std::string>& cells) {
      std::string text;
      for (std::size_t i = 0; i < cells.size(); ++i) text += i + 1 < cells.size() ? pad_to(cells[i], w[i]) : cells[i];
      line(text);
    };
    row({"INDEX", "ROM", "MODEL", "FAMILY", "CONFIDENCE", "POWER", "RES", "TH", "TL", "CONV", "CRC"});
    for (std::size_t i = 0; i < r.sensors.size(); ++i) {
      const qvds::SensorReport& s = r.sensors[i];
      row({std::to_string(i), format_rom(s.rom, ids), model_of(s), family_cell(s),
           s.rom[0] == 0x28 ? qvds::confidence_name(s.confidence) : "-", qvds::power_name(s.power),
           s.resolution ? std::to_string(*s.resolution) : "-", s.has_scratchpad ? std::to_string(s.alarm_high) : "-",
           s.has_scratchpad ? std::to_string(s.alarm_low) : "-", s.conversion_time ? ms_text(*s.conversion_time) : "-",
           std::to_string(s.crc_errors) + "/" + std::to_string(s.reads)});
    }
  }
  for (std::size_t i = 0; i < r.sensors.size(); ++i) {
    const qvds::SensorReport& s = r.sensors[i];
    line("");
    line(std::to_string(i) + "  " + format_rom(s.rom, ids) + "  " + s.summary);
    std::vector<std::string> times;
    for (int bits = 9; bits <= 12; ++bits)
      if (const auto& t = s.conversion_times[static_cast<std::size_t>(bits - 9)])
        times.push_back(ms_text(*t) + " at " + std::to_string(bits) + " bits");
    if (!times.empty()) {
      std::string text;
      for (const auto& t : times) text += (text.empty() ? "" : ", ") + t;
      if (s.time_ratio) {
        char ratio[32];
        std::snprintf(ratio, sizeof ratio, " (x%.2f per bit)", *s.time_ratio);
        text += ratio;
      }
      paragraph("conversion: " + text, "    ", "  ");
    } else if (s.conversion_time) {
      paragraph("conversion: " + ms_text(*s.conversion_time), "    ");
    }
    if (s.rom[0] == 0x28 && s.faults.empty() && s.has_scratchpad)
      paragraph("faults: none: it behaved as a genuine DS18B20 in every test made", "    ");
    list("faults", s.faults);
    list("evidence", s.evidence);
    list("not tested", s.untested);
    if (!s.restored) paragraph("NOT RESTORED: " + s.restore_note, "    ");
    if (!s.undocumented.empty()) {
      std::string text;
      for (const auto& a : s.undocumented) {
        const std::uint8_t code = a.code;
        text += (text.empty() ? "" : ", ") + hex(&code, 1) + " -> " + hex(a.bytes.data(), a.bytes.size());
      }
      paragraph("undocumented reads: " + text, "    ");
    }
    paragraph("what it means: " + s.meaning, "    ", "  ");
  }
  if (!r.others.empty()) {
    line("");
    for (const auto& d : r.others) line("other device: " + format_rom(d.rom, ids) + " " + model_name(d.rom[0]));
  }
  if (!r.advice.empty()) {
    line("");
    line("advice:");
    for (const auto& a : r.advice) paragraph("- " + a.text, "  ", "  ");
  }
  std::fflush(stdout);
}

}  // namespace

namespace {

// Examines one open bus and prints its report; the exit status it earns.
int examine(const Options& o, OpenedBus& open) {
  if (!open.error.empty()) {
    if (o.format == Format::kJson) line(json_dump(report_json(qvds::BusReport{}, open, o.id_format, open.error)));
    report(Severity::kError, open.error);
    return kExitFailed;
  }
  if (o.format == Format::kTable && is_terminal(stderr))
    std::fprintf(stderr, "qvds18x20: examining the bus on %s: a few seconds per sensor...\n", open.label.c_str());
  // Ctrl-C stops the doctor between two steps; the sensor under test gets
  // its registers back first.
  std::stop_source stop;
  std::jthread watcher([&stop](std::stop_token done) {
    while (!done.stop_requested()) {
      if (interrupt_requested()) {
        stop.request_stop();
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  });
  qvds::DoctorOptions options;
  options.undocumented = o.undocumented;
  qvds::CallOptions call;
  call.stop = stop.get_token();
  auto result = open.bus.diagnose(options, call);
  watcher.request_stop();
  watcher.join();
  // From here on the report, or the failure, goes to standard output in
  // the format asked for; the message to standard error.
  std::string error;
  if (!result) {
    error = "the doctor on " + open.label + " failed: " + result.message();
  } else if (result->shorted) {
    error = "the bus on " + open.label + " is shorted";
  } else if (result->sensors.empty()) {
    error = result->others.empty() ? "no device answered on " + open.label : "no thermometer on " + open.label;
  }
  const qvds::BusReport& shown = result ? *result : qvds::BusReport{};
  if (o.format == Format::kJson)
    line(json_dump(report_json(shown, open, o.id_format, error)));
  else if (result)
    print_table(shown, open, o.id_format);
  std::fflush(stdout);
  if (!error.empty()) {
    report(Severity::kError, error);
    return kExitFailed;
  }
  return kExitOk;
}

}  // namespace

int run_doctor(const Options& o) {
  say_if_simulated(o);
  std::vector<BusChoice> choices = bus_choices(o);
  for (const BusChoice& c : choices)
    if (c.where.empty() && c.sim && (c.adapter_given || !c.port.empty()))
      throw UsageError("doctor --sim runs on the simulated bus itself: leave out --port and --adapter");
  BusSet set(std::move(choices));
  set.open();
  int status = kExitOk;
  for (OpenedBus& b : set.buses()) {
    if (interrupt_requested()) return kExitFailed;
    if (examine(o, b) != kExitOk) status = kExitFailed;
  }
  return status;
}

}  // namespace qvtool
