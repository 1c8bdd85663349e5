// The system's I2C buses, for the DS2482: Linux's i2c-dev nodes
// (/dev/i2c-N, module i2c-dev) where the build has them; elsewhere there
// is never a bus and i2c_available() is false.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "onewire/ds2482/i2c_bus.hpp"

namespace onewire::i2c {

struct I2cBusEntry {
  int number;        // N of /dev/i2c-N
  std::string path;  // /dev/i2c-N
  std::string name;  // the controller's name as the kernel gives it; may be empty
};

// Whether this build can reach I2C buses at all.
bool i2c_available();

// Every i2c-dev bus present now, in number order (empty when none, or
// when the build has no I2C).
std::vector<I2cBusEntry> enumerate_buses();

// The bus at `path` (a device node such as /dev/i2c-1), not yet opened;
// null when the build has no I2C. Its transfers go through the C
// library's open, ioctl, read and write, where an LD_PRELOAD stand-in can
// answer them.
std::unique_ptr<ds2482::I2cBus> make_i2c_bus(const std::string& path);

}  // namespace onewire::i2c
