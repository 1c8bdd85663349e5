// --adapter and --port in the tool: the names and help texts made from
// the adapter table (onewire/adapters.hpp), and what the options name
// once the port is known.
#pragma once

#include <string>

#include "onewire/adapters.hpp"

namespace qvtool {

// --adapter auto: the serial adapter on the port is detected.
inline constexpr int kAdapterAuto = -1;

// A type number 0..255, a row's name or auto (any letter case); throws
// UsageError for anything else.
int adapter_number(const std::string& text);

// The adapter a port name implies when --adapter is not given: a USB
// adapter for USBn, a kernel master for w1_bus_masterN; else the serial
// adapter found on the port (kAdapterAuto).
int implied_adapter(const std::string& port);

// The descriptions of --adapter and --port in --help.
std::string adapter_help();
std::string port_help();

}  // namespace qvtool
