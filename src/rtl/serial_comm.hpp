// The serial ports the system lists under
// HKEY_LOCAL_MACHINE\HARDWARE\DEVICEMAP\SERIALCOMM, read once for both of
// the library's port listers (the component's and the design-time unit's),
// which sort them and trim them or not, each its own way.
#pragma once

#include <string>
#include <vector>

namespace rtl {

// The names in the order the registry lists its values. Each value's data
// is UTF-16 text of the size the registry reports (a half character at
// the end is dropped), cut at its first zero character; value names and
// types are not looked at. The walk ends at the first value it cannot
// read: past the last one, and also at a value whose name has more than
// 255 characters or whose data more than 256 bytes, so that the values
// after it are not listed. A key that does not open lists nothing. The
// key is closed in any case; exceptions of the registry calls pass.
std::vector<std::string> serial_comm_names();

}  // namespace rtl
