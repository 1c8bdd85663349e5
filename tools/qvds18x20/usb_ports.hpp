// USB adapters in the tool: their names (USB1, USB2, ...) and the listing
// of the "ports" command.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "onewire/tmex_driver.hpp"
#include "onewire/sim/bus.hpp"

namespace qvtool {

// The number n of a name "USBn" (1..255), or nothing.
std::optional<int> usb_port_number(const std::string& name);

// Prints one line per DS2490 present ("USB1    DS2490 on bus 1, device 4");
// returns how many.
int print_usb_ports();

// Our driver with one emulated DS2490 over `bus` as USB adapter `port`
// (the simulated bus reached through the DS2490 backend, in process).
std::shared_ptr<onewire::TmexDriver> make_emulated_usb_driver(int port, std::shared_ptr<onewire::sim::SimBus> bus);

}  // namespace qvtool
