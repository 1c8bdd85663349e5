#include "onewire/adapters.hpp"

#include <algorithm>

#include "onewire/builtin_driver.hpp"
#include "onewire/ds2480b/ds2480b_link.hpp"
#include "onewire/ds2482/ds2482_link.hpp"
#include "onewire/ds2482/chip_address.hpp"
#include "onewire/ds2490/ds2490_link.hpp"
#include "onewire/errors.hpp"
#include "onewire/i2c/i2c_buses.hpp"
#include "onewire/passive/passive_link.hpp"
#include "onewire/port_names.hpp"
#include "onewire/serial/transport.hpp"
#include "onewire/usb/ds2490_devices.hpp"
#include "onewire/w1/w1_master.hpp"
#include "rtl/sysutils.hpp"

namespace onewire {
namespace {

bool always(const BuiltinDriverOptions&) { return true; }

// The serial device behind a port number, opened by the row's protocol.
std::unique_ptr<serial::Transport> serial_port(int port, std::int16_t& error) {
  const auto path = port_device(PortForm::kSerial, port);
  if (!path) {
    error = kErrPortUnavailable;
    return nullptr;
  }
  return serial::make_serial_port(*path);
}

std::unique_ptr<Link> open_passive(const BuiltinDriverOptions&, int port, std::int16_t& error) {
  auto transport = serial_port(port, error);
  if (!transport) return nullptr;
  return std::make_unique<passive::PassiveLink>(std::move(transport));
}

std::unique_ptr<Link> open_ds2480b(const BuiltinDriverOptions& options, int port, std::int16_t& error) {
  auto transport = serial_port(port, error);
  if (!transport) return nullptr;
  ds2480b::Ds2480bOptions ds;
  ds.baud = options.ds2480b_baud;
  return std::make_unique<ds2480b::Ds2480bLink>(std::move(transport), ds);
}

bool ds2490_present(const BuiltinDriverOptions& options) {
  return options.usb_devices != nullptr || usb::usb_available();
}

std::unique_ptr<Link> open_ds2490(const BuiltinDriverOptions& options, int port, std::int16_t& error) {
  auto device = options.usb_devices ? options.usb_devices(port) : usb::make_ds2490_device(port);
  if (!device) {
    error = options.usb_devices ? kErrPortUnavailable : kErrAdapterType;
    return nullptr;
  }
  ds2490::Ds2490Options ds;
  ds.port_name = port_device(PortForm::kUsb, port).value_or("");
  return std::make_unique<ds2490::Ds2490Link>(std::move(device), ds);
}

bool ds2482_present(const BuiltinDriverOptions& options) {
  return options.i2c_buses != nullptr || i2c::i2c_available();
}

std::unique_ptr<Link> open_ds2482(const BuiltinDriverOptions& options, int port, std::int16_t& error) {
  const auto path = port_device(PortForm::kI2c, port);
  if (!path) {
    error = kErrPortUnavailable;
    return nullptr;
  }
  std::unique_ptr<ds2482::I2cBus> bus;
  if (options.i2c_buses) {
    const auto chip = ds2482::parse_chip_address(*path);
    if (chip) bus = options.i2c_buses(chip->device);
    if (!bus) {
      error = kErrPortUnavailable;
      return nullptr;
    }
  }
  return ds2482::make_ds2482_link(*path, std::move(bus), error);
}

bool w1_present(const BuiltinDriverOptions&) { return w1::w1_available(); }

std::unique_ptr<Link> open_w1(const BuiltinDriverOptions& options, int port, std::int16_t& error) {
  w1::W1Options w1;
  w1.sysfs_root = options.w1_sysfs_root;
  w1.netlink_port = options.w1_netlink_port;
  return w1::make_w1_link(port, w1, error);
}

}  // namespace

const std::vector<AdapterRow>& builtin_adapters() {
  static const std::vector<AdapterRow> rows = {
      {.type = kAdapterTypePassive,
       .name = "passive",
       .label = "passive (DS9097)",
       .description = "passive serial adapter, DS9097 style: the UART's lines drive and read the bus",
       .ports = PortForm::kSerial,
       .present = always,
       .absent_reason = "",
       .access_group = "dialout",
       .can = {.strong_pullup = false, .block_exchange = true},
       .open = open_passive,
       .detect_rank = 2},
      {.type = kAdapterTypeDs2480b,
       .name = "ds2480b",
       .label = "DS2480B (DS9097U)",
       .description = "DS2480B serial adapter, DS9097U style",
       .ports = PortForm::kSerial,
       .present = always,
       .absent_reason = "",
       .access_group = "dialout",
       .can = {.strong_pullup = true, .block_exchange = true},
       .open = open_ds2480b,
       .detect_rank = 1},
      {.type = kAdapterTypeDs2490,
       .name = "usb",
       .label = "DS2490",
       .description = "DS2490 USB adapter (DS9490R, DS9490B), over libusb-1.0",
       .ports = PortForm::kUsb,
       .present = ds2490_present,
       .absent_reason = "this build has no libusb-1.0",
       // The packaged udev rule gives the adapter to plugdev.
       .access_group = "plugdev",
       .can = {.strong_pullup = true, .block_exchange = false},
       .open = open_ds2490,
       .detect_rank = 0},
      {.type = kAdapterTypeDs2482,
       .name = "ds2482",
       .label = "DS2482 (I2C)",
       .description = "DS2482-100 or DS2482-800 I2C bridge, over Linux's i2c-dev",
       .ports = PortForm::kI2c,
       .present = ds2482_present,
       .absent_reason = "it needs Linux's i2c-dev",
       .access_group = "i2c",
       .can = {.strong_pullup = true, .block_exchange = false},
       .open = open_ds2482,
       .detect_rank = 0},
      {.type = kAdapterTypeW1,
       .name = "w1",
       .label = "kernel w1",
       .description = "a bus master of the Linux kernel's w1 subsystem, over its netlink connector",
       .ports = PortForm::kKernelW1,
       .present = w1_present,
       .absent_reason = "it needs the Linux kernel's w1 subsystem",
       // A netlink socket needs no device node.
       .access_group = "",
       .can = {.strong_pullup = false, .block_exchange = true},
       .open = open_w1,
       .detect_rank = 0},
  };
  return rows;
}

const AdapterRow* find_adapter(int type, const std::vector<AdapterRow>& table) {
  for (const AdapterRow& row : table)
    if (row.type == type) return &row;
  return nullptr;
}

const AdapterRow* find_adapter_named(std::string_view name, const std::vector<AdapterRow>& table) {
  for (const AdapterRow& row : table)
    if (CompareText(name, row.name) == 0) return &row;
  return nullptr;
}

bool adapter_present(const AdapterRow& row) { return row.present(BuiltinDriverOptions{}); }

std::string adapters_version_text(const std::vector<AdapterRow>& table, const BuiltinDriverOptions& options) {
  std::string list;
  bool serial_only = true;
  for (const AdapterRow& row : table) {
    if (!row.present(options)) continue;
    serial_only = serial_only && row.ports == PortForm::kSerial;
    list += (list.empty() ? "" : ", ") + std::to_string(row.type) + " " + row.label;
  }
  std::string text = (serial_only ? "qvds18x20 serial adapters: " : "qvds18x20 adapters: ") + list;
  // A version holds at most 100 characters; a row that does not fit is
  // left out whole.
  constexpr std::size_t kLimit = 100;
  if (text.size() > kLimit) text = text.substr(0, text.rfind(", ", kLimit - 1));
  return text;
}

int detect_adapter(PortForm form, int port, const BuiltinDriverOptions& options, std::int16_t& error, int skip_type,
                   const std::vector<AdapterRow>& table) {
  std::vector<const AdapterRow*> order;
  for (const AdapterRow& row : table)
    if (row.ports == form && row.detect_rank > 0 && row.type != skip_type && row.present(options))
      order.push_back(&row);
  std::stable_sort(order.begin(), order.end(),
                   [](const AdapterRow* a, const AdapterRow* b) { return a->detect_rank < b->detect_rank; });
  // What the port itself said (missing, held) outweighs an adapter that
  // did not answer.
  auto port_level = [](std::int16_t e) { return e == kErrPortUnavailable || e == kErrPortBusy || e == kErrPortIo; };
  error = kErrAdapterNoResponse;
  for (const AdapterRow* row : order) {
    std::int16_t failed = kErrPortUnavailable;
    if (auto link = row->open(options, port, failed)) {
      const int opened = link->open();
      link->close();
      if (opened == 1) {
        error = 0;
        return row->type;
      }
      failed = static_cast<std::int16_t>(opened < 0 ? opened : kErrAdapterNoResponse);
    }
    if (!port_level(error)) error = failed;
  }
  return 0;
}

}  // namespace onewire
