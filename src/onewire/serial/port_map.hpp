// The names serial ports had before onewire/port_names.hpp took them over;
// kept for applications written against them. onewire::pin_port and
// onewire::port_device(PortForm::kSerial, n) are the same as pin_port and
// path_for_port here.
#pragma once

#include "onewire/port_names.hpp"
#include "rtl/com_ports.hpp"

namespace onewire::serial {

using rtl::com::enumerate_ports;
using rtl::com::kMaxPortNumber;
using rtl::com::path_for_port;
using rtl::com::pin_port;
using rtl::com::PortEntry;
using rtl::com::unpin_port;

}  // namespace onewire::serial
