// An I2C bus with emulated DS2482 chips on it, as the DS2482 backend sees
// a bus: transfers routed by address (an address nobody holds is not
// acknowledged), one at a time, each taking the bus's bit time for its
// bits on the emulator's clock, with the faults a real bus has: a bus that is gone, a
// bus that cannot be opened, a transfer that fails. Tests, benchmarks and
// the i2c-dev stand-in use it. Thread-safe.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "onewire/ds2482/i2c_bus.hpp"
#include "onewire/sim/ds2482_emulator.hpp"
#include "onewire/sim/trace.hpp"

namespace onewire::sim {

struct I2cBusStats {
  std::uint64_t transfers = 0;
  std::uint64_t nacks = 0;
  rtl::Duration time{0};  // the bus time of every transfer, at the clock rate
};

class EmulatedI2cBus final : public ds2482::I2cBus, public std::enable_shared_from_this<EmulatedI2cBus> {
 public:
  // `hz`: the SCL rate (100 kHz standard mode, 400 kHz fast mode; 0 for
  // transfers that take no time). `clock`: where transfers wait (null:
  // rtl::GetClock() at each wait).
  explicit EmulatedI2cBus(int hz = 100'000, rtl::Clock* clock = nullptr);
  ~EmulatedI2cBus() override;

  // A handle of its own on this bus, opened and closed apart from every
  // other (as each open() of a device node is): for links that share the
  // bus, and for each file the i2c-dev stand-in opens. Only for a bus
  // owned by a shared_ptr, which the handle then shares.
  std::unique_ptr<ds2482::I2cBus> connect();

  void attach(std::uint8_t address, std::shared_ptr<Ds2482Emulator> chip);
  void detach(std::uint8_t address);
  std::shared_ptr<Ds2482Emulator> chip(std::uint8_t address) const;

  int open() override;
  void close() override;
  bool is_open() const override;
  int write(std::uint8_t address, const std::uint8_t* data, std::size_t n) override;
  int read(std::uint8_t address, std::uint8_t* data, std::size_t n) override;

  // How long a transfer of `bytes` bytes after the address takes: START,
  // nine clocks per byte (the address included), STOP.
  rtl::Duration transfer_time(std::size_t bytes) const;
  int hz() const { return hz_; }

  // --- faults ---
  // Gone (controller unplugged): transfers fail with kI2cGone and opens
  // with kI2cNoBus, until it is back.
  void set_gone(bool gone);
  // Opens fail with `code` (kI2cAccess, kI2cBusy, ...; kI2cOk: no fault).
  void set_open_error(int code);
  // The n-th transfer from now (1 = the next) fails with `code` before
  // it reaches a chip.
  void fail_transfer(int nth, int code);

  I2cBusStats stats() const;
  void reset_stats();
  // Every transfer and its outcome, one line each.
  void set_trace(std::function<void(const std::string&)> trace);

 private:
  class Handle;
  int open_handle();
  int transfer_write(std::uint8_t address, const std::uint8_t* data, std::size_t n, bool open);
  int transfer_read(std::uint8_t address, std::uint8_t* data, std::size_t n, bool open);
  rtl::Clock& clock() const { return clock_ != nullptr ? *clock_ : rtl::GetClock(); }
  int begin(std::uint8_t address, bool open, std::shared_ptr<Ds2482Emulator>& chip);
  rtl::TimePoint start_transfer();
  void end_transfer(rtl::TimePoint end);

  const int hz_;
  rtl::Clock* clock_;
  // Held for a whole transfer, waits included: the bus carries one at a
  // time. Taken before mu_.
  std::mutex wire_mu_;
  rtl::TimePoint free_at_{};
  rtl::Duration overshoot_{0};
  mutable std::mutex mu_;
  std::map<std::uint8_t, std::shared_ptr<Ds2482Emulator>> chips_;
  bool open_ = false;
  bool gone_ = false;
  int open_error_ = ds2482::kI2cOk;
  std::uint64_t count_ = 0;
  std::vector<std::pair<std::uint64_t, int>> failures_;
  I2cBusStats stats_;
  Trace trace_;
};

}  // namespace onewire::sim
