// The passive serial adapter (DS9097 style): the UART's transmit line
// drives the 1-Wire bus through an open-drain stage and its receive line
// reads the bus back, so every character sent comes back as the bus saw
// it. A 0xF0 at 9600 baud is a reset pulse, one character at 115200 baud
// is one time slot (0xFF writes a 1 or reads, 0x00 writes a 0).
#pragma once

#include <memory>

#include "onewire/link.hpp"
#include "onewire/serial/transport.hpp"

namespace onewire::passive {

struct PassiveOptions {
  // How long an echo may take beyond its own character times.
  rtl::Duration reply_timeout = std::chrono::milliseconds(250);
  // After a failed exchange, late echoes are drained until the line has
  // been quiet this long: longer than a USB bridge's latency timer, which
  // may still hold some.
  rtl::Duration drain_quiet = std::chrono::milliseconds(50);
};

class PassiveLink final : public Link {
 public:
  explicit PassiveLink(std::unique_ptr<serial::Transport> port, PassiveOptions options = {});
  ~PassiveLink() override;

  // Opens the port and checks that a reset character comes back; an
  // adapter that echoes nothing fails with kErrAdapterNoResponse.
  int open() override;
  void close() override;
  bool is_open() const override;

  int reset() override;
  int touch_bit(int bit) override;
  // The eight slots go out as one write of eight characters.
  int touch_byte(int byte) override;
  // One exchange per triplet whose direction depends on the bits just
  // read (it goes out with the two read slots of the next bit); the
  // triplets of the known path (up to the last discrepancy, or all of an
  // expected ROM) go out together in one.
  int search(SearchPass& pass) override;
  // The reset (at 9600 baud), then every slot of the selection and the
  // bytes in one exchange at 115200.
  int block(const Rom* rom, bool reset, std::uint8_t* data, std::size_t n) override;
  int serial_baud() const override { return port_ ? port_->baud() : 0; }
  // Only standard speed: the slot timing is fixed by the UART rate.
  int set_speed(Speed speed) override;

  const char* name() const override;

 private:
  // The search with the first `known` directions sent ahead;
  // kSearchDiverged when the bus would have chosen another.
  int search_ahead(SearchPass& pass, int known);
  int search_bitwise(SearchPass& pass);
  static constexpr int kSearchDiverged = 2;
  int ensure_baud(int baud);
  // Sends `n` characters and reads their `n` echoes.
  int exchange(const std::uint8_t* out, std::uint8_t* in, std::size_t n, int baud);
  // After a failed exchange: late echoes must not be taken for the next
  // answers.
  int fail(int code);
  // An exchange of `n` time slots at 115200, each echo checked against
  // its slot: 1, or a negative error code.
  int exchange_slots(const std::uint8_t* out, std::uint8_t* in, std::size_t n);
  // A search bit's direction written and, but after the last bit, the
  // next bit's two read slots; their echoes in `echo` (three bytes).
  int search_step(int direction, bool last, std::uint8_t* echo);

  std::unique_ptr<serial::Transport> port_;
  PassiveOptions options_;
  bool open_ = false;
};

}  // namespace onewire::passive
