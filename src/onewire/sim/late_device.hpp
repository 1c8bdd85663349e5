// A device that comes onto the bus some time after the bus is first
// used: a sensor plugged in while a program runs.
#pragma once

#include "qvds18x20/export.hpp"

#include <memory>

#include "onewire/sim/bus.hpp"

namespace onewire::sim {

// `device`, absent from the bus (no presence, never driving the line)
// until `after` has passed on the device clock since the first reset the
// bus gave it.
QVDS_API std::shared_ptr<Device> make_late_device(std::shared_ptr<Device> device, rtl::Duration after);

}  // namespace onewire::sim
