// Byte-exact emulations of the serial 1-Wire adapters over a simulated
// bus: what the DS2480B and the passive (DS9097 style) adapter answer to
// every byte a host sends. They serve the in-process emulated port
// (emulated_port.hpp) and the virtual adapter on a pseudo-terminal
// (virtual_adapter.hpp), so our own backends and third-party programs
// meet the same adapter.
//
// An emulator is driven by one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "onewire/sim/bus.hpp"

namespace onewire::sim {

enum class AdapterKind : std::uint8_t { kPassive, kDs2480b };

// What the last byte cost on a real adapter: the host's character on the
// serial line, the 1-Wire activity it caused, and each answer character.
// A passive adapter answers while it receives (the echo is the line), so
// its answers add no time of their own.
struct ByteTiming {
  rtl::Duration receive{0};
  rtl::Duration wire{0};
  rtl::Duration answer{0};
};

class AdapterEmulator {
 public:
  virtual ~AdapterEmulator() = default;

  // One byte from the host; its answers (if any) are appended to `out`.
  // Untimed: the byte is always taken in.
  virtual void receive(std::uint8_t byte, std::vector<std::uint8_t>& out) = 0;
  // One byte from the host whose start bit began at `begins` (on the
  // clock of whoever serves the adapter; last_timing().receive after the
  // call is its character time). An adapter with a bounded input buffer
  // loses a byte that arrives while the buffer is full: it then answers
  // nothing and its state is as before. By default the byte is taken in.
  virtual void receive_at(std::uint8_t byte, rtl::TimePoint begins, std::vector<std::uint8_t>& out) {
    static_cast<void>(begins);
    receive(byte, out);
  }
  // The host held the line in the space state.
  virtual void line_break() = 0;
  // The host closed the port. Adapters powered from the modem lines lose
  // their power with it.
  virtual void power_cycle() = 0;
  // The host dropped bytes it had written before the adapter read them
  // (a flush of its output), known on a pseudo-terminal in packet mode.
  virtual void host_discarded_output() {}
  // The serial rate the adapter listens at, or 0 when it simply follows
  // whatever rate the host uses.
  virtual int baud() const = 0;
  virtual const ByteTiming& last_timing() const = 0;
  virtual AdapterKind kind() const = 0;
};

std::unique_ptr<AdapterEmulator> make_adapter_emulator(AdapterKind kind, std::shared_ptr<SimBus> bus);

// The DS2480B: command and data mode, configuration parameters, single
// bits, resets, the search accelerator, strong pull-ups and the baud rate
// change. A master reset (power-up, break, or a NUL in command mode, which
// is what a break looks like at half the rate) waits for the calibration
// byte, which it swallows.
//
// Its input buffer holds one byte (receive_at): the chip works on one
// byte at a time, in order, and keeps at most one more that arrived
// meanwhile. A byte is taken in when it has fully arrived (the end of
// its stop bit); one that arrives while the chip is still working on one
// byte and already holds another is lost, as on the real chip when the
// host outruns the 1-Wire activity. How long the chip works on a byte:
// a data byte its eight time slots, a search-accelerator byte its twelve,
// a reset its reset time, a single bit one slot; every other command,
// and a strong pull-up (the chip watches its input for the byte that
// ends it), takes no time.
class Ds2480bEmulator final : public AdapterEmulator {
 public:
  explicit Ds2480bEmulator(std::shared_ptr<SimBus> bus);
  ~Ds2480bEmulator() override;

  void receive(std::uint8_t byte, std::vector<std::uint8_t>& out) override;
  void receive_at(std::uint8_t byte, rtl::TimePoint begins, std::vector<std::uint8_t>& out) override;
  void line_break() override;
  void power_cycle() override;
  void host_discarded_output() override;
  int baud() const override;
  const ByteTiming& last_timing() const override { return timing_; }
  AdapterKind kind() const override { return AdapterKind::kDs2480b; }

  // Whether a NUL in command mode counts as a break (it does unless told
  // otherwise). A chip that does not see it as one, on a line that
  // carries no real break, takes the host's calibration byte for a reset
  // command and answers it, as some emulations do.
  void set_nul_is_break(bool on) { nul_is_break_ = on; }
  // Whether bytes that outrun the one-byte input buffer are lost (they
  // are unless told otherwise). Off, the buffer is as long as needed.
  void set_input_overrun(bool on) { overrun_ = on; }

  // --- observation ---
  bool data_mode() const { return data_mode_; }
  bool awaiting_calibration() const { return awaiting_calibration_; }
  bool search_accelerator() const { return accelerator_; }
  bool pulse_active() const { return pulse_active_; }
  // Value code (0..7) of a configuration parameter (1..7).
  std::uint8_t parameter(int code) const;
  Speed speed() const;
  // Bytes lost because they arrived with the input buffer full.
  std::uint64_t lost_bytes() const { return lost_bytes_; }

 private:
  void master_reset();
  void command(std::uint8_t b, std::vector<std::uint8_t>& out);
  void data(std::uint8_t b, std::vector<std::uint8_t>& out);
  void apply_speed(std::uint8_t field);
  rtl::Duration pulse_length(bool programming) const;

  std::shared_ptr<SimBus> bus_;
  ByteTiming timing_;
  bool awaiting_calibration_ = true;
  bool data_mode_ = false;
  bool escape_pending_ = false;
  bool accelerator_ = false;
  bool pulse_active_ = false;
  bool pulse_is_pullup_ = false;  // the active pulse is the 5 V one
  bool pulse_armed_ = false;
  std::uint8_t pulse_answer_ = 0;
  std::uint8_t speed_field_ = 0;
  std::uint8_t params_[8] = {};
  bool nul_is_break_ = true;
  // Input buffer: how long the chip works on the byte just received, and
  // when the last byte taken in starts and ends that work.
  bool overrun_ = true;
  rtl::Duration busy_{0};
  rtl::TimePoint work_start_{};
  rtl::TimePoint work_end_{};
  std::uint64_t lost_bytes_ = 0;
};

// The passive adapter: a 0xF0 is a reset pulse (answered F0 with no
// presence, E0 with one, 00 on a shorted line), any other character one
// time slot whose low time is the start bit plus the character's low
// zero bits: only a character with bit 0 set is short enough for a
// write-1/read slot, which a slave answering 0 turns into bits 0..2
// clear. Rates cannot be seen on a pseudo-terminal, so the reset is
// recognised by its character alone.
class PassiveEmulator final : public AdapterEmulator {
 public:
  explicit PassiveEmulator(std::shared_ptr<SimBus> bus);
  ~PassiveEmulator() override;

  void receive(std::uint8_t byte, std::vector<std::uint8_t>& out) override;
  // A break holds the bus low far longer than a reset pulse needs.
  void line_break() override;
  void power_cycle() override {}
  int baud() const override { return 0; }
  const ByteTiming& last_timing() const override { return timing_; }
  AdapterKind kind() const override { return AdapterKind::kPassive; }

 private:
  std::shared_ptr<SimBus> bus_;
  ByteTiming timing_;
};

}  // namespace onewire::sim
