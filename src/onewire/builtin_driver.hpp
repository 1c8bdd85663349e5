// Our driver on real serial adapters: port numbers map to device nodes the
// way serial/port_map.hpp numbers them, adapter type 1 is the passive
// serial adapter (DS9097 style) and type 5 the DS2480B (DS9097U style).
// Any other type is refused with kErrAdapterType.
#pragma once

#include "qvds18x20/export.hpp"

#include <memory>

#include "onewire/driver.hpp"

namespace onewire {

inline constexpr int kAdapterTypePassive = 1;
inline constexpr int kAdapterTypeDs2480b = 5;

struct QVDS_API BuiltinDriverOptions {
  // The rate the DS2480B is switched to after detection (9600, 19200,
  // 57600 or 115200); it always starts at 9600, and stays there when the
  // switch cannot be confirmed.
  int ds2480b_baud = 115200;
};

QVDS_API std::shared_ptr<BusDriver> make_builtin_driver(BuiltinDriverOptions options = {});

}  // namespace onewire
