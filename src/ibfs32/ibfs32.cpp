// IBFS32.DLL: our driver behind the 13 operations as a driver library, so
// that programs which load the vendor's library by name (the component on
// Windows among them) can run on our driver instead.
//
// It serves our built-in serial adapters: COMn is the Windows port of
// that number (\\.\COMn), adapter type 1 the passive adapter and type 5
// the DS2480B. A program (or a test) that calls QvUseSimulatedBus first
// gets the simulated bus instead, from then on: port 1 with a DS18B20 at
// 21.5 C and a DS18S20 at -10.5 C, on the real clock (a conversion takes
// its 750 ms).
// The choice is made in code on purpose: a driver library that read its
// setup from the environment would behave differently for each program.
#include "rtl/win32/windows.hpp"

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "onewire/tmex_driver.hpp"
#include "onewire/builtin_driver.hpp"
#include "onewire/port_names.hpp"
#include "onewire/sim/bus.hpp"
#include "onewire/sim/ds18x20.hpp"
#include "onewire/sim/sim_driver.hpp"

namespace {

// The library keeps its own driver rather than the process-wide one of
// the driver operations: that one defaults on Windows to the driver
// library loaded by name, which here would be this library itself.
std::mutex g_mu;
std::shared_ptr<onewire::TmexDriver> g_driver;

std::shared_ptr<onewire::TmexDriver> Driver() {
  std::lock_guard<std::mutex> lock(g_mu);
  if (g_driver == nullptr) {
    // Port numbers are Windows' own here, not numbers given to device
    // nodes.
    for (int n = 1; n <= onewire::kMaxPortNumber; ++n)
      onewire::pin_port(n, "\\\\.\\COM" + std::to_string(n));
    g_driver = onewire::make_builtin_driver();
  }
  return g_driver;
}

}  // namespace

extern "C" {

void WINAPI QvUseSimulatedBus() {
  std::lock_guard<std::mutex> lock(g_mu);
  if (std::dynamic_pointer_cast<onewire::sim::SimDriver>(g_driver) != nullptr) return;
  auto bus = std::make_shared<onewire::sim::SimBus>();
  bus->add(std::make_shared<onewire::sim::Ds18x20>(onewire::sim::make_rom(0x28, 0x0000012345AB), 21.5));
  bus->add(std::make_shared<onewire::sim::Ds18x20>(onewire::sim::make_rom(0x10, 0x000000C0FFEE), -10.5));
  auto driver = std::make_shared<onewire::sim::SimDriver>();
  driver->attach(1, bus);
  g_driver = std::move(driver);
}

std::int16_t WINAPI TMGetTypeVersion(std::int16_t HSType, char* Version) {
  return Driver()->TMGetTypeVersion(HSType, Version);
}
std::int32_t WINAPI TMExtendedStartSession(std::int16_t PortNum, std::int16_t PortType, void* Reserved) {
  return Driver()->TMExtendedStartSession(PortNum, PortType, Reserved);
}
std::int16_t WINAPI TMSetup(std::int32_t h) { return Driver()->TMSetup(h); }
std::int16_t WINAPI TMValidSession(std::int32_t h) { return Driver()->TMValidSession(h); }
std::int16_t WINAPI TMOneWireCom(std::int32_t h, std::int16_t operation, std::int16_t timemode) {
  return Driver()->TMOneWireCom(h, operation, timemode);
}
std::int16_t WINAPI TMFirst(std::int32_t h, void* state) { return Driver()->TMFirst(h, state); }
std::int16_t WINAPI TMNext(std::int32_t h, void* state) { return Driver()->TMNext(h, state); }
std::int16_t WINAPI TMRom(std::int32_t h, void* state, std::uint16_t* ROM) { return Driver()->TMRom(h, state, ROM); }
std::int16_t WINAPI TMAccess(std::int32_t h, void* state) { return Driver()->TMAccess(h, state); }
std::int16_t WINAPI TMTouchReset(std::int32_t h) { return Driver()->TMTouchReset(h); }
std::int16_t WINAPI TMTouchByte(std::int32_t h, std::int16_t outbyte) { return Driver()->TMTouchByte(h, outbyte); }
std::int16_t WINAPI TMEndSession(std::int32_t h) { return Driver()->TMEndSession(h); }
std::int16_t WINAPI TMClose(std::int32_t h) { return Driver()->TMClose(h); }
// Beyond the 13: touches a block of bytes in as few adapter exchanges as
// the adapter allows (see tmex_driver.hpp).
std::int16_t WINAPI QvBlockExchange(std::int32_t h, void* state, std::int16_t mode, std::uint8_t* buffer,
                                    std::int16_t length) {
  return Driver()->QvBlockExchange(h, state, mode, buffer, length);
}
// Beyond the 13: what the last search found of the current device's supply.
std::int16_t WINAPI QvDevicePower(std::int32_t h, void* state) { return Driver()->QvDevicePower(h, state); }

}  // extern "C"
