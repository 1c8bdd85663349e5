// The USB adapter on the simulated bus: --sim with --adapter usb (or
// --port USBn) runs our DS2490 backend on an emulated chip, in process.
#pragma once

#include <memory>

#include "onewire/sim/bus.hpp"
#include "onewire/tmex_driver.hpp"

namespace qvtool {

// Our driver with one emulated DS2490 over `bus` as USB adapter `port`.
std::shared_ptr<onewire::TmexDriver> make_emulated_usb_driver(int port, std::shared_ptr<onewire::sim::SimBus> bus);

}  // namespace qvtool
