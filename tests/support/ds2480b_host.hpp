// Our DS2480B host backend on an emulated port to the emulated chip, over
// a bus of SensorBus sensors (five unless told): the fixture of the
// backend's suites.
#pragma once

#include "onewire/ds2480b/ds2480b_link.hpp"
#include "onewire/sim/adapter_emulator.hpp"
#include "support/emulated_port_host.hpp"

namespace testing_support {

struct Ds2480bHost : EmulatedPortHost<onewire::ds2480b::Ds2480bLink, onewire::sim::Ds2480bEmulator> {
  explicit Ds2480bHost(int sensor_count = 5) : EmulatedPortHost(sensor_count) {}
};

}  // namespace testing_support
