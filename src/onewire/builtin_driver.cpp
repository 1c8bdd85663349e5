#include "onewire/builtin_driver.hpp"

#include "onewire/ds2480b/ds2480b_link.hpp"
#include "onewire/ds2482/ds2482_link.hpp"
#include "onewire/ds2482/port_spec.hpp"
#include "onewire/ds2490/ds2490_link.hpp"
#include "onewire/errors.hpp"
#include "onewire/i2c/i2c_buses.hpp"
#include "onewire/passive/passive_link.hpp"
#include "onewire/serial/port_map.hpp"
#include "onewire/serial/transport.hpp"
#include "onewire/usb/ds2490_devices.hpp"
#include "onewire/w1/w1_master.hpp"

namespace onewire {

namespace {

bool serial_type(int adapter_type) {
  return adapter_type == kAdapterTypePassive || adapter_type == kAdapterTypeDs2480b;
}

std::unique_ptr<Link> open_builtin_link(const BuiltinDriverOptions& options, int port, int adapter_type,
                                        std::int16_t& error) {
  if (adapter_type == kAdapterTypeDs2490) {
    auto device = options.usb_devices ? options.usb_devices(port) : usb::make_ds2490_device(port);
    if (!device) {
      error = options.usb_devices ? kErrPortUnavailable : kErrAdapterType;
      return nullptr;
    }
    return std::make_unique<ds2490::Ds2490Link>(std::move(device));
  }
  if (adapter_type == kAdapterTypeDs2482) {
    const auto path = serial::path_for_port(port);
    if (!path) {
      error = kErrPortUnavailable;
      return nullptr;
    }
    std::unique_ptr<ds2482::I2cBus> bus;
    if (options.i2c_buses) {
      const auto spec = ds2482::parse_port_spec(*path);
      if (spec) bus = options.i2c_buses(spec->device);
      if (!bus) {
        error = kErrPortUnavailable;
        return nullptr;
      }
    }
    return ds2482::make_ds2482_link(*path, std::move(bus), error);
  }
  if (adapter_type == kAdapterTypeW1) {
    w1::W1Options w1;
    w1.sysfs_root = options.w1_sysfs_root;
    w1.netlink_port = options.w1_netlink_port;
    return w1::make_w1_link(port, w1, error);
  }
  if (!serial_type(adapter_type)) {
    error = kErrAdapterType;
    return nullptr;
  }
  const auto path = serial::path_for_port(port);
  if (!path) {
    error = kErrPortUnavailable;
    return nullptr;
  }
  auto transport = serial::make_serial_port(*path);
  if (adapter_type == kAdapterTypePassive) return std::make_unique<passive::PassiveLink>(std::move(transport));
  ds2480b::Ds2480bOptions ds;
  ds.baud = options.ds2480b_baud;
  return std::make_unique<ds2480b::Ds2480bLink>(std::move(transport), ds);
}

}  // namespace

std::shared_ptr<BusDriver> make_builtin_driver(BuiltinDriverOptions options) {
  const bool usb = options.usb_devices != nullptr || usb::usb_available();
  const bool i2c = options.i2c_buses != nullptr || i2c::i2c_available();
  const bool w1 = w1::w1_available();
  auto answered = [usb, i2c, w1](int type) {
    return serial_type(type) || (usb && type == kAdapterTypeDs2490) || (i2c && type == kAdapterTypeDs2482) ||
           (w1 && type == kAdapterTypeW1);
  };
  // The version text holds at most 100 characters.
  std::string version = usb || i2c || w1 ? "qvds18x20 adapters: 1 passive (DS9097), 5 DS2480B (DS9097U)"
                                         : "qvds18x20 serial adapters: 1 passive (DS9097), 5 DS2480B (DS9097U)";
  if (usb) version += ", 6 DS2490";
  if (i2c) version += ", 8 DS2482 (I2C)";
  if (w1) version += ", 9 kernel w1";
  return std::make_shared<BusDriver>(
      [options](int port, int adapter_type, std::int16_t& error) {
        return open_builtin_link(options, port, adapter_type, error);
      },
      std::move(version), answered);
}

}  // namespace onewire
