// Device files: a simulated bus described in JSON.
//
//   {
//     "devices": [
//       {"type": "DS18B20", "serial": "0416913C6BFF", "celsius": 21.5, "resolution": 12},
//       {"type": "DS18S20", "celsius": -3.25},
//       {"family": "B1", "celsius": 19.5, "skip_conversions": true},
//       {"rom": "6300001A2B3C4D01"},
//       {"type": "DS18B20", "celsius": 20, "scratchpad": "500548467FFF0C1000"}
//     ],
//     "faults": [{"op": "TMFirst", "call": 1, "code": -3}]
//   }
//
// A device names its "type" (DS18B20, DS18S20, DS1822, DS1825, DS2401, or
// a hex family code as text such as "0x22") with an optional "serial" (12
// hex digits as text), or its whole "rom" as the tool prints it (16 hex
// digits, CRC byte first, family code last, with a valid CRC). A
// thermometer may name its "family" (A1, B1, ..., DS18S20: the models of
// onewire::sim::ThermometerFamily); without a "rom" its ROM then follows
// the family's pattern (make_family_rom with the serial) and "type" may be
// left out. Thermometers take "celsius", "resolution" (9..12, not the
// DS18S20), "th" and "tl" (signed whole degrees; these three are what the
// part loads at power-up), "parasite", "parasite_works",
// "reports_parasite", "eeprom_writes" (copies the EEPROM had before),
// "skip_conversions" and "fail_conversions" (a count, or true for every
// one), "corrupt_reads" (a count), "corrupt_every" (a period), and
// "scratchpad" (18 hex digits sent as READ SCRATCHPAD's answer, CRC byte
// included, to simulate a damaged or odd device). Any device may arrive
// late: "arrives_after" seconds after the bus is first used (a sensor
// plugged in while a program runs). "faults" inject driver
// failures: the "call"-th call of "op" (a driver operation name) answers
// "code". Unknown keys, keys given twice, repeated ROMs, values of the
// wrong JSON type and numbers out of range are errors naming the device
// and the key.
#pragma once

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "onewire/driver.hpp"
#include "onewire/sim/bus.hpp"

namespace qvtool {

// A device file that cannot be used; the message says where and why.
class DeviceFileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct InjectedFault {
  onewire::Op op;
  int call;
  int code;
};

struct SimSetup {
  std::shared_ptr<onewire::sim::SimBus> bus;
  std::vector<InjectedFault> faults;
};

// Files larger than this are no device files (a device or a stream read by
// mistake).
inline constexpr std::size_t kMaxDeviceFileSize = 1024 * 1024;

// The most devices a file may put on one bus. A search walks the whole
// bus, twice: through a virtual adapter with real timing a read of 100
// devices took 5-6 s (DS2480B, passive, the emulated DS2490; 1.1 s on the
// simulated driver), and a bus ten times as long would outlast the 20 s
// deadline of an operation, to end in "stopped answering" instead of
// this file's error. (Behind a 16 ms USB bridge the passive adapter is
// slower than that deadline for any bus of 21 devices.)
inline constexpr std::size_t kMaxDevices = 100;

// Reads a device file; throws DeviceFileError (with line and column for
// malformed JSON).
SimSetup load_device_setup(const std::string& path);
// The same from text; `origin` names it in messages.
SimSetup parse_device_setup(const std::string& text, const std::string& origin);

// The bus of a device file, for the virtual adapter.
std::shared_ptr<onewire::sim::SimBus> load_device_file(const std::string& path);

// The built-in demonstration set: three DS18B20 (one below zero), two
// DS18S20 and a DS2401.
std::shared_ptr<onewire::sim::SimBus> demo_bus();

}  // namespace qvtool

using qvtool::demo_bus;
using qvtool::load_device_file;
