#include "qvds18x20/usb_ports.hpp"

#include <cstdio>

#include "onewire/builtin_driver.hpp"
#include "onewire/sim/ds2490_emulator.hpp"
#include "onewire/sim/emulated_usb_device.hpp"
#include "onewire/usb/ds2490_devices.hpp"
#include "rtl/sysutils.hpp"

namespace qvtool {

std::optional<int> usb_port_number(const std::string& name) {
  if (name.size() < 4 || CompareText(name.substr(0, 3), "USB") != 0) return std::nullopt;
  const std::int32_t n = StrToIntDef(name.substr(3), -1);
  if (n < 1 || n > 255) return std::nullopt;
  return n;
}

int print_usb_ports() {
  const auto found = onewire::usb::enumerate_ds2490();
  for (const auto& d : found) {
    const std::string name = "USB" + std::to_string(d.number);
    std::printf("%-7s DS2490 on bus %d, device %d\n", name.c_str(), d.bus, d.address);
  }
  return static_cast<int>(found.size());
}

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
