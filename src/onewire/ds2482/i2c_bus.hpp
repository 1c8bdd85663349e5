// The I2C transfers the DS2482 backend needs, as one small interface: the
// Linux i2c-dev transport (i2c/linux), the in-process emulated bus
// (sim/emulated_i2c_bus) and the tests' wrappers implement it, so that the
// protocol code never sees which one it runs on.
//
// A transfer is one START ... STOP on the bus: the 7-bit address, then the
// bytes written or read. The chip refuses a byte by not acknowledging it;
// the bus cannot tell a refused byte from an absent chip on every
// controller (the Raspberry Pi's reports both alike), so both are kI2cNack.
#pragma once

#include <cstddef>
#include <cstdint>

namespace onewire::ds2482 {

inline constexpr int kI2cOk = 0;
// The address or a byte after it was not acknowledged.
inline constexpr int kI2cNack = -1;
// The bus is gone: its controller was unplugged or its driver unbound.
inline constexpr int kI2cGone = -2;
// Any other failure of a transfer: arbitration lost, a clock held low past
// the controller's deadline, a transfer the controller cannot make.
inline constexpr int kI2cBusError = -3;
// open(): there is no such bus (no device node; i2c-dev not loaded).
inline constexpr int kI2cNoBus = -4;
// open(): the bus may not be used by this user.
inline constexpr int kI2cAccess = -5;
// open() or a transfer: the bus or the address is held by someone else (a
// kernel driver bound to the address, or another program's session).
inline constexpr int kI2cBusy = -6;
// open(): the device is no I2C bus, or its controller can make neither
// plain transfers nor the SMBus byte transfers the chip needs.
inline constexpr int kI2cUnsupported = -7;

class I2cBus {
 public:
  virtual ~I2cBus() = default;

  // kI2cOk, or one of the open() codes above.
  virtual int open() = 0;
  virtual void close() = 0;
  virtual bool is_open() const = 0;

  // One write transfer of `n` bytes (0: the address alone) to the device
  // at the 7-bit `address`: kI2cOk or a negative code.
  virtual int write(std::uint8_t address, const std::uint8_t* data, std::size_t n) = 0;
  // One read transfer of `n` bytes.
  virtual int read(std::uint8_t address, std::uint8_t* data, std::size_t n) = 0;

  // The operating system's error number behind the last failure, or 0.
  virtual int os_error() const { return 0; }
};

}  // namespace onewire::ds2482
