// The DS2482 (adapter type 8) in the tool: its ports (/dev/i2c-N,
// /dev/i2c-N:0xAA, /dev/i2c-N:0xAA:C), the I2C buses the "ports" command
// lists, and what to tell a user whose bus or chip cannot be reached.
#pragma once

#include <cstdint>
#include <string>

namespace qvtool {

// Before a session: throws UsageError for a port that is no DS2482 port,
// and Failure, saying what to do, when its bus cannot be opened (no such
// node, no permission, held by another program, no I2C in this build).
void check_i2c_port(const std::string& port);

// After a session on `port` failed with driver result `code`: what the
// bus and the chip say about it (which addresses answer, a -100 asked for
// a channel), or empty.
std::string i2c_port_trouble(const std::string& port, std::int32_t code);

// Prints one line per I2C bus; returns how many. Where the system has no
// i2c-dev, says on standard error that the DS2482 is not available.
int print_i2c_ports();

}  // namespace qvtool
