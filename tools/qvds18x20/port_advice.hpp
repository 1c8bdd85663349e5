// What the tool tells a user whose port did not work, where the common
// mistakes of a first hour happen: the group to join when the system
// refused the device, the program that holds a busy USB adapter, the
// --adapter a port's adapter answers to, what a Raspberry Pi lacks for its
// I2C bus, which adapter types this build has. Read from what the driver
// kept of the failed open (onewire/port_names.hpp) and the adapter table.
#pragma once

#include <cstdint>
#include <string>

#include "onewire/builtin_driver.hpp"
#include "onewire/port_names.hpp"

namespace qvtool {

// After a session on `port` with `adapter` failed with driver result
// `code`: what the port itself says, in words, or empty. With `probe`, a
// serial adapter that did not answer is asked whether it answers as
// another type (the port is opened for that; it must not be held).
std::string port_trouble(const onewire::PortName& port, int adapter, std::int32_t code,
                         const onewire::BuiltinDriverOptions& options, bool probe = true);

// "add the user to the dialout group (sudo adduser $USER dialout), then
// log in again"
std::string join_group_advice(const std::string& group);

}  // namespace qvtool
