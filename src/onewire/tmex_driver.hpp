// The driver interface: the 13 operations a 1-Wire driver answers, and the
// process-wide slot that holds the driver in force. The free-function
// operations the component calls (IBTMEXPWnew) dispatch to whatever this
// slot holds; with nothing in it every operation fails the way a missing
// driver library does.
#pragma once

#include "qvds18x20/export.hpp"

#include <cstdint>
#include <cstddef>
#include <memory>

#include "onewire/errors.hpp"

namespace onewire {

// What QvBlockExchange does before the bytes.
inline constexpr std::int16_t kBlockBytesOnly = 0;
// A reset first.
inline constexpr std::int16_t kBlockReset = 1;
// A reset and MATCH ROM of the state buffer's current device first.
inline constexpr std::int16_t kBlockSelect = 2;

// What QvDevicePower tells of the current device's supply, as the last
// search found it (READ POWER SUPPLY).
inline constexpr std::int16_t kPowerUnknown = 0;    // not a thermometer that search checked
inline constexpr std::int16_t kPowerExternal = 1;   // powered through its VDD pin
inline constexpr std::int16_t kPowerParasite = 2;   // parasite-powered; the adapter feeds its conversions
inline constexpr std::int16_t kPowerUnfed = 3;      // parasite-powered; the adapter has no strong pull-up

class QVDS_API TmexDriver {
 public:
  virtual ~TmexDriver() = default;
  // `buffer` holds at least 101 bytes; on success it receives at most 100
  // characters and a terminating zero byte.
  virtual std::int16_t TMGetTypeVersion(std::int16_t adapter_type, char* buffer) = 0;
  virtual std::int32_t TMExtendedStartSession(std::int16_t port, std::int16_t adapter_type, void* reserved) = 0;
  virtual std::int16_t TMSetup(std::int32_t session) = 0;
  virtual std::int16_t TMValidSession(std::int32_t session) = 0;
  virtual std::int16_t TMOneWireCom(std::int32_t session, std::int16_t operation, std::int16_t time_mode) = 0;
  // `state` is the caller's state buffer (at least kStateBufferSize bytes).
  virtual std::int16_t TMFirst(std::int32_t session, void* state) = 0;
  virtual std::int16_t TMNext(std::int32_t session, void* state) = 0;
  // `rom`: 8 words, one ROM byte in the low byte of each, word 0 the family.
  virtual std::int16_t TMRom(std::int32_t session, void* state, std::uint16_t* rom) = 0;
  virtual std::int16_t TMAccess(std::int32_t session, void* state) = 0;
  virtual std::int16_t TMTouchReset(std::int32_t session) = 0;
  virtual std::int16_t TMTouchByte(std::int32_t session, std::int16_t byte) = 0;
  virtual std::int16_t TMEndSession(std::int32_t session) = 0;
  virtual std::int16_t TMClose(std::int32_t session) = 0;

  // --- beyond the 13 operations: offered by our drivers only ---
  // Whether QvBlockExchange does anything; when not, it answers
  // kErrNotOffered and callers use the 13 operations instead.
  virtual bool offers_block_exchange() const { return false; }
  // Touches `length` bytes of `buffer` in place (each written, a 0xFF
  // reads, and replaced by what the bus gave back), after what `mode`
  // asks for (kBlockBytesOnly, kBlockReset, kBlockSelect), in as few
  // adapter exchanges as the adapter allows. 1 when every byte went out;
  // 0 when the reset found no presence (no byte sent); negative codes as
  // TMAccess and TMTouchByte answer them.
  virtual std::int16_t QvBlockExchange(std::int32_t session, void* state, std::int16_t mode, std::uint8_t* buffer,
                                       std::int16_t length) {
    (void)session, (void)state, (void)mode, (void)buffer, (void)length;
    return kErrNotOffered;
  }
  // The supply of the state buffer's current device: one of the kPower
  // values, or a negative code (kErrNotOffered where the driver does not
  // know). No bus traffic: the search that found the device asked.
  virtual std::int16_t QvDevicePower(std::int32_t session, void* state) {
    (void)session, (void)state;
    return kErrNotOffered;
  }
};

// The least state buffer our drivers need, and what the component hands
// them (1564 bytes).
inline constexpr std::size_t kStateBufferSize = 1564;

// The driver in force until one is installed: our built-in serial driver
// on POSIX, the vendor's driver library on Windows.
QVDS_API std::shared_ptr<TmexDriver> PlatformDefaultDriver();

// Installs the driver that the operations dispatch to (null: none, every
// operation fails). Safe while other threads call operations: a call in
// progress finishes on the driver it started with.
QVDS_API void InstallDriver(std::shared_ptr<TmexDriver> driver);
QVDS_API std::shared_ptr<TmexDriver> InstalledDriver();

// Installs a driver for the life of the guard, then restores the previous.
class QVDS_API DriverGuard {
 public:
  explicit DriverGuard(std::shared_ptr<TmexDriver> driver) : previous_(InstalledDriver()) {
    InstallDriver(std::move(driver));
  }
  ~DriverGuard() { InstallDriver(std::move(previous_)); }
  DriverGuard(const DriverGuard&) = delete;
  DriverGuard& operator=(const DriverGuard&) = delete;

 private:
  std::shared_ptr<TmexDriver> previous_;
};

}  // namespace onewire
