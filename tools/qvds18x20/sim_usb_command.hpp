// The "sim-usb" command: runs a program with the libusb stand-in
// preloaded, so that it finds emulated DS2490 adapters over simulated
// buses instead of USB hardware. POSIX only.
#pragma once

namespace CLI {
class App;
}

void add_sim_usb_command(CLI::App& app);
