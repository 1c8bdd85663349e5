// The whole command line of qvds18x20: its commands, parsed and run.
#include "qvds18x20/program.hpp"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <string>

#include "qvds18x20/exit_codes.hpp"
#include "qvds18x20/options.hpp"
#include "qvds18x20/platform.hpp"
#include "qvds18x20/sim_adapter_command.hpp"
#include "qvds18x20/sim_i2c_command.hpp"
#include "qvds18x20/sim_usb_command.hpp"

int qvtool::run_program(int argc, char** argv) {
  qvtool::ignore_file_size_signal();
  CLI::App app{"Reads DS18B20 and DS18S20 1-Wire temperature sensors.\n"
               "Without --port every command runs on a simulated bus with demonstration devices.",
               "qvds18x20"};
  app.require_subcommand(1);
  int result = qvtool::kExitOk;
  qvtool::add_commands(app, result);
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
      std::fprintf(stderr, "qvds18x20: unknown command \"%s\"; the commands are %s (see --help)\n",
                   qvtool::shorten(name).c_str(), names.c_str());
      return qvtool::kExitUsage;
    }
  }

  if (const std::string empty = qvtool::empty_option_value(argc, argv); !empty.empty()) {
    std::fprintf(stderr, "qvds18x20: %s\n", empty.c_str());
    return qvtool::kExitUsage;
  }

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    app.exit(e);
    return qvtool::kExitUsage;
  }
  return result;
}
