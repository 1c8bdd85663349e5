// With nothing installed, Windows programs use the vendor's driver library
// (IBFS32.DLL), found by name like any program linked against it would.
#include "onewire/tmex_driver.hpp"
#include "onewire/vendor_driver.hpp"

namespace onewire {

std::shared_ptr<TmexDriver> PlatformDefaultDriver() { return load_vendor_driver(); }

}  // namespace onewire
