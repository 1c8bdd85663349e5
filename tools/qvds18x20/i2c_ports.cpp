#include "qvds18x20/i2c_ports.hpp"

#include <cstdio>
#include <memory>

#include "onewire/ds2482/ds2482_link.hpp"
#include "onewire/ds2482/port_spec.hpp"
#include "onewire/errors.hpp"
#include "onewire/i2c/i2c_buses.hpp"
#include "qvds18x20/exit_codes.hpp"
#include "qvds18x20/platform.hpp"

namespace qvtool {

namespace {

namespace p = onewire::ds2482;

std::string hex(std::uint8_t a) {
  char b[8];
  std::snprintf(b, sizeof b, "0x%02X", a);
  return b;
}

// The advice for a bus that does not open, by what the open said.
std::string open_advice(const std::string& device, int code, int os_error) {
  switch (code) {
    case p::kI2cNoBus:
      return "no I2C bus " + device +
             ": load the i2c-dev module (sudo modprobe i2c-dev) and enable the bus (Raspberry Pi: raspi-config, "
             "Interface Options, I2C; or dtparam=i2c_arm=on in config.txt); `qvds18x20 ports` lists the buses there are";
    case p::kI2cAccess:
      return device + ": permission denied: add the user to the group that owns it (sudo adduser $USER i2c), then "
                      "log in again";
    case p::kI2cBusy:
      return device + " is in use by another program";
    case p::kI2cUnsupported:
      return device + " is no I2C bus that can reach a DS2482" +
             (os_error != 0 ? " (" + os_error_text(os_error) + ")" : std::string());
    default:
      return device + ": " + (os_error != 0 ? os_error_text(os_error) : "cannot be opened");
  }
}

}  // namespace

void check_i2c_port(const std::string& port) {
  std::string why;
  const auto spec = p::parse_port_spec(port, &why);
  if (!spec) throw UsageError("--port for a DS2482 is /dev/i2c-N[:ADDRESS[:CHANNEL]]: " + why);
  auto bus = onewire::i2c::make_i2c_bus(spec->device);
  if (!bus) throw Failure("no I2C in this build: the DS2482 (adapter type 8) needs Linux's i2c-dev");
  if (const int r = bus->open(); r != p::kI2cOk) throw Failure(open_advice(spec->device, r, bus->os_error()));
  bus->close();
}

std::string i2c_port_trouble(const std::string& port, std::int32_t code) {
  // Only the bus and the chip themselves are asked about here.
  if (code != onewire::kErrAdapterNoResponse && code != onewire::kErrPortUnavailable &&
      code != onewire::kErrPortBusy && code != onewire::kErrPortIo)
    return "";
  const auto spec = p::parse_port_spec(port);
  if (!spec) return "";
  auto bus = onewire::i2c::make_i2c_bus(spec->device);
  if (!bus) return "";
  const std::string held = "a kernel driver or another program holds the DS2482 at " + hex(spec->address) + " on " +
                           spec->device +
                           " (a dtoverlay=ds2482 line binds the kernel's ds2482 driver: remove it, or unload the "
                           "driver with sudo modprobe -r ds2482)";
  if (const int r = bus->open(); r != p::kI2cOk) {
    // Busy: another program's session, or this one's, still open after a
    // failed measurement; only a refused session start is the former.
    if (r == p::kI2cBusy) return code == onewire::kErrPortBusy ? held : "";
    return open_advice(spec->device, r, bus->os_error());
  }
  if (code == onewire::kErrAdapterNoResponse || code == onewire::kErrPortUnavailable) {
    const auto found = p::answering_addresses(*bus);
    std::string list;
    for (std::uint8_t a : found) list += (list.empty() ? "" : ", ") + hex(a);
    bool here = false;
    for (std::uint8_t a : found) here = here || a == spec->address;
    if (found.empty())
      return "no device answers at 0x18 to 0x1F on " + spec->device + " (is the board seated, and powered?)";
    if (!here)
      return "no DS2482 at " + hex(spec->address) + " on " + spec->device + "; devices answer at " + list +
             " (name the address: --port " + spec->device + ":" + hex(found.front()) + ")";
    if (code == onewire::kErrPortUnavailable && spec->channel > 0)
      return "the DS2482 at " + hex(spec->address) + " has no channel " + std::to_string(spec->channel) +
             " (a DS2482-100 has one bus; channels 0 to 7 are a DS2482-800's)";
    return "the device at " + hex(spec->address) + " on " + spec->device + " does not answer as a DS2482 does";
  }
  if (code == onewire::kErrPortBusy) return held;
  return "";
}

int print_i2c_ports() {
  if (!onewire::i2c::i2c_available()) {
    std::fprintf(stderr, "qvds18x20: no I2C buses on this system: the DS2482 (adapter type 8) needs Linux's i2c-dev\n");
    return 0;
  }
  const auto buses = onewire::i2c::enumerate_buses();
  for (const auto& b : buses)
    std::printf("%-7s I2C bus%s%s (a DS2482 on it: --adapter ds2482)\n", b.path.c_str(), b.name.empty() ? "" : " ",
                b.name.c_str());
  return static_cast<int>(buses.size());
}

}  // namespace qvtool
