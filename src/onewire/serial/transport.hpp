// A byte pipe to a serial adapter: the one table of operations that every
// adapter backend talks through. The POSIX serial port, the in-process
// emulated adapter and the tests' scripted ports all implement it, so the
// adapter protocols never see which one they run on.
//
// Results follow the driver's convention: a value >= 0 is the answer, a
// negative value is one of the codes of onewire/errors.hpp. A port that
// goes away answers kErrPortIo from then on; it never throws or aborts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "rtl/clock.hpp"

namespace onewire::serial {

// The serial rates the adapters use.
inline constexpr int kBaud9600 = 9600;
inline constexpr int kBaud19200 = 19200;
inline constexpr int kBaud57600 = 57600;
inline constexpr int kBaud115200 = 115200;

// Time one 8N1 character (start, 8 data, stop bit) takes on the line.
constexpr rtl::Duration char_time(int baud) {
  return rtl::Duration(baud > 0 ? 10'000'000'000LL / baud : 0);
}

class Transport {
 public:
  virtual ~Transport() = default;

  // Opens the port raw at 9600 baud: 1, kErrPortUnavailable when it
  // does not exist or is not a serial device, kErrPortBusy when another
  // program holds it. Opening an open port is a no-op.
  virtual int open() = 0;
  virtual void close() = 0;
  virtual bool is_open() const = 0;

  // Switches the line to `baud` (one of the rates above): 1, kErrSpeed
  // for a rate the port cannot run, kErrPortIo when the port failed. A
  // pseudo-terminal accepts and ignores every rate.
  virtual int set_baud(int baud) = 0;
  virtual int baud() const = 0;

  // Holds the line in the space state for `length`: 1 when a break went
  // out, 0 when this kind of line cannot signal one (a pseudo-terminal),
  // negative when the port failed.
  virtual int send_break(rtl::Duration length) = 0;

  // Writes all `n` bytes: n, or a negative code.
  virtual int write(const std::uint8_t* data, std::size_t n) = 0;
  // Waits until at least one byte is there or `timeout` passed, then
  // returns what is there (up to n): the count, 0 on timeout, or a
  // negative code.
  virtual int read(std::uint8_t* data, std::size_t n, rtl::Duration timeout) = 0;
  // Drops whatever the adapter sent and nobody read yet. Bytes written to
  // the adapter are kept: on a pseudo-terminal dropping them could lose a
  // mode switch that gets no answer.
  virtual int flush_input() = 0;
};

// Reads exactly `n` bytes unless `timeout` (for all of them) passes first
// or the port fails: the count read (n, or fewer on timeout) or a negative
// code.
int read_exact(Transport& port, std::uint8_t* data, std::size_t n, rtl::Duration timeout);

// Reads and drops whatever arrives until nothing has come for `quiet`, or
// until `limit` has passed: 1, or a negative code when the port failed.
// Unlike flush_input it also catches bytes that a USB bridge still holds.
int drain(Transport& port, rtl::Duration quiet, rtl::Duration limit);

// Waits on the installed rtl::Clock, so that tests can speed up a
// timeout, but never longer than `timeout` of real time, so that a clock
// that stands still cannot turn a timed wait into a hang. Calls
// `wait_some(real_slice)` until it returns nonzero (its result is then
// returned) or the deadline passes (0 is returned).
int wait_with_deadline(rtl::Duration timeout, const std::function<int(rtl::Duration)>& wait_some);

// The serial port of this platform at `path` (not yet opened). While it
// is open nobody else can open it (kErrPortBusy); closing it puts back
// the settings (rate, flags, timeouts, modem lines) it had before.
std::unique_ptr<Transport> make_serial_port(const std::string& path);

// Puts back the settings of every serial port this process has open,
// leaving them open. Safe from any thread while another thread is blocked
// on one of the ports: for a program that must leave without waiting for
// that call.
void restore_open_ports();

}  // namespace onewire::serial
