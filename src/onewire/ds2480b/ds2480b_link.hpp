// The DS2480B serial 1-Wire adapter (DS9097U style) as a Link: detection
// and initialisation, command and data mode, resets with the presence
// result decoded, single-bit commands, and ROM searches done by the
// chip's search accelerator in one exchange of 16 bytes.
//
// The chip keeps one byte beside the one it works on; a byte that
// arrives while it holds one is lost. Every exchange therefore goes out
// paced (see exchange()): at 9600 baud a character lasts longer than any
// byte's 1-Wire work and whole exchanges stream in one write; at faster
// rates more bytes follow only as answers show the chip's progress.
//
// A chip that answers something unexpected (garbage, a lost byte, a wrong
// echo) fails the call with kErrAdapterNoResponse and is detected afresh
// before the next call. Every read has a deadline, so a silent chip fails
// the call instead of hanging it.
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "onewire/link.hpp"
#include "onewire/serial/transport.hpp"

namespace onewire::ds2480b {

struct Ds2480bOptions {
  // Serial rate after initialisation (9600, 19200, 57600 or 115200), or
  // 0 to choose by the adapter's answer time measured at 115200 during
  // detection: 115200 when answers come promptly, 9600 behind a USB
  // bridge that holds them for milliseconds (there a block streamed at
  // 9600 beats one paced by answers at 115200). The chip always starts at 9600; where the
  // switch cannot be confirmed (a bridge or cable that cannot run the
  // rate) the link stays at 9600.
  int baud = 0;
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
  // The reset, the selection and the bytes in one exchange.
  int block(const Rom* rom, bool reset, std::uint8_t* data, std::size_t n) override;
  int serial_baud() const override { return baud(); }
  // The chip's 5 V strong pull-up, armed on the last bit of the byte and
  // held (SPUD infinite) until the host ends it.
  bool can_strong_pullup() const override { return true; }
  int touch_byte_pullup(int byte) override;
  int end_strong_pullup() override;
  // Standard, overdrive and flexible ("relaxed") speed.
  int set_speed(Speed speed) override;

  const char* name() const override;

  // The serial rate in use.
  int baud() const;
  // True once a switch to the asked rate failed; the link then runs at
  // 9600 for the rest of its life.
  bool baud_fallback() const { return baud_fallback_; }
  // What detection measured beyond the serial time of a one-byte round
  // trip at 115200 baud (a bridge's latency timer shows here), when the
  // rate was left to the link; negative before it measured.
  rtl::Duration answer_delay() const { return answer_delay_; }

 private:
  enum class Mode : std::uint8_t { kCommand, kData };

  // Bytes for the chip, each with the longest the chip may work on it and
  // whether it answers.
  struct Script {
    std::vector<std::uint8_t> bytes;
    std::vector<rtl::Duration> work;
    std::vector<bool> answers;
    void put(std::uint8_t b, rtl::Duration w, bool answered) {
      bytes.push_back(b);
      work.push_back(w);
      answers.push_back(answered);
    }
    std::size_t answer_count() const;
  };

  int initialise();
  // Master reset, calibration and the checked setup; with `rate_code` >= 0
  // the chip is then told to change its rate.
  int detect_once(int rate_code);
  // Follows the chip to its new rate and reads the rate back.
  int confirm_baud(std::uint8_t rate_code);
  // Reads `n` answers that `fits` accepts (it sees a prefix of them and
  // its length), after at most a few stray bytes: answers to bytes sent
  // before (a calibration byte that the chip took as a command, a rate
  // change answered at the new rate) that reached us late through a
  // bridge.
  int read_answers(std::uint8_t* in, std::size_t n, const std::function<bool(const std::uint8_t*, std::size_t)>& fits,
                   rtl::Duration timeout);
  // The rate to run at when it is left to us: measures the answer delay.
  int choose_baud();
  void append_data(Script& s, std::uint8_t byte);
  // The result of a reset answer (ResetResult), or kErrAdapterNoResponse
  // for a byte that is no reset answer.
  static int decode_reset(std::uint8_t answer);
  int ready();
  int fail(int code);
  // Ends the chip's strong pull-up, when one is on, and reads the answer
  // it sends when a pulse ends.
  int stop_pulse();
  // Sends the script, never more than the chip can take in, and reads
  // all its answers into `in`.
  int exchange(const Script& s, std::uint8_t* in);
  void to_command(Script& s);
  void to_data(Script& s);
  // The longest the chip works on a data byte, a search-accelerator byte,
  // a reset and a single bit at the speed in use.
  rtl::Duration slot_work() const;
  rtl::Duration reset_work() const;

  std::unique_ptr<serial::Transport> port_;
  Ds2480bOptions options_;
  bool open_ = false;
  bool resync_ = false;
  // The chip holds the bus at its strong pull-up and owes the pulse's
  // answer.
  bool pulse_ = false;
  Mode mode_ = Mode::kCommand;
  std::uint8_t speed_bits_ = 0;
  bool baud_fallback_ = false;
  rtl::Duration answer_delay_{-1};
  int chosen_baud_ = 0;
  // Work of bytes already sent that no answer has shown done yet, and
  // how long after the last answer its byte may still have been worked
  // on.
  std::vector<rtl::Duration> tail_work_;
  rtl::Duration tail_lead_{0};
};

}  // namespace onewire::ds2480b
