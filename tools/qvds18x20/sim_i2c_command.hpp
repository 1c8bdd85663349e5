// The "sim-i2c" command: runs a program with the i2c-dev stand-in
// preloaded, so that it finds an emulated DS2482-100 or DS2482-800 over
// simulated buses on /dev/i2c-N instead of hardware. Linux only.
#pragma once

namespace CLI {
class App;
}

void add_sim_i2c_command(CLI::App& app);
