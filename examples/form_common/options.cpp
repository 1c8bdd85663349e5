// The forms' command line: their options, the usage text and the adapter
// types they offer.
#include "form_common/station.hpp"

#include <charconv>
#include <cstdio>

#include "onewire/adapters.hpp"
#include "onewire/port_names.hpp"

namespace qvform {
namespace {

bool to_int(const std::string& s, int& value) {
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
  return ec == std::errc() && end == s.data() + s.size();
}

}  // namespace

const std::vector<AdapterChoice>& adapter_choices() {
  static const std::vector<AdapterChoice> choices = [] {
    std::vector<AdapterChoice> list;
    for (const onewire::AdapterRow& row : onewire::builtin_adapters())
      if (onewire::adapter_present(row)) list.push_back({row.type, row.label});
    return list;
  }();
  return choices;
}

std::string usage(const std::string& program) {
  std::string names;
  std::string numbered;
  for (const AdapterChoice& a : adapter_choices()) {
    const onewire::AdapterRow* row = onewire::find_adapter(a.type);
    // Appended piece by piece: GCC 12 sees a false overlap (-Wrestrict) in
    // "literal" + std::string temporaries in the optimised build.
    if (!names.empty()) names += '|';
    names += row->name;
    if (!numbered.empty()) numbered += ", ";
    numbered.append(row->name).append(" (").append(std::to_string(row->type)).append(")");
  }
  return "usage: " + program + " [--sim [FILE] | --port P [--adapter " + names +
         "] [--baud B]] [--speed normal|relaxed]\n"
         "       [--interval SECONDS] [--shot FILE.png [--measurements N]]\n"
         "\n"
         "A window that reads DS18B20/DS18S20 sensors through the TQvDs18x20 component.\n"
         "  --sim [FILE]      the simulated bus: a device file, or the demonstration set (the default)\n"
         "  --port P          a COM name (COM3), a device path (/dev/ttyUSB0), a USB adapter (USB1), ...\n"
         "  --adapter T       " +
         numbered +
         "; default passive\n"
         "  --baud B          the DS2480B's serial rate after detection (default 115200)\n"
         "  --speed S         bus speed: normal or relaxed\n"
         "  --interval N      measure every N seconds once the session is open\n"
         "  --shot FILE       open, measure, save the window as a PNG picture, print what it shows, exit\n"
         "  --measurements N  the measurements --shot takes before the picture (default 1)\n";
}

std::string parse_options(const std::vector<std::string>& args, Options& o) {
  bool sim_given = false;
  bool adapter_given = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](std::string& out) -> bool {
      if (i + 1 >= args.size() || args[i + 1].empty()) return false;
      out = args[++i];
      return true;
    };
    std::string v;
    if (a == "--help" || a == "-h") {
      o.help = true;
    } else if (a == "--sim") {
      sim_given = true;
      if (i + 1 < args.size() && args[i + 1].rfind("--", 0) != 0) o.sim_file = args[++i];
    } else if (a == "--port") {
      if (!value(o.port)) return "--port needs a value";
    } else if (a == "--adapter") {
      if (!value(v)) return "--adapter needs a value";
      adapter_given = true;
      // A name or a number of the adapters on offer.
      const onewire::AdapterRow* row = onewire::find_adapter_named(v);
      int number = 0;
      if (row == nullptr && to_int(v, number)) row = onewire::find_adapter(number);
      bool offered = false;
      for (const AdapterChoice& a : adapter_choices()) offered = offered || (row != nullptr && a.type == row->type);
      if (!offered) {
        std::string names;
        for (const AdapterChoice& a : adapter_choices())
          names += (names.empty() ? "" : ", ") + std::string(onewire::find_adapter(a.type)->name);
        return "--adapter takes " + names + ", not \"" + v + "\"";
      }
      o.adapter = row->type;
    } else if (a == "--speed") {
      if (!value(v) || (v != "normal" && v != "relaxed")) return "--speed takes normal or relaxed";
      o.relaxed = v == "relaxed";
    } else if (a == "--baud") {
      if (!value(v) || !to_int(v, o.baud) ||
          (o.baud != 9600 && o.baud != 19200 && o.baud != 57600 && o.baud != 115200))
        return "--baud takes 9600, 19200, 57600 or 115200";
    } else if (a == "--interval") {
      if (!value(v) || !to_int(v, o.interval) || o.interval < 1 || o.interval > 86400)
        return "--interval takes seconds from 1 to 86400";
    } else if (a == "--shot") {
      if (!value(o.shot)) return "--shot needs a file name";
    } else if (a == "--measurements") {
      if (!value(v) || !to_int(v, o.measurements) || o.measurements < 1 || o.measurements > 1000)
        return "--measurements takes 1 to 1000";
    } else {
      return "unknown argument \"" + a + "\"";
    }
  }
  if (sim_given && (!o.port.empty() || adapter_given)) return "--sim goes with neither --port nor --adapter";
  // A USB adapter's or a kernel master's name says its adapter.
  if (const auto form = onewire::form_of_name(o.port); form && !adapter_given)
    for (const AdapterChoice& a : adapter_choices())
      if (onewire::find_adapter(a.type)->ports == *form) o.adapter = a.type;
  o.sim = o.port.empty();
  return "";
}

std::optional<int> read_command_line(int argc, char** argv, const std::string& program, Options& options) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (const std::string error = parse_options(args, options); !error.empty()) {
    std::fprintf(stderr, "%s: %s\n%s", program.c_str(), error.c_str(), usage(program).c_str());
    return 2;
  }
  if (options.help) {
    std::fputs(usage(program).c_str(), stdout);
    return 0;
  }
  return std::nullopt;
}

}  // namespace qvform
