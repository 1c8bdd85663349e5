#include "IBTMEXPWnew/IBTMEXPWnew.hpp"

#include <mutex>
#include <utility>

#include "onewire/errors.hpp"

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

using onewire::InstalledDriver;
using onewire::kErrNoDriver;

std::int16_t TMGetTypeVersion(std::int16_t HSType, char* Version) {
  auto d = InstalledDriver();
  return d ? d->TMGetTypeVersion(HSType, Version) : kErrNoDriver;
}
std::int32_t TMExtendedStartSession(std::int16_t PortNum, std::int16_t PortType, void* Reserved) {
  auto d = InstalledDriver();
  return d ? d->TMExtendedStartSession(PortNum, PortType, Reserved) : kErrNoDriver;
}
std::int16_t TMSetup(std::int32_t h) {
  auto d = InstalledDriver();
  return d ? d->TMSetup(h) : kErrNoDriver;
}
std::int16_t TMValidSession(std::int32_t h) {
  auto d = InstalledDriver();
  return d ? d->TMValidSession(h) : kErrNoDriver;
}
std::int16_t TMOneWireCom(std::int32_t h, std::int16_t operation, std::int16_t timemode) {
  auto d = InstalledDriver();
  return d ? d->TMOneWireCom(h, operation, timemode) : kErrNoDriver;
}
std::int16_t TMFirst(std::int32_t h, void* state) {
  auto d = InstalledDriver();
  return d ? d->TMFirst(h, state) : kErrNoDriver;
}
std::int16_t TMNext(std::int32_t h, void* state) {
  auto d = InstalledDriver();
  return d ? d->TMNext(h, state) : kErrNoDriver;
}
std::int16_t TMRom(std::int32_t h, void* state, std::uint16_t* rom) {
  auto d = InstalledDriver();
  return d ? d->TMRom(h, state, rom) : kErrNoDriver;
}
std::int16_t TMAccess(std::int32_t h, void* state) {
  auto d = InstalledDriver();
  return d ? d->TMAccess(h, state) : kErrNoDriver;
}
std::int16_t TMTouchReset(std::int32_t h) {
  auto d = InstalledDriver();
  return d ? d->TMTouchReset(h) : kErrNoDriver;
}
std::int16_t TMTouchByte(std::int32_t h, std::int16_t outbyte) {
  auto d = InstalledDriver();
  return d ? d->TMTouchByte(h, outbyte) : kErrNoDriver;
}
std::int16_t TMEndSession(std::int32_t h) {
  auto d = InstalledDriver();
  return d ? d->TMEndSession(h) : kErrNoDriver;
}
std::int16_t TMClose(std::int32_t h) {
  auto d = InstalledDriver();
  return d ? d->TMClose(h) : kErrNoDriver;
}
