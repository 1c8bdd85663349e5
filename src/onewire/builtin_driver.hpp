// Our driver on real adapters: the rows of onewire/adapters.hpp, each a
// type number with the link it opens. Type 1 is the passive serial
// adapter (DS9097 style) and type 5 the DS2480B (DS9097U style), on the
// serial device of the port number (onewire/port_names.hpp); type 6 is
// the DS2490 USB adapter (DS9490R/B), port number n the n-th DS2490 of
// usb/ds2490_devices.hpp, in builds that have USB; type 8 the
// DS2482-100/-800 I2C bridge, on Linux, the port's path a DS2482 address
// (ds2482/chip_address.hpp, "/dev/i2c-1:0x18:3"); type 9 a kernel w1
// bus master over the netlink connector (w1/w1_master.hpp), port number n
// w1_bus_master<n>, on Linux. Any other type, and a type this build does
// not have, is refused with kErrAdapterType.
#pragma once

#include "qvds18x20/export.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "onewire/adapters.hpp"
#include "onewire/driver.hpp"
#include "onewire/ds2482/i2c_bus.hpp"
#include "onewire/ds2490/usb_device.hpp"

namespace onewire {

struct QVDS_API BuiltinDriverOptions {
  // The rate the DS2480B is switched to after detection (9600, 19200,
  // 57600 or 115200), or 0 to let the link choose by the answer time it
  // measures (115200, or 9600 behind a slow USB bridge); it always starts
  // at 9600, and stays there when the switch cannot be confirmed.
  int ds2480b_baud = 0;
  // Where type 6 finds the port number's DS2490 (null for none there).
  // Unset: the system's USB devices, when the build has USB.
  std::function<std::unique_ptr<ds2490::UsbDevice>(int port)> usb_devices;
  // Where type 8 finds the I2C bus of a device path (null for none there).
  // Unset: the system's i2c-dev buses, on Linux.
  std::function<std::unique_ptr<ds2482::I2cBus>(const std::string& device)> i2c_buses;
  // Where type 9 finds the kernel's w1 masters: the root sysfs is mounted
  // at, and the netlink port id the requests go to (0, the kernel). Tests
  // point both at a fake kernel.
  std::string w1_sysfs_root = "/sys";
  std::uint32_t w1_netlink_port = 0;
  // The adapter types the driver answers, which the caller keeps alive;
  // null: builtin_adapters().
  const std::vector<AdapterRow>* adapters = nullptr;
};

QVDS_API std::shared_ptr<BusDriver> make_builtin_driver(BuiltinDriverOptions options = {});

}  // namespace onewire
