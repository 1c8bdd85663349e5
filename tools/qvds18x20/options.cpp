#include "qvds18x20/options.hpp"

#include <CLI/CLI.hpp>
#include <memory>
#include <utility>
#include <vector>

#include "qvds18x20/commands.hpp"
#include "qvds18x20/exit_codes.hpp"
#include "rtl/sysutils.hpp"

namespace qvtool {
namespace {

// The adapter types --adapter also takes by name: the one place where
// names map to type numbers (the help and the messages list them from here).
const std::vector<std::pair<std::string, int>> kAdapterNames = {{"passive", 1}, {"ds2480b", 5}};

const std::vector<std::pair<std::string, TLanSpeed>> kSpeedNames = {{"normal", lsNormal}, {"relaxed", lsRelaxed}};

// "a, b or c"
std::string or_list(const std::vector<std::string>& words) {
  std::string text;
  for (std::size_t i = 0; i < words.size(); ++i) {
    if (i > 0) text += i + 1 == words.size() ? " or " : ", ";
    text += words[i];
  }
  return text;
}

template <typename T>
std::vector<std::string> names_of(const std::vector<std::pair<std::string, T>>& table) {
  std::vector<std::string> names;
  for (const auto& entry : table) names.push_back(entry.first);
  return names;
}

int adapter_number(const std::string& a) {
  for (const auto& [name, number] : kAdapterNames)
    if (a == name) return number;
  const std::int32_t n = StrToIntDef(a, -1);
  if (n < 0 || n > 255)
    throw UsageError("--adapter takes a number 0..255, " + or_list(names_of(kAdapterNames)) + ", not \"" + a + "\"");
  return n;
}

TLanSpeed speed_of(const std::string& s) {
  for (const auto& [name, speed] : kSpeedNames)
    if (s == name) return speed;
  throw UsageError("--speed takes " + or_list(names_of(kSpeedNames)) + ", not \"" + s + "\"");
}

void add_bus_options(CLI::App& cmd, Options& o) {
  std::vector<std::string> adapters;
  for (const auto& [name, number] : kAdapterNames) adapters.push_back(name + " (" + std::to_string(number) + ")");
  cmd.add_option("--port", o.port,
                 "COM name (COM3) or device path (/dev/ttyUSB0, a pseudo-terminal); "
                 "without it the simulated bus is used");
  cmd.add_option("--adapter", o.adapter, "adapter type: a number, " + or_list(adapters))->capture_default_str();
  cmd.add_option("--speed", o.speed, "bus speed: " + or_list(names_of(kSpeedNames)))->capture_default_str();
  cmd.add_option("--sim", o.sim_file, "use the simulated bus, with the devices of this JSON file if given")
      ->expected(0, 1)
      ->each([&o](const std::string&) { o.sim = true; })
      ->trigger_on_parse();
}

void add_format_option(CLI::App& cmd, Options& o) {
  cmd.add_option("--format", o.format, "output: table, csv or json")
      ->transform(CLI::CheckedTransformer(format_names(), CLI::ignore_case));
}

void add_log_option(CLI::App& cmd, Options& o) {
  cmd.add_option("--log", o.log_file, "append every measurement to this CSV file");
}

// What read and watch take: the bus, the output and the log.
void add_measurement_options(CLI::App& cmd, Options& o) {
  add_bus_options(cmd, o);
  add_format_option(cmd, o);
  add_log_option(cmd, o);
}

}  // namespace

BusChoice bus_choice(const Options& o) {
  BusChoice choice;
  choice.adapter = adapter_number(o.adapter);
  choice.speed = speed_of(o.speed);
  choice.port = o.port;
  choice.sim = o.sim;
  choice.sim_file = o.sim_file;
  return choice;
}

void add_commands(CLI::App& app, int& result) {
  // One set of options for all commands: only one of them runs.
  auto o = std::make_shared<Options>();
  const auto command = [&app, &result, o](const char* name, const char* description, Command run) {
    CLI::App* cmd = app.add_subcommand(name, description);
    cmd->callback([o, &result, run] { result = run_command(run, *o); });
    return cmd;
  };

  CLI::App* read = command("read", "measure once and print every sensor", run_read);
  add_measurement_options(*read, *o);

  CLI::App* list = command("list", "find the devices on the bus", run_list);
  add_bus_options(*list, *o);
  add_format_option(*list, *o);

  CLI::App* watch = command("watch", "measure repeatedly until Ctrl-C or --count rounds", run_watch);
  add_measurement_options(*watch, *o);
  watch->add_option("--interval", o->interval, "seconds from the start of one measurement to the next")->required();
  watch->add_option("--count", o->count, "stop after this many measurements");

  // Publishing: read publishes its one measurement, watch every one.
  add_publish_options(*read, o->publish, false);
  add_publish_options(*watch, o->publish, true);

  command("ports", "list the serial ports and the device behind each", run_ports);

  add_bus_options(*command("version", "versions of the tool, the component and the driver", run_version), *o);
}

}  // namespace qvtool
