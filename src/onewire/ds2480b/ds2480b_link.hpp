// The DS2480B serial 1-Wire adapter (DS9097U style) as a Link: detection
// and initialisation, command and data mode, resets with the presence
// result decoded, single-bit commands, and ROM searches done by the
// chip's search accelerator in one exchange of 16 bytes.
//
// A chip that answers something unexpected (garbage, a lost byte, a wrong
// echo) fails the call with kErrAdapterNoResponse and is detected afresh
// before the next call. Every read has a deadline, so a silent chip fails
// the call instead of hanging it.
#pragma once

#include <memory>

#include "onewire/link.hpp"
#include "onewire/serial/transport.hpp"

namespace onewire::ds2480b {

struct Ds2480bOptions {
  // Serial rate after initialisation (9600, 19200, 57600 or 115200). The
  // chip always starts at 9600.
  int baud = serial::kBaud9600;
  // How long an answer may take beyond its own character and bus times.
  rtl::Duration reply_timeout = std::chrono::milliseconds(250);
  // Detection cycles (break, calibration, configuration check) before
  // open() gives up.
  int detect_attempts = 3;
};

class Ds2480bLink final : public Link {
 public:
  explicit Ds2480bLink(std::unique_ptr<serial::Transport> port, Ds2480bOptions options = {});
  ~Ds2480bLink() override;

  int open() override;
  void close() override;
  bool is_open() const override;

  int reset() override;
  int touch_bit(int bit) override;
  int touch_byte(int byte) override;
  int search(SearchPass& pass) override;
  // Standard, overdrive and flexible ("relaxed") speed.
  int set_speed(Speed speed) override;

  const char* name() const override;

  // The serial rate in use.
  int baud() const;

 private:
  enum class Mode : std::uint8_t { kCommand, kData };

  int initialise();
  int detect_once();
  int switch_baud();
  int ready();
  int fail(int code);
  // Writes `out`, then reads exactly `n` answer bytes.
  int exchange(const std::uint8_t* out, std::size_t n_out, std::uint8_t* in, std::size_t n_in, rtl::Duration bus_time);
  void to_command(std::uint8_t*& p);
  void to_data(std::uint8_t*& p);

  std::unique_ptr<serial::Transport> port_;
  Ds2480bOptions options_;
  bool open_ = false;
  bool resync_ = false;
  Mode mode_ = Mode::kCommand;
  std::uint8_t speed_bits_ = 0;
};

}  // namespace onewire::ds2480b
