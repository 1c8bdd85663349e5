// The COM port numbers the serial transport opens: the platform's rule
// (rtl/com_ports.hpp) under the driver's names.
#pragma once

#include "rtl/com_ports.hpp"

namespace onewire::serial {

using rtl::com::enumerate_ports;
using rtl::com::kMaxPortNumber;
using rtl::com::path_for_port;
using rtl::com::pin_port;
using rtl::com::PortEntry;
using rtl::com::unpin_port;

}  // namespace onewire::serial
