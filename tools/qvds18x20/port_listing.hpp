// The "ports" command's listing beyond the serial ports: the ports of
// every other form in the adapter table (USB adapters, I2C buses, kernel
// w1 masters), and on standard error the adapters this build lacks.
#pragma once

#include <string>

namespace qvtool {

// Prints one line per port ("USB1    DS2490 on bus 1, device 4"); returns
// how many.
int print_adapter_ports();

// "serial ports, USB adapters, I2C buses or kernel w1 masters"
std::string every_port_kind();

}  // namespace qvtool
