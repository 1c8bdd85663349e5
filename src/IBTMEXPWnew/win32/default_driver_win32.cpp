// With nothing installed, Windows programs use the vendor's driver library
// (IBFS32.DLL), found by name like any program linked against it would.
#include "IBTMEXPWnew/tmex_driver.hpp"
#include "IBTMEXPWnew/vendor_driver.hpp"

namespace onewire {

std::shared_ptr<TmexDriver> PlatformDefaultDriver() { return load_vendor_driver(); }

}  // namespace onewire
