// Builds without libusb-1.0: no USB adapter can be reached.
#include "onewire/usb/ds2490_devices.hpp"

namespace onewire::usb {

bool usb_available() { return false; }

std::vector<Ds2490Location> enumerate_ds2490() { return {}; }

std::unique_ptr<ds2490::UsbDevice> make_ds2490_device(int) { return nullptr; }

}  // namespace onewire::usb
