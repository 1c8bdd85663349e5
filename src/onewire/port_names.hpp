// Port names: what a user writes for a port (COM3, /dev/ttyUSB0, USB1,
// /dev/i2c-1:0x1A:3, w1_bus_master1), the port number the component is
// given for it (as "COMn" through ComPort, which keeps its own rule of
// taking the number after the first three characters), and the way back
// from that number to the device, which the built-in driver takes when a
// session starts.
//
// COM numbers of serial devices follow rtl/com_ports.hpp (Wine's
// numbering); a device path or a DS2482 port name gets a number of its own
// by pinning it, which lasts for the process. A USB adapter's number is
// its place among the adapters present, a kernel master's number its own.
//
// The transports also leave here what the operating system said when a
// device last failed to open (which call, its error), so that a caller can
// tell a user why without opening the device again.
//
// Every function may be called from any thread.
#pragma once

#include "qvds18x20/export.hpp"

#include <optional>
#include <string>
#include <vector>

#include "onewire/adapters.hpp"

namespace onewire {

// The highest port number the component's ports take.
inline constexpr int kMaxPortNumber = 255;

// A port as the component and the driver know it.
struct QVDS_API PortName {
  PortForm form = PortForm::kSerial;
  int number = 0;      // 1..kMaxPortNumber: the component is given ComPort("COM<number>")
  std::string label;   // how messages name it: what was written, or a kernel master's name
  std::string device;  // what the driver opens: a serial device path, a DS2482 port name, "USB<n>" or
                       // "w1_bus_master<n>"; empty for a COM number no device has
  // "COM<number>", the name the component takes.
  std::string com_name() const { return "COM" + std::to_string(number); }
};

// What resolve_port made of a text: the port, or why it is none.
struct QVDS_API PortResolution {
  std::optional<PortName> port;
  std::string expected;  // when none: the names the form takes, in words
  std::string reason;    // when none and the text is of the form but wrong: why ("the address is 0x18 to 0x1F")
};

// The form a name is written in, when the name alone says so: USBn is a
// USB adapter, w1_bus_masterN (or its folder under sysfs) a kernel master.
// Nothing for COM names and paths, which more than one form takes.
QVDS_API std::optional<PortForm> form_of_name(const std::string& text);

// What `text` names as a port of `form`: a COM name (COM3, any letter
// case) is its number; a serial device path and a DS2482 port name get the
// number they are pinned to, or else the highest one that is free (so
// that the system's own COM numbers stay theirs); USBn is n; a kernel
// master's name, folder or number is its number.
QVDS_API PortResolution resolve_port(const std::string& text, PortForm form);

// The device behind port `number` of `form` (see PortName::device), or
// nothing when no device has that number.
QVDS_API std::optional<std::string> port_device(PortForm form, int number);

// The names `form` takes, in words: what they are ("a COM name or a
// device path") and examples ("COM3, /dev/ttyUSB0, a pseudo-terminal").
struct QVDS_API PortFormWords {
  const char* what;
  const char* examples;
  const char* plural;  // the ports as a listing names them: "serial ports"
};
QVDS_API PortFormWords port_form_words(PortForm form);
// Both together: "a COM name or a device path (COM3, /dev/ttyUSB0, a
// pseudo-terminal)".
QVDS_API std::string port_forms_text(PortForm form);

// Gives port `number` to `path` (a serial device or a DS2482 port name)
// whether or not it exists, for the whole process; numbers outside
// 1..kMaxPortNumber are ignored, and pinning a number again replaces its
// path. This is what onewire::serial::pin_port always did.
QVDS_API void pin_port(int number, std::string path);
QVDS_API void unpin_port(int number);

// --- the ports there are ---
// One port of a listing.
struct QVDS_API PortListing {
  std::string name;    // as resolve_port takes it: "COM1", "USB1", "/dev/i2c-1", "w1_bus_master1"
  std::string detail;  // what it is: "/dev/ttyS0", "DS2490 on bus 1, device 4", ...
};
// The ports of `form` present now: serial ports as the system numbers
// them, USB adapters by number, I2C buses, kernel masters (empty where the
// build has none).
QVDS_API std::vector<PortListing> list_ports(PortForm form);

// --- why a device did not open ---
// What kind of trouble an open met.
enum class OpenProblem : std::uint8_t {
  kAbsent,      // no such device (no node, no adapter of that number)
  kDenied,      // the user may not open it
  kBusy,        // another program, or another session, holds it
  kNotAdapter,  // it opened, but is no device of the kind needed (not a terminal, no I2C bus)
  kOther,
};

// What the operating system said when a device failed to open.
struct QVDS_API OpenFailure {
  OpenProblem problem = OpenProblem::kOther;
  std::string call;  // the call that failed: "open", "flock", "libusb_claim_interface"
  int code = 0;      // its error number (errno, GetLastError(), libusb's code)
  std::string text;  // the system's words for it ("Permission denied")
  // "open: Permission denied"
  std::string what() const { return call + ": " + text; }
};

// A failure of `call` with the C library's error number `error_number`,
// classified and in the system's words.
QVDS_API OpenFailure os_open_failure(const char* call, int error_number);

// The transports report every open of `device` (the name they opened: a
// device path, "USB<n>", ...): a failure is kept until the next open of
// that device succeeds.
QVDS_API void note_open_failure(const std::string& device, OpenFailure failure);
QVDS_API void note_open_success(const std::string& device);

// The last failed open of `device`, or of the device behind `port` (an
// I2C port's bus), when the last open failed.
QVDS_API std::optional<OpenFailure> last_open_failure(const std::string& device);
QVDS_API std::optional<OpenFailure> last_open_failure(const PortName& port);

}  // namespace onewire
