// USB adapters in the tool: their names (USB1, USB2, ...) and the listing
// of the "ports" command.
#pragma once

#include <optional>
#include <string>

namespace qvtool {

// The number n of a name "USBn" (1..255), or nothing.
std::optional<int> usb_port_number(const std::string& name);

// Prints one line per DS2490 present ("USB1    DS2490 on bus 1, device 4");
// returns how many.
int print_usb_ports();

}  // namespace qvtool
