// COM port numbers for serial device nodes, numbered the way Wine numbers
// them, so that a port number means the same device to this library, to a
// Windows build of an application running under Wine and to the registry's
// SERIALCOMM list.
//
// Candidates are /dev/ttyS0, ttyS1, ..., then ttyUSB0, ..., then ttyACM0,
// ...; each family ends at its first missing index (ttyUSB1 is not looked
// for when ttyUSB0 is absent). Only the node's existence counts. Pinned
// numbers take their path first and are reserved; the candidates then get
// the free numbers 1, 2, ... in list order. Numbers run from 1 to
// kMaxPortNumber.
//
// Pins are process-wide and may be changed from any thread.
#pragma once

#include "qvds18x20/export.hpp"

#include <optional>
#include <string>
#include <vector>

namespace rtl::com {

inline constexpr int kMaxPortNumber = 255;

struct QVDS_API PortEntry {
  int number;  // COM number, 1..kMaxPortNumber
  std::string path;
};

// Every numbered port, pins included, in ascending number order.
// `dev_root` is the folder that holds the device nodes.
QVDS_API std::vector<PortEntry> enumerate_ports(const std::string& dev_root = "/dev");

// The path behind COM `number`, or nothing when no port has that number.
// On Windows an unpinned number is the system's own \\.\COMn.
QVDS_API std::optional<std::string> path_for_port(int number);
QVDS_API std::optional<std::string> path_for_port(int number, const std::string& dev_root);

// Gives COM `number` to `path` whether or not the node exists, and keeps
// the number away from the candidates. Numbers outside 1..kMaxPortNumber
// are ignored, as Wine ignores such overrides. Pinning a number again
// replaces its path.
QVDS_API void pin_port(int number, std::string path);
QVDS_API void unpin_port(int number);

}  // namespace rtl::com
