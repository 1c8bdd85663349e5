#include "qvds18x20/port_advice.hpp"

#include <memory>
#include <optional>
#include <vector>

#include "onewire/ds2482/ds2482_link.hpp"
#include "onewire/ds2482/chip_address.hpp"
#include "onewire/errors.hpp"
#include "onewire/i2c/i2c_buses.hpp"
#include "qvds18x20/platform.hpp"

namespace qvtool {
namespace {

namespace p = onewire::ds2482;
using onewire::OpenFailure;
using onewire::OpenProblem;
using onewire::PortName;

// "COM7 (/dev/ttyUSB0)", or the path alone when that is what was given.
std::string where(const PortName& port) {
  if (port.device.empty() || port.device == port.label) return port.label;
  return port.label + " (" + port.device + ")";
}

std::string denied(const std::string& who, const OpenFailure& f, const onewire::AdapterRow& row) {
  std::string text = who + ": permission denied (" + f.what() + ")";
  if (*row.access_group != 0) text += ": " + join_group_advice(row.access_group);
  return text;
}

std::string serial_trouble(const PortName& port, const onewire::AdapterRow& row, std::int32_t code,
                           const onewire::BuiltinDriverOptions& options, bool probe) {
  if (const auto f = onewire::last_open_failure(port)) {
    switch (f->problem) {
      case OpenProblem::kDenied:
        return denied(where(port), *f, row);
      case OpenProblem::kBusy:
        // The code's meaning says it already.
        return code == onewire::kErrPortBusy ? "" : where(port) + ": in use by another program (" + f->what() + ")";
      case OpenProblem::kAbsent:
        return where(port) + ": no such device (" + f->what() + ")";
      case OpenProblem::kNotAdapter:
        return where(port) + ": " + f->text;
      case OpenProblem::kOther:
        return where(port) + ": " + f->what();
    }
  }
  if (port.device.empty())
    return code == onewire::kErrPortUnavailable
               ? "no serial port has the number " + std::to_string(port.number) + " (`qvds18x20 ports` lists them)"
               : "";
  if (!path_exists(port.device)) return where(port) + " is gone";
  if (probe && code == onewire::kErrAdapterNoResponse) {
    // A DS2480B opened as a passive adapter answers nonsense, and the
    // reverse: ask the port as the other types.
    std::int16_t error = 0;
    const int other = onewire::detect_adapter(row.ports, port.number, options, error, row.type);
    if (const onewire::AdapterRow* found = onewire::find_adapter(other))
      return std::string("the adapter on ") + port.label + " answers as a " + found->label +
             " adapter does: use --adapter " + found->name;
  }
  return "";
}

std::string usb_trouble(const PortName& port, const onewire::AdapterRow& row, std::int32_t code) {
  const auto present = onewire::list_ports(onewire::PortForm::kUsb);
  std::string who = port.label;
  for (const onewire::PortListing& l : present)
    if (l.name == port.device) who += " (" + l.detail + ")";
  const auto f = onewire::last_open_failure(port);
  if (f && f->problem == OpenProblem::kDenied)
    return denied(who, *f, row) + " (the qvds18x20 package's udev rule gives DS2490 adapters to " + row.access_group +
           ")";
  if (f && f->problem == OpenProblem::kBusy)
    return who + ": another program holds the adapter (" + f->what() +
           "), owserver for one: stop it (sudo systemctl stop owserver) or end the other program";
  if ((f && f->problem == OpenProblem::kAbsent) || (!f && code == onewire::kErrPortUnavailable)) {
    if (present.empty()) return std::string("no ") + row.label + " adapter is plugged in";
    std::string names;
    for (const onewire::PortListing& l : present) names += (names.empty() ? "" : ", ") + l.name;
    return port.label + " is not there; the " + row.label + " adapters are " + names;
  }
  if (f) return who + ": " + f->what();
  return "";
}

std::string i2c_trouble(const PortName& port, const onewire::AdapterRow& row, std::int32_t code) {
  // Only the bus and the chip themselves are asked about here.
  if (code != onewire::kErrAdapterNoResponse && code != onewire::kErrPortUnavailable &&
      code != onewire::kErrPortBusy && code != onewire::kErrPortIo)
    return "";
  const auto chip = p::parse_chip_address(port.device);
  if (!chip) return "";
  const std::string held = "a kernel driver or another program holds the DS2482 at " + p::format_address(chip->address) + " on " +
                           chip->device +
                           " (a dtoverlay=ds2482 line binds the kernel's ds2482 driver: remove it, or unload the "
                           "driver with sudo modprobe -r ds2482)";
  if (const auto f = onewire::last_open_failure(port)) {
    // The bus itself did not open.
    switch (f->problem) {
      case OpenProblem::kAbsent:
        return "no I2C bus " + chip->device +
               ": load the i2c-dev module (sudo modprobe i2c-dev) and enable the bus (Raspberry Pi: raspi-config, "
               "Interface Options, I2C; or dtparam=i2c_arm=on in config.txt); `qvds18x20 ports` lists the buses there "
               "are";
      case OpenProblem::kDenied:
        return denied(chip->device, *f, row);
      case OpenProblem::kBusy:
        return code == onewire::kErrPortBusy ? held : "";
      case OpenProblem::kNotAdapter:
        return chip->device + " is no I2C bus that can reach a DS2482 (" + f->what() + ")";
      case OpenProblem::kOther:
        return chip->device + ": " + f->what();
    }
  }
  if (code == onewire::kErrAdapterNoResponse || code == onewire::kErrPortUnavailable) {
    // The bus opened and the chip did not answer: which addresses do.
    auto bus = onewire::i2c::make_i2c_bus(chip->device);
    if (!bus || bus->open() != p::kI2cOk) return "";
    const auto found = p::answering_addresses(*bus);
    bus->close();
    std::string list;
    for (std::uint8_t a : found) list += (list.empty() ? "" : ", ") + p::format_address(a);
    bool here = false;
    for (std::uint8_t a : found) here = here || a == chip->address;
    if (found.empty())
      return "no device answers at 0x18 to 0x1F on " + chip->device + " (is the board seated, and powered?)";
    if (!here)
      return "no DS2482 at " + p::format_address(chip->address) + " on " + chip->device + "; devices answer at " + list +
             " (name the address: --port " + chip->device + ":" + p::format_address(found.front()) + ")";
    if (code == onewire::kErrPortUnavailable && chip->channel > 0)
      return "the DS2482 at " + p::format_address(chip->address) + " has no channel " + std::to_string(chip->channel) +
             " (a DS2482-100 has one bus; channels 0 to 7 are a DS2482-800's)";
    return "the device at " + p::format_address(chip->address) + " on " + chip->device + " does not answer as a DS2482 does";
  }
  if (code == onewire::kErrPortBusy) return held;
  return "";
}

}  // namespace

std::string join_group_advice(const std::string& group) {
  return "add the user to the " + group + " group (sudo adduser $USER " + group + "), then log in again";
}

std::string port_trouble(const PortName& port, int adapter, std::int32_t code,
                         const onewire::BuiltinDriverOptions& options, bool probe) {
  const onewire::AdapterRow* row = onewire::find_adapter(adapter);
  // A type no row has: "no adapter of this type" says it all.
  if (row == nullptr) return "";
  if (code == onewire::kErrAdapterType && !row->present(options))
    return "adapter type " + std::to_string(row->type) + " (" + row->name + ") is absent from this build: " +
           row->absent_reason;
  switch (row->ports) {
    case onewire::PortForm::kSerial:
      return serial_trouble(port, *row, code, options, probe);
    case onewire::PortForm::kUsb:
      return usb_trouble(port, *row, code);
    case onewire::PortForm::kI2c:
      return i2c_trouble(port, *row, code);
    case onewire::PortForm::kKernelW1:
      // No device node: the code's meaning says which piece is missing.
      return "";
  }
  return "";
}

}  // namespace qvtool
