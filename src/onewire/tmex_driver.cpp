#include "onewire/tmex_driver.hpp"

#include <mutex>
#include <utility>

namespace onewire {
namespace {
std::mutex g_driver_mu;
std::shared_ptr<TmexDriver>& Slot() {
  static std::shared_ptr<TmexDriver> driver = PlatformDefaultDriver();
  return driver;
}
}  // namespace

void InstallDriver(std::shared_ptr<TmexDriver> driver) {
  std::shared_ptr<TmexDriver> old;
  {
    std::lock_guard<std::mutex> lock(g_driver_mu);
    old = std::exchange(Slot(), std::move(driver));
  }
  // `old` is released here, outside the lock: a call still running on it
  // keeps its own reference.
}

std::shared_ptr<TmexDriver> InstalledDriver() {
  std::lock_guard<std::mutex> lock(g_driver_mu);
  return Slot();
}

}  // namespace onewire
