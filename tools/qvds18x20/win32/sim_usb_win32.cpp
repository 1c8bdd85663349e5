// Windows programs cannot be given a preloaded libusb: no sim-usb there.
#include "qvds18x20/sim_usb_command.hpp"

void add_sim_usb_command(CLI::App&) {}
