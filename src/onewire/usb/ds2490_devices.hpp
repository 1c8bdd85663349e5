// Where the DS2490 adapters are: the USB devices 04FA:2490 of this
// system, numbered 1, 2, ... in order of bus number and then device
// address, so that a port number names the same adapter as long as the
// hardware stays where it is. Backed by libusb-1.0 where the build found
// it; elsewhere there is never a device and usb_available() is false.
#pragma once

#include <memory>
#include <vector>

#include "onewire/ds2490/usb_device.hpp"

namespace onewire::usb {

struct Ds2490Location {
  int number;   // the port number, 1..
  int bus;      // USB bus number
  int address;  // device address on that bus
};

// Whether this build can reach USB devices at all.
bool usb_available();

// Every DS2490 present now (empty when none, or when USB cannot be used).
std::vector<Ds2490Location> enumerate_ds2490();

// The `number`-th DS2490 as a UsbDevice (not yet opened): each open()
// enumerates again, so an adapter unplugged and plugged back is found.
// Null when the build has no USB.
std::unique_ptr<ds2490::UsbDevice> make_ds2490_device(int number);

}  // namespace onewire::usb
