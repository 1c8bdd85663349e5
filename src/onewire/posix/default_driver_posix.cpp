// With nothing installed, POSIX programs reach real adapters through our
// own driver: ComPort and AdapterType are all they need to set.
#include "onewire/tmex_driver.hpp"
#include "onewire/builtin_driver.hpp"

namespace onewire {

std::shared_ptr<TmexDriver> PlatformDefaultDriver() { return make_builtin_driver(); }

}  // namespace onewire
