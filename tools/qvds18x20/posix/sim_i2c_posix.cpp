#include <unistd.h>

#include <CLI/CLI.hpp>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "onewire/ds2482/chip_address.hpp"
#include "onewire/ds2482/protocol.hpp"
#include "qvds18x20/device_file.hpp"
#include "qvds18x20/exit_codes.hpp"
#include "qvds18x20/platform.hpp"
#include "qvds18x20/posix/stand_in_launch.hpp"
#include "qvds18x20/sim_i2c_command.hpp"

namespace {

struct SimI2cOptions {
  int bus = 1;
  std::string address = "0x18";
  std::string chip;     // empty: a -800 when channels are named, else a -100
  std::string devices;  // the -100's bus, or the -800's channel 0
  std::vector<std::string> channels;  // "C=FILE"
  int clock_khz = 100;
  double speedup = 1.0;
  std::string trace;
  std::vector<std::string> command;
};

constexpr const char* kChipNames[] = {"ds2482-100", "ds2482-800"};

[[noreturn]] void quit(int code, const std::string& message) {
  std::fprintf(stderr, "qvds18x20 sim-i2c: %s\n", message.c_str());
  std::exit(code);
}

// A device file as the program will see it: checked now, so that a bad
// one fails here and not in the program, and named by its absolute path,
// in case the program changes its folder.
std::string checked_file(const std::string& file) {
  if (file == "-") return file;
  try {
    qvtool::load_device_setup(file);
  } catch (const std::exception& e) {
    quit(qvtool::kExitFailed, e.what());
  }
  char resolved[PATH_MAX];
  return realpath(file.c_str(), resolved) != nullptr ? std::string(resolved) : file;
}

int run_sim_i2c(const SimI2cOptions& o) {
  using qvtool::kExitUsage;
  if (o.command.empty()) quit(kExitUsage, "name the program to run after --");
  const bool eight = o.chip == "ds2482-800" || (o.chip.empty() && !o.channels.empty());
  const std::string device = "/dev/i2c-" + std::to_string(o.bus);
  std::string why;
  const auto chip = onewire::ds2482::parse_chip_address(device + ":" + o.address, &why);
  if (!chip) quit(kExitUsage, "--address: " + why);
  if (!eight && chip->address > onewire::ds2482::kLastAddress100)
    quit(kExitUsage, "a DS2482-100 has two address pins: 0x18 to 0x1B, not " + o.address);
  std::map<int, std::string> files;
  if (!o.devices.empty()) files[0] = o.devices;
  for (const std::string& c : o.channels) {
    const auto eq = c.find('=');
    const std::string number = c.substr(0, eq);
    if (eq == std::string::npos || eq + 1 == c.size() || number.size() != 1 || number[0] < '0' || number[0] > '7')
      quit(kExitUsage, "--channel takes C=FILE with C from 0 to 7, not \"" + qvtool::shorten(c) + "\"");
    const int n = number[0] - '0';
    if (files.count(n) != 0) quit(kExitUsage, "channel " + number + " is given twice (--devices is channel 0)");
    files[n] = c.substr(eq + 1);
  }
  if (!eight && !o.channels.empty()) quit(kExitUsage, "--channel needs --chip ds2482-800: a DS2482-100 has one bus");
  if (files.empty()) files[0] = "-";
  const std::string shim = qvtool::find_stand_in("QVDS_I2C_SHIM", QVDS_I2C_SHIM_FILE, QVDS_I2C_SHIM_INSTALLED);
  if (shim.empty()) quit(qvtool::kExitFailed, "the i2c-dev stand-in library is not there (set QVDS_I2C_SHIM)");
  for (auto& [channel, file] : files) file = checked_file(file);

  qvtool::StandInLaunch launch{"sim-i2c", shim,
                               {{"QVDS_SIM_I2C_DEVICE", device},
                                {"QVDS_SIM_I2C_ADDRESS", onewire::ds2482::format_address(chip->address)},
                                {"QVDS_SIM_I2C_CHIP", eight ? "800" : "100"},
                                {"QVDS_SIM_I2C_CLOCK_HZ", std::to_string(o.clock_khz * 1000)},
                                {"QVDS_SIM_I2C_SPEEDUP", std::to_string(o.speedup)}},
                               "QVDS_SIM_I2C_TRACE", o.trace};
  // Channels without a bus are unset, whatever the tool inherited.
  for (int c = 0; c < 8; ++c)
    launch.settings.emplace_back("QVDS_SIM_I2C_CHANNEL_" + std::to_string(c), files.count(c) != 0 ? files[c] : "");
  return qvtool::run_with_stand_in(launch, o.command);
}

}  // namespace

void add_sim_i2c_command(CLI::App& app) {
  auto o = std::make_shared<SimI2cOptions>();
  auto* cmd = app.add_subcommand(
      "sim-i2c",
      "run a program with an emulated DS2482 I2C 1-Wire bridge on /dev/i2c-N instead of hardware "
      "(qvds18x20 sim-i2c --devices FILE -- owserver --i2c=/dev/i2c-1:ALL ...)");
  cmd->add_option("--bus", o->bus, "the bus number N of /dev/i2c-N")->capture_default_str()->check(CLI::Range(0, 255));
  cmd->add_option("--address", o->address, "the chip's address, 0x18 to 0x1B (-100) or 0x1F (-800)")
      ->capture_default_str();
  cmd->add_option("--chip", o->chip, "ds2482-100, or ds2482-800 (the default when --channel is given)")
      ->check(CLI::IsMember({kChipNames[0], kChipNames[1]}));
  cmd->add_option("--devices", o->devices,
                  "JSON device file of the -100's bus (or the -800's channel 0); - for the demonstration devices")
      ->multi_option_policy(CLI::MultiOptionPolicy::Throw);
  cmd->add_option("--channel", o->channels, "the devices of the -800's channel C (0 to 7), as C=FILE; repeat for more channels")
      ->allow_extra_args(false)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  cmd->add_option("--clock-khz", o->clock_khz, "the I2C clock: 100 (standard mode) or 400 (fast mode)")
      ->capture_default_str()
      ->check(CLI::IsMember({100, 400}));
  cmd->add_option("--speedup", o->speedup, "run the chip's time this many times faster than real time (0.1 to 1000)")
      ->check(CLI::Validator([](std::string& value) { return qvtool::speedup_trouble(value); }, ""));
  cmd->add_option("--trace", o->trace, "append every call on the device and every I2C transfer to this file");
  cmd->add_option("command", o->command, "the program and its arguments (after --)");
  cmd->callback([o] { std::exit(run_sim_i2c(*o)); });
}
