// The vendor's driver library as a driver for the 13 operations (Windows
// only). The library is loaded by name at run time, from the usual DLL
// search path (the program's folder first), and stays loaded while the
// returned driver lives.
//
// A library that is missing or lacks one of the 13 entry points gives a
// driver that has nothing behind it: TMGetTypeVersion answers
// kErrNoDriver (not 1), so the component reports the driver missing, and
// every other operation answers kErrNoDriver as well.
#pragma once

#include "qvds18x20/export.hpp"

#include <memory>

#include "onewire/tmex_driver.hpp"

namespace onewire {

QVDS_API std::shared_ptr<TmexDriver> load_vendor_driver(const wchar_t* dll_name = L"IBFS32.DLL");

}  // namespace onewire
