// The DS2490 USB-to-1-Wire bridge (DS9490R, DS9490B) as a Link, over a
// UsbDevice: open and initialise the chip, resets with the presence result
// read from the chip's result codes, bits and bytes through the bulk
// endpoints, ROM search passes done by the chip's SEARCH ACCESS, and
// device selection by MATCH ACCESS.
//
// Every transfer has a deadline. A stall or a timeout is recovered from
// (clear the halt, read the status, reset the chip and set it up again)
// and the operation is tried once more when the chip never took it; a
// status packet no chip could send counts as such a failure. A device
// that is gone fails the call with kErrPortIo and closes the link; the
// next open() looks for it afresh.
#pragma once

#include <array>
#include <memory>
#include <string>

#include "onewire/ds2490/protocol.hpp"
#include "onewire/ds2490/usb_device.hpp"
#include "onewire/link.hpp"

namespace onewire::ds2490 {

struct Ds2490Options {
  // Deadline of every single transfer.
  rtl::Duration transfer_timeout = std::chrono::milliseconds(1000);
  // Status polls an operation may take before the chip counts as stuck
  // (1 ms apart in the alternate setting we select).
  int poll_limit = 100;
  // The name the adapter's open failures are kept under
  // (onewire/port_names.hpp: "USB1"); empty: none are kept.
  std::string port_name;
};

class Ds2490Link final : public Link {
 public:
  explicit Ds2490Link(std::unique_ptr<UsbDevice> device, Ds2490Options options = {});
  ~Ds2490Link() override;

  int open() override;
  void close() override;
  bool is_open() const override;

  int reset() override;
  int touch_bit(int bit) override;
  int touch_byte(int byte) override;
  int search(SearchPass& pass) override;
  int match(const Rom& rom) override;
  // Regular, flexible ("relaxed") and overdrive speed.
  int set_speed(Speed speed) override;
  // BYTE I/O with SPU: the chip's strong pull-up after the byte, of
  // infinite duration, until HALT EXE IDLE ends it.
  bool can_strong_pullup() const override { return true; }
  int touch_byte_pullup(int byte) override;
  int end_strong_pullup() override;

  const char* name() const override;

  // Recoveries made since open (stalls, timeouts, damaged packets).
  int recoveries() const { return recoveries_; }

 private:
  // Outcome of one attempt at an operation: a driver result, or a failure
  // of the USB side to recover from.
  struct Attempt;
  template <typename Body>
  int run(Body&& body);

  int configure();
  int initialise();
  int recover(int usb_error, std::uint8_t endpoint);
  // Keeps what the USB side said of a failed open (options_.port_name).
  void note_failure(const char* call, int usb_error);
  int comm(std::uint16_t value, std::uint16_t index, Attempt& a);
  int mode(std::uint16_t value, std::uint16_t index, Attempt& a);
  int send(const std::uint8_t* data, int n, Attempt& a);
  int receive(std::uint8_t* data, int n, Attempt& a);
  // One byte through the bus, followed by the strong pull-up when `pullup`.
  int byte_io(int byte, bool pullup);
  // The adapter is gone (unplugged, or its session never opened): closes
  // what is left of it; kErrPortIo.
  int unplugged();
  // One read of the status endpoint into `buf` (a packet, or two the chip
  // buffered; `got` bytes in all): libusb's code.
  int read_status(std::array<std::uint8_t, kStatusMax>& buf, int& got);
  // Polls the status until the chip is idle; results of every packet are
  // gathered in `results`.
  int wait_idle(Attempt& a, Status& last, ResultSummary& results);
  // Polls until the chip is idle and its result byte has come: a command
  // sent with NTF always gets one, and it may trail the idle flag.
  int wait_result(Attempt& a, ResultSummary& results);
  // Ends the strong pull-up the chip holds and waits until it has let go.
  int release_pullup();

  std::unique_ptr<UsbDevice> device_;
  Ds2490Options options_;
  bool open_ = false;
  std::uint8_t speed_code_ = kSpeedRegular;
  int recoveries_ = 0;
  bool pullup_ = false;  // the chip holds the bus at its strong pull-up
};

}  // namespace onewire::ds2490
