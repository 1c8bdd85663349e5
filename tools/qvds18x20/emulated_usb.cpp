#include "qvds18x20/emulated_usb.hpp"

#include "onewire/builtin_driver.hpp"
#include "onewire/sim/ds2490_emulator.hpp"
#include "onewire/sim/emulated_usb_device.hpp"

namespace qvtool {

std::shared_ptr<onewire::TmexDriver> make_emulated_usb_driver(int port, std::shared_ptr<onewire::sim::SimBus> bus) {
  auto chip = std::make_shared<onewire::sim::Ds2490Emulator>(std::move(bus));
  onewire::BuiltinDriverOptions o;
  o.usb_devices = [port, chip](int n) -> std::unique_ptr<onewire::ds2490::UsbDevice> {
    if (n != port) return nullptr;
    return std::make_unique<onewire::sim::EmulatedUsbDevice>(chip);
  };
  return onewire::make_builtin_driver(o);
}

}  // namespace qvtool
