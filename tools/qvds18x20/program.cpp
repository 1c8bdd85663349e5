// The whole command line of qvds18x20: its commands, parsed and run.
#include "qvds18x20/program.hpp"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "qvds18x20/config_args.hpp"
#include "qvds18x20/exit_codes.hpp"
#include "qvds18x20/options.hpp"
#include "qvds18x20/platform.hpp"
#include "qvds18x20/report.hpp"
#include "qvds18x20/sim_adapter_command.hpp"
#include "qvds18x20/sim_i2c_command.hpp"
#include "qvds18x20/sim_usb_command.hpp"

namespace {

// What --help shows after an option's names: a word that says what to
// give (PORT, FILE, SECONDS), never the parser's own types and checks
// ("TEXT:TEXT", "INT:INT in [1 - 1000000]"); ranges and choices are in
// the descriptions.
std::string placeholder(const CLI::Option* opt) {
  static const std::map<std::string, std::string> kByName = {
      {"mqtt", "URL"},         {"mqtt-cafile", "FILE"},    {"mqtt-discovery-prefix", "PREFIX"},
      {"mqtt-queue", "N"},     {"mqtt-grace", "SECONDS"},  {"prometheus-file", "FILE"},
      {"metrics-listen", "[ADDR:]PORT"}, {"type", "TYPE"}, {"devices", "FILE"},
      {"link", "PATH"},        {"latency", "MS"},          {"trace", "FILE"},
      {"speedup", "FACTOR"},   {"bus", "N"},               {"address", "ADDRESS"},
      {"chip", "CHIP"},        {"channel", "C=FILE"},      {"clock-khz", "KHZ"},
      {"command", "PROGRAM"},
      {"owserver", "[ADDR:]PORT"}};
  std::string type = opt->get_type_name();
  type = type.substr(0, type.find(':'));
  static const std::set<std::string> kParserTypes = {"TEXT", "INT", "UINT", "FLOAT", "BOOLEAN", "ENUM", "NUMBER", ""};
  if (kParserTypes.count(type) == 0) return type;
  const std::string name = opt->get_lnames().empty() ? opt->get_name() : opt->get_lnames().front();
  const auto it = kByName.find(name);
  return it != kByName.end() ? it->second : "VALUE";
}

void clean_help(CLI::App& app) {
  for (CLI::App* sub : app.get_subcommands([](const CLI::App*) { return true; }))
    for (CLI::Option* opt : sub->get_options()) {
      if (opt->get_type_size() == 0 || opt->get_type_name().empty()) continue;  // a flag
      std::string text = placeholder(opt);
      if (!opt->get_default_str().empty()) text += " (default " + opt->get_default_str() + ")";
      if (opt->get_expected_max() > 1) text += " ...";
      if (opt->get_required()) text += " (required)";
      opt->option_text(text);
    }
}

}  // namespace

int qvtool::run_program(int argc, char** argv) {
  qvtool::ignore_file_size_signal();
  CLI::App app{"Reads DS18B20 and DS18S20 1-Wire temperature sensors.\n"
               "Without --port every command runs on a simulated bus with demonstration devices.",
               "qvds18x20"};
  app.require_subcommand(1);
  app.set_version_flag("--version", std::string("qvds18x20 ") + QVDS_TOOL_VERSION, "print the tool's version and exit");
  int result = qvtool::kExitOk;
  const std::shared_ptr<qvtool::Options> options = qvtool::add_commands(app, result);
  add_sim_adapter_command(app);
  add_sim_usb_command(app);
  add_sim_i2c_command(app);
  // Every option that takes a value refuses an empty one, numbers too
  // (CLI11 would read "" as 0 for some): an unset shell variable is no
  // value. --sim, whose value may be left out, is checked by
  // empty_option_value(); a program's arguments after sim-usb's -- are
  // the program's.
  for (CLI::App* sub : app.get_subcommands([](const CLI::App*) { return true; }))
    for (CLI::Option* opt : sub->get_options())
      if (opt->nonpositional() && opt->get_type_size() > 0 && opt->get_expected_min() > 0) opt->check(qvtool::non_empty());

  clean_help(app);

  // CLI11 would call an unknown command a missing one.
  if (argc > 1 && argv[1][0] != '-') {
    const std::string name = argv[1];
    std::string names;
    bool known = false;
    for (const CLI::App* sub : app.get_subcommands([](const CLI::App*) { return true; })) {
      known = known || sub->check_name(name);
      names += (names.empty() ? "" : ", ") + sub->get_name();
    }
    if (!known) {
      qvtool::report(qvtool::Severity::kError, "unknown command \"" + qvtool::shorten(name) + "\"; the commands are " +
                                                 names + " (see --help)");
      return qvtool::kExitUsage;
    }
  }

  if (const std::string empty = qvtool::empty_option_value(argc, argv); !empty.empty()) {
    qvtool::report(qvtool::Severity::kError, empty);
    return qvtool::kExitUsage;
  }

  // The configuration file's options join the command line's.
  qvtool::ExpandedArgs expanded;
  try {
    expanded = qvtool::expand_config(app, argc, argv, qvtool::config_commands());
  } catch (const qvtool::ConfigError& e) {
    qvtool::report(qvtool::Severity::kError, e.what());
    return qvtool::kExitUsage;
  }
  options->config = expanded.config;
  options->origins = expanded.origins;
  // CLI11 takes the arguments last first.
  std::vector<std::string> reversed(expanded.args.rbegin(), expanded.args.rend() - 1);

  try {
    app.parse(reversed);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    // Every usage error in one style: one line, the tool's name first.
    const CLI::App* cmd = nullptr;
    for (const CLI::App* sub : app.get_subcommands([](const CLI::App*) { return true; }))
      if (argc > 1 && sub->check_name(argv[1])) cmd = sub;
    qvtool::report(qvtool::Severity::kError, qvtool::with_origin(e.what(), expanded.origins) + " (see qvds18x20 " +
                                                 (cmd != nullptr ? cmd->get_name() + " " : std::string()) + "--help)");
    return qvtool::kExitUsage;
  }
  return result;
}
