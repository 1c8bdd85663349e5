// The adapter types of our driver, one row each: the number the
// component's AdapterType takes, the name the tool's --adapter takes, what
// it is, the form of its ports, whether this build has it, what it can do
// and how its link opens. The built-in driver, the tool (its options,
// help, port listing and messages) and the example forms all read this
// table; a new adapter is its folder and one row here.
#pragma once

#include "qvds18x20/export.hpp"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "onewire/link.hpp"

namespace onewire {

struct BuiltinDriverOptions;

// --- the type numbers of our adapters ---
inline constexpr int kAdapterTypePassive = 1;  // passive serial adapter (DS9097)
inline constexpr int kAdapterTypeDs2480b = 5;  // DS2480B serial adapter (DS9097U)
inline constexpr int kAdapterTypeDs2490 = 6;   // DS2490 USB adapter (DS9490R/B)
inline constexpr int kAdapterTypeDs2482 = 8;   // DS2482-100/-800 I2C bridge (Linux)
inline constexpr int kAdapterTypeW1 = 9;       // a kernel w1 bus master (Linux)

// How the ports of an adapter type are named, and how the port number the
// component is given leads back to the device (onewire/port_names.hpp).
enum class PortForm : std::uint8_t {
  // COMn, or a device path (/dev/ttyUSB0, a pseudo-terminal) that gets a
  // port number of its own: a serial port.
  kSerial,
  // USBn: the n-th adapter of the type on the USB, by bus and address.
  kUsb,
  // An I2C bus with the chip's address and channel (/dev/i2c-1,
  // /dev/i2c-1:0x1A:3), which gets a port number of its own.
  kI2c,
  // w1_bus_masterN, its folder under sysfs, or N: the kernel's master N.
  kKernelW1,
};

// What an adapter type can do beyond the 13 operations.
struct QVDS_API AdapterCapabilities {
  // Holds the bus at the strong pull-up after a byte, so that
  // parasite-powered thermometers can convert.
  bool strong_pullup = false;
  // A reset, MATCH ROM and a block of bytes go to the adapter together
  // (one serial write, one kernel request), not as a call per byte.
  bool block_exchange = false;
};

// Makes the link of a session on port number `port` (not yet opened), or
// returns null with `error` set to a negative driver code.
using AdapterOpener = std::unique_ptr<Link> (*)(const BuiltinDriverOptions& options, int port, std::int16_t& error);

// One adapter type of our driver.
struct QVDS_API AdapterRow {
  int type;                 // the component's AdapterType
  const char* name;         // what the tool's --adapter takes ("passive"), lower case
  const char* label;        // short, for lists and the driver's version text ("passive (DS9097)")
  const char* description;  // one line of what it is
  PortForm ports;           // how its ports are named
  // Whether this build (or the stand-ins `options` carry) reaches it.
  bool (*present)(const BuiltinDriverOptions& options);
  // Why a build does not have it, where it does not ("it needs Linux's
  // i2c-dev"); empty for adapters every build has.
  const char* absent_reason;
  // The group that owns its device nodes on Debian and its kin, which a
  // user joins to open them ("dialout"); empty where none is needed.
  const char* access_group;
  AdapterCapabilities can;
  AdapterOpener open;
  // Where automatic detection tries it among the adapters of its port
  // form (1 first), 0 for never: the DS2480B's detection first, since it
  // is harmless to a passive adapter, then the passive adapter's reset.
  int detect_rank;
};

// The built-in rows, by type number.
QVDS_API const std::vector<AdapterRow>& builtin_adapters();

// The row of a type number or a name (in any letter case) in `table`, or
// null.
QVDS_API const AdapterRow* find_adapter(int type, const std::vector<AdapterRow>& table = builtin_adapters());
QVDS_API const AdapterRow* find_adapter_named(std::string_view name,
                                              const std::vector<AdapterRow>& table = builtin_adapters());

// Whether this build reaches the adapter, without test stand-ins.
QVDS_API bool adapter_present(const AdapterRow& row);

// The driver's version text for the rows present: "qvds18x20 adapters: 1
// passive (DS9097), 5 DS2480B (DS9097U), ...", cut at the 100 characters
// a version holds.
QVDS_API std::string adapters_version_text(const std::vector<AdapterRow>& table, const BuiltinDriverOptions& options);

// Which adapter answers on port number `port` (as the component has it):
// the type of the first row of `form` (by detect_rank, `skip_type` left
// out) whose link opens there, or 0 when none does. Each try opens and
// closes the port; `error` gets the driver code of the first failure of
// the port itself (missing, held), or else of the last try.
QVDS_API int detect_adapter(PortForm form, int port, const BuiltinDriverOptions& options, std::int16_t& error,
                            int skip_type = 0, const std::vector<AdapterRow>& table = builtin_adapters());

}  // namespace onewire
