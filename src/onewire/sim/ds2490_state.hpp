// The emulated DS2490's state, shared by the files that make up the
// emulator: its transfers and timing (ds2490_emulator.cpp), its
// communication commands and 1-Wire engine (ds2490_commands.cpp) and its
// descriptors (ds2490_descriptors.cpp). Every member is used under `mu`.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "onewire/ds2490/protocol.hpp"
#include "onewire/sim/ds2490_emulator.hpp"
#include "onewire/sim/trace.hpp"

namespace onewire::sim {

struct Ds2490Emulator::Impl {
  static constexpr rtl::Duration kFrame = std::chrono::milliseconds(1);
  static constexpr rtl::TimePoint kNever = rtl::TimePoint::max();
  // Power-on values of the mode registers, in status-byte order 1..6:
  // speed, strong pull-up duration, programming pulse duration, slew rate,
  // write-1 low time, data sample offset / write-0 recovery.
  static constexpr std::array<std::uint8_t, 6> kPowerOnModes = {0, 0x20, 0x40, 5, 4, 4};

  // A communication command the chip accepted.
  struct Command {
    std::uint16_t value = 0;
    std::uint16_t index = 0;
    std::uint8_t cost = 2;        // bytes it takes in the command FIFO
    bool released = false;        // IM set, or START EXE came
  };
  // A command the 1-Wire engine has run (the bus already saw it; the host
  // sees its effects as their times come).
  struct Running {
    std::uint16_t value = 0;
    std::uint8_t cost = 2;
    rtl::TimePoint start{};
    rtl::TimePoint data_at{};     // its EP3 bytes are ready
    rtl::TimePoint end_at{};      // done (strong pull-up over)
    bool pullup = false;          // a strong pull-up follows the bus work
    bool infinite = false;        // ... until HALT
    std::deque<std::uint8_t> out; // EP3 bytes still to come
    std::optional<std::uint8_t> result;
    bool flush_on_error = false;
  };

  std::shared_ptr<SimBus> bus;
  rtl::Clock* clock_override = nullptr;
  mutable std::mutex mu;
  rtl::TimePoint origin{};

  bool open = false;
  bool claimed = false;
  int configuration = 1;
  int alt = 0;

  // Chip state.
  std::uint8_t enables = 0;  // status byte 0 order: SPUE, PRGE, SPCE
  std::array<std::uint8_t, 6> modes = kPowerOnModes;
  bool halted = false;
  bool ep0f = false;
  std::deque<Command> waiting;
  std::deque<Running> engine;
  rtl::TimePoint engine_free{};
  std::deque<std::uint8_t> ep2;
  std::deque<std::uint8_t> ep3;
  std::deque<std::uint8_t> results;

  Ds2490Stats stats;
  Trace trace;

  rtl::Clock& clock() const { return clock_override != nullptr ? *clock_override : rtl::GetClock(); }

  rtl::TimePoint frame_floor(rtl::TimePoint t) const {
    if (t < origin) return origin;
    return origin + ((t - origin) / kFrame) * kFrame;
  }
  // The first frame start after `t`: when the host controller serves a
  // transfer issued at `t`.
  rtl::TimePoint next_frame(rtl::TimePoint t) const { return frame_floor(t) + kFrame; }
  rtl::TimePoint next_poll(rtl::TimePoint t) const {
    const rtl::Duration interval = alt < 2 ? 10 * kFrame : kFrame;
    if (t < origin) return origin + interval;
    return origin + ((t - origin) / interval + 1) * interval;
  }
  std::size_t bulk_packet() const { return (alt & 1) != 0 ? 64 : 16; }


  // --- state and timing (ds2490_emulator.cpp) ---

  void power_on();
  bool spue() const { return (enables & 0x01) != 0; }
  bool prge() const { return (enables & 0x02) != 0; }
  bool speed_change() const { return (enables & 0x04) != 0; }
  // Lets time run to `now`: bus work that has finished shows its EP3
  // bytes (as far as the FIFO has room), results and idle state.
  void advance(rtl::TimePoint now);
  void post(std::uint8_t result, bool flush_on_error);
  bool pulse_running(rtl::TimePoint now) const;
  std::size_t fifo_bytes(rtl::TimePoint now) const;
  std::array<std::uint8_t, ds2490::kStatusRegisters> registers(rtl::TimePoint now) const;
  // Accounts a transfer issued at `issue` and served at `done`.
  void account(rtl::TimePoint issue, rtl::TimePoint done) { stats.modelled += done - frame_floor(issue); }

  // --- command execution (ds2490_commands.cpp; on the bus at once, effects timed) ---

  rtl::Duration slot_time() const;
  rtl::Duration reset_time() const;
  // EP2 bytes a command needs before it can start.
  std::size_t needs(const Command& c) const;
  void try_start(rtl::TimePoint now);
  std::vector<std::uint8_t> take_ep2(std::size_t n);
  // Reset as part of a command: the result bits it adds.
  std::uint8_t bus_reset();
  void execute(const Command& c, rtl::TimePoint now);
  // SEARCH ACCESS: passes over the bus, each walking the branch the start
  // ROM picks at the discrepancies, until the ROM limit or the end.
  std::uint8_t search(const Command& c, std::deque<std::uint8_t>& out);

  // --- requests on endpoint 0 (ds2490_commands.cpp) ---

  int vendor(std::uint8_t request, std::uint16_t value, std::uint16_t index, rtl::TimePoint now);
  int control_command(std::uint16_t value, rtl::TimePoint now);
  static bool known_command(std::uint16_t value);
  int comm_command(std::uint16_t value, std::uint16_t index, rtl::TimePoint now);
  int mode_command(std::uint16_t value, std::uint16_t index);
  int get_comm_cmds(std::uint8_t* data, std::uint16_t length);

  // --- standard requests (ds2490_descriptors.cpp) ---

  int standard(std::uint8_t request_type, std::uint8_t request, std::uint16_t value, std::uint8_t* data,
               std::uint16_t length);
};

}  // namespace onewire::sim
