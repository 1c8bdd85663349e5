// The DS2482-100 and DS2482-800 I2C-to-1-Wire bridges, emulated over
// simulated buses (one, or one per channel of the -800) at the level of
// I2C transfers: the command codes and their parameters, acknowledged or
// refused byte by byte as the chip does, the read pointer and the
// registers it names, the busy flag for the 1-Wire time of each command,
// and the strong pull-up after a byte or bit sent with SPU. An
// EmulatedI2cBus carries transfers to it, in process or behind the i2c-dev
// stand-in.
//
// Timing model: a command takes effect when its last byte is acknowledged
// (the bus gives each transfer's start and bit time), runs on the
// simulated bus at once, and keeps 1WB set for its 1-Wire time (Ds2482Timing);
// what it finds (presence, short, bits) shows in the status register when
// 1WB falls. The data sheet's timing table was not at hand: the default
// durations lie inside the windows a real host (OWFS) allows for them.
//
// Where the data sheet pages read leave it open, the model: a Write Byte
// fills the read data register as Read Byte does (hosts rely on it); a
// command sent without its parameter is ignored; a configuration byte
// whose upper nibble is not the complement of the lower one is refused;
// results of a 1-Wire reset use the line as it was at the reset (LL reads
// 0 after a reset found the line shorted). A channel select ends a strong
// pull-up. Thread-safe.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "onewire/sim/bus.hpp"

namespace onewire::sim {

struct Ds2482Timing {
  // 1-Wire reset (tRSTL + tRSTH) and time slot, standard and overdrive.
  rtl::Duration reset = std::chrono::microseconds(1148);
  rtl::Duration slot = std::chrono::microseconds(70);
  rtl::Duration reset_overdrive = std::chrono::microseconds(146);
  rtl::Duration slot_overdrive = std::chrono::microseconds(11);
};

struct Ds2482Stats {
  std::uint64_t writes = 0;      // write transfers that reached the chip
  std::uint64_t reads = 0;       // read transfers
  std::uint64_t refused = 0;     // bytes not acknowledged
  std::uint64_t commands = 0;    // 1-Wire commands run
  std::uint64_t busy_reads = 0;  // status bytes read while 1WB was set
  rtl::Duration wire{0};         // 1-Wire time of the commands run
};

class Ds2482Emulator {
 public:
  // A DS2482-100 over `bus`.
  explicit Ds2482Emulator(std::shared_ptr<SimBus> bus, Ds2482Timing timing = {});
  // A DS2482-800 with these buses on IO0..IO7 (a null one is an empty bus).
  explicit Ds2482Emulator(std::array<std::shared_ptr<SimBus>, 8> channels, Ds2482Timing timing = {});
  ~Ds2482Emulator();
  Ds2482Emulator(const Ds2482Emulator&) = delete;
  Ds2482Emulator& operator=(const Ds2482Emulator&) = delete;

  int channels() const;  // 1 or 8
  const std::shared_ptr<SimBus>& bus(int channel = 0) const;

  // --- the I2C side (the address already acknowledged) ---
  // A write transfer that began at `start` with bits `bit` long: how many
  // of its `n` bytes the chip acknowledged (the transfer ends at the first
  // refused one).
  std::size_t write(const std::uint8_t* data, std::size_t n, rtl::TimePoint start, rtl::Duration bit);
  // A read transfer: `n` bytes of the register under the pointer, each as
  // it stands when it is read.
  void read(std::uint8_t* data, std::size_t n, rtl::TimePoint start, rtl::Duration bit);

  // Power lost and back: every register at its power-on state.
  void power_cycle();
  // The next 1-Wire command never ends: 1WB stays set until a Device
  // Reset (a chip that hung).
  void hang_next_command();

  // --- observation ---
  std::uint8_t status(rtl::TimePoint now);
  std::uint8_t config() const;
  int channel() const;
  bool pullup_on() const;
  Ds2482Stats stats() const;
  void reset_stats();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace onewire::sim
