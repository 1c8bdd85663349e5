// The kernel's w1 bus masters in the tool: their port names
// (w1_bus_master1, or the master's number) and the listing of "ports".
#pragma once

#include <optional>
#include <string>

namespace qvtool {

// The master a name gives: "w1_bus_master3", or its sysfs path
// (/sys/bus/w1/devices/w1_bus_master3), is 3 (1..255); nothing for any
// other text.
std::optional<int> w1_master_port(const std::string& name);

// A port for adapter type 9: the names above or the number alone.
std::optional<int> w1_port_number(const std::string& port);

// Prints one line per master the kernel has ("w1_bus_master1
// /sys/bus/w1/devices/w1_bus_master1 (kernel w1 master, 2 devices)");
// returns how many. Where the build has no w1 (all but Linux) it prints
// none and says so on standard error.
int print_w1_ports();

}  // namespace qvtool
