#include "qvds18x20/usb_ports.hpp"

#include <cstdio>

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

}  // namespace qvtool
