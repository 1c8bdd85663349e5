// qvds18x20: find DS18B20/DS18S20 sensors on a 1-Wire bus and measure
// them, on a serial adapter or on the simulated bus.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <map>
#include <string>

#include "qvds18x20/app.hpp"
#include "qvds18x20/sim_adapter_command.hpp"
#include "qvds18x20/sim_usb_command.hpp"

namespace {

void add_bus_options(CLI::App& cmd, qvtool::Options& o) {
  cmd.add_option("--port", o.port,
                 "COM name (COM3), device path (/dev/ttyUSB0, a pseudo-terminal) or USB adapter (USB1); "
                 "without it the simulated bus is used");
  cmd.add_option("--adapter", o.adapter, "adapter type: a number, passive (1), ds2480b (5) or usb (6)")
      ->capture_default_str();
  cmd.add_option("--speed", o.speed, "bus speed: normal or relaxed")->capture_default_str();
  cmd.add_option("--sim", o.sim_file, "use the simulated bus, with the devices of this JSON file if given")
      ->expected(0, 1)
      ->each([&o](const std::string&) { o.sim = true; })
      ->trigger_on_parse();
}

void add_output_options(CLI::App& cmd, qvtool::Options& o) {
  const std::map<std::string, qvtool::Format> formats = {
      {"table", qvtool::Format::kTable}, {"csv", qvtool::Format::kCsv}, {"json", qvtool::Format::kJson}};
  cmd.add_option("--format", o.format, "output: table, csv or json")
      ->transform(CLI::CheckedTransformer(formats, CLI::ignore_case));
  cmd.add_option("--log", o.log_file, "append every measurement to this CSV file");
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Reads DS18B20 and DS18S20 1-Wire temperature sensors.\n"
               "Without --port every command runs on a simulated bus with demonstration devices.",
               "qvds18x20"};
  app.require_subcommand(1);
  qvtool::Options o;
  int result = qvtool::kExitOk;

  auto* read = app.add_subcommand("read", "measure once and print every sensor");
  add_bus_options(*read, o);
  add_output_options(*read, o);
  read->callback([&] { result = qvtool::run_read(o); });

  auto* list = app.add_subcommand("list", "find the devices on the bus");
  add_bus_options(*list, o);
  list->add_option("--format", o.format, "output: table, csv or json")
      ->transform(CLI::CheckedTransformer(std::map<std::string, qvtool::Format>{{"table", qvtool::Format::kTable},
                                                                                {"csv", qvtool::Format::kCsv},
                                                                                {"json", qvtool::Format::kJson}},
                                          CLI::ignore_case));
  list->callback([&] { result = qvtool::run_list(o); });

  auto* watch = app.add_subcommand("watch", "measure repeatedly until Ctrl-C or --count rounds");
  add_bus_options(*watch, o);
  add_output_options(*watch, o);
  watch->add_option("--interval", o.interval, "seconds from the start of one measurement to the next")
      ->required();
  watch->add_option("--count", o.count, "stop after this many measurements");
  watch->callback([&] { result = qvtool::run_watch(o); });

  auto* ports = app.add_subcommand("ports", "list the serial ports and the device behind each, and the USB adapters");
  ports->callback([&] { result = qvtool::run_ports(o); });

  auto* version = app.add_subcommand("version", "versions of the tool, the component and the driver");
  add_bus_options(*version, o);
  version->callback([&] { result = qvtool::run_version(o); });

  add_sim_adapter_command(app);
  add_sim_usb_command(app);

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
