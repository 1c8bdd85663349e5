#include <signal.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "qvds18x20/device_file.hpp"
#include "qvds18x20/exit_codes.hpp"
#include "qvds18x20/options.hpp"
#include "qvds18x20/platform.hpp"
#include "qvds18x20/posix/stand_in_launch.hpp"
#include "qvds18x20/sim_usb_command.hpp"

namespace {

struct SimUsbOptions {
  std::vector<std::string> devices;
  bool id_chip = false;
  std::string trace;
  double speedup = 1.0;
  std::vector<std::string> command;
};

int run_sim_usb(const SimUsbOptions& o) {
  if (o.command.empty()) {
    std::fprintf(stderr, "qvds18x20 sim-usb: name the program to run after --\n");
    return qvtool::kExitUsage;
  }
  const std::string shim = qvtool::find_stand_in("QVDS_USB_SHIM", QVDS_USB_SHIM_FILE, QVDS_USB_SHIM_INSTALLED);
  if (shim.empty()) {
    std::fprintf(stderr, "qvds18x20 sim-usb: the USB stand-in library is not there (set QVDS_USB_SHIM)\n");
    return qvtool::kExitFailed;
  }
  // Every device file is read here, with the messages of --sim, so that
  // a bad one fails before the program starts: in the stand-in it could
  // only be skipped, and the program would see fewer adapters.
  std::string devices;
  for (const auto& d : o.devices) {
    if (d != "-") {
      if (d.find(':') != std::string::npos) {
        std::fprintf(stderr, "qvds18x20 sim-usb: %s: a device file's path cannot hold ':' (it separates them)\n",
                     qvtool::shorten(d, 200).c_str());
        return qvtool::kExitUsage;
      }
      try {
        qvtool::load_device_setup(d);
      } catch (const qvtool::DeviceFileError& e) {
        std::fprintf(stderr, "qvds18x20 sim-usb: %s\n", e.what());
        return qvtool::kExitFailed;
      }
    }
    devices += (devices.empty() ? "" : ":") + d;
  }
  if (o.devices.empty()) devices = "-";
  return qvtool::run_with_stand_in({"sim-usb", shim,
                                    {{"QVDS_SIM_USB_DEVICES", devices},
                                     {"QVDS_SIM_USB_ID_CHIP", o.id_chip ? "1" : "0"},
                                     {"QVDS_SIM_USB_SPEEDUP", std::to_string(o.speedup)}},
                                    "QVDS_SIM_USB_TRACE", o.trace},
                                   o.command);
}

}  // namespace

void add_sim_usb_command(CLI::App& app) {
  auto o = std::make_shared<SimUsbOptions>();
  auto* cmd = app.add_subcommand(
      "sim-usb",
      "run a program that uses libusb-1.0 with emulated DS2490 USB adapters instead of hardware "
      "(qvds18x20 sim-usb --devices FILE -- owserver -u ...)");
  cmd->add_option("--devices", o->devices,
                  "JSON device file of one adapter's bus; repeat for more adapters; - for the demonstration devices")
      ->allow_extra_args(false)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
      ->check(qvtool::non_empty());
  cmd->add_flag("--id-chip", o->id_chip, "put the adapter's own ID chip (family 0x81) on each bus, as DS9490 adapters have");
  cmd->add_option("--trace", o->trace, "append every libusb call and USB transfer to this file")
      ->check(qvtool::non_empty());
  cmd->add_option("--speedup", o->speedup,
                  "run the adapters' time this many times faster than real time (0.1 to 1000)")
      ->check(CLI::Validator([](std::string& value) { return qvtool::speedup_trouble(value); }, ""));
  cmd->add_option("command", o->command, "the program and its arguments (after --)");
  cmd->callback([o] {
    const int r = run_sim_usb(*o);
    std::exit(r);
  });
}
