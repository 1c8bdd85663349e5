// Builds for systems without Linux's i2c-dev: no I2C bus can be reached.
#include "onewire/i2c/i2c_buses.hpp"

namespace onewire::i2c {

bool i2c_available() { return false; }

std::vector<I2cBusEntry> enumerate_buses() { return {}; }

std::unique_ptr<ds2482::I2cBus> make_i2c_bus(const std::string&) { return nullptr; }

}  // namespace onewire::i2c
