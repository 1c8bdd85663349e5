// Detection of the DS2480B (master reset, calibration, the checked setup)
// and the choice of its serial rate by the answer delay it shows.
#include "onewire/ds2480b/ds2480b_link.hpp"

#include <algorithm>
#include <array>

#include "onewire/ds2480b/protocol.hpp"
#include "onewire/errors.hpp"

namespace onewire::ds2480b {

using namespace std::chrono_literals;

namespace {

// Flexible-speed line shaping as long or loaded lines need it (slew rate
// 1.37 V/us, write-1 low time 10 us, sample offset 8 us), an infinite
// strong pull-up that the host ends, a 512 us programming pulse; then the
// rate read back and one read slot at standard speed, whose answers
// together identify the chip.
constexpr std::array<std::uint8_t, 7> kSetup = {
    config_write(Param::kSlewRate, 3), config_write(Param::kWrite1Low, 2),
    config_write(Param::kSampleOffset, 5), config_write(Param::kPullUp, kDurationInfinite),
    config_write(Param::kProgramPulse, 4), config_read(Param::kBaud),
    kSingleBit | kBitValue | kSpeedStandard};

// A prefix of the setup's answers: the five writes echoed without bit 0,
// the rate read back (any rate: a chip on a pseudo-terminal may not have
// seen the master reset that brings it to 9600), and the read slot's
// answer with its two equal bits.
bool setup_fits(const std::uint8_t* in, std::size_t len) {
  for (std::size_t i = 0; i < len; ++i) {
    if (i < 5 && in[i] != config_write_answer(kSetup[i])) return false;
    if (i == 5 && (in[i] & 0xF1) != 0) return false;
    if (i == 6 && ((in[i] & 0xFC) != (kSetup[6] & 0xFC) || (in[i] & 1) != ((in[i] >> 1) & 1))) return false;
  }
  return true;
}

// Stray bytes tolerated before the answers of detection or of the rate
// read-back: at most one answer to the calibration byte and one to the
// rate change, and whatever a line glitch adds.
constexpr std::size_t kMaxStray = 4;

std::uint8_t rate_code(int baud) {
  switch (baud) {
    case serial::kBaud19200:
      return kRate19200;
    case serial::kBaud57600:
      return kRate57600;
    case serial::kBaud115200:
      return kRate115200;
    default:
      return kRate9600;
  }
}

// Answer delay beyond which 9600 baud is chosen. At 115200 the chip, not
// the line, sets the pace, and the host may be at most two bytes ahead of
// what answers have shown; behind a bridge that hands answers over every
// L ms a block then moves about two bytes per tick, while at 9600 a block
// streams at 1.04 ms per byte in one exchange. With L = 1 ms (an FTDI
// bridge in low-latency mode, or CDC-ACM) 115200 is clearly faster; from
// L = 4 ms on 9600 is (bench/read measures both).
constexpr rtl::Duration kSlowBridge = 2500us;
// One-byte round trips timed at detection (at most).
constexpr int kDelayProbes = 3;
// After a failed detection: how long the line must stay quiet (more than
// two ticks of the slowest bridge timer, 16 ms), and the longest wait.
constexpr rtl::Duration kDrainQuiet = 40ms;
constexpr rtl::Duration kDrainLimit = 500ms;

}  // namespace

int Ds2480bLink::initialise() {
  for (int attempt = 0; attempt < options_.detect_attempts;) {
    // Left to us, the rate is chosen once, by the first detection's
    // measurement at 115200; later detections (a resync) reuse it.
    const bool measuring = options_.baud == 0 && chosen_baud_ == 0 && !baud_fallback_;
    const int target = options_.baud != 0 ? options_.baud : chosen_baud_ != 0 ? chosen_baud_ : serial::kBaud115200;
    const bool switching = target != serial::kBaud9600 && !baud_fallback_;
    const std::uint8_t code = rate_code(target);
    int r = detect_once(switching ? code : -1);
    if (r == 1 && switching) {
      r = confirm_baud(code);
      if (r == kErrAdapterNoResponse || r == kErrSpeed) {
        // The chip, the bridge or the cable cannot run the rate: the next
        // detection's master reset brings the chip back to 9600, where it
        // stays. That is no failed attempt.
        baud_fallback_ = true;
        continue;
      }
    }
    if (r == 1 && measuring) {
      r = choose_baud();
      if (r == serial::kBaud9600) {
        // Back to 9600: the answer to the change comes at 9600 already.
        const std::uint8_t change = config_write(Param::kBaud, kRate9600);
        r = port_->write(&change, 1);
        if (r >= 0) r = confirm_baud(kRate9600);
      } else if (r > 0) {
        r = 1;
      }
    }
    if (r == 1) {
      resync_ = false;
      return 1;
    }
    if (r == kErrPortIo || !port_->is_open()) return kErrPortIo;
    // A chip that was in data mode took this attempt's bytes for data and
    // may still be sending their echoes; more stray bytes than detection
    // tolerates would spoil the next attempt too. Its echoes end within a
    // few characters, or a tick or two of a bridge's timer.
    if (const int d = serial::drain(*port_, kDrainQuiet, kDrainLimit); d < 0) return d;
    ++attempt;
  }
  return kErrAdapterNoResponse;
}

// One detection cycle from whatever state the chip is in: master reset,
// calibration, configuration, and every answer checked. Behind a USB
// bridge answers arrive late, so nothing here assumes that an answer has
// come (or has not) after a sleep: stray answers are told apart from the
// setup's own when they arrive.
int Ds2480bLink::detect_once(int rate) {
  // A break is the master reset. A pseudo-terminal cannot carry one, so
  // the chip is also told in bytes: E3 ends data mode (if it was in it)
  // and a NUL, never a valid command, stands for the break. A real chip
  // gets the break right after, which resets it whatever these did.
  static constexpr std::array<std::uint8_t, 2> kBreakInBytes = {kCommandMode, 0x00};
  if (const int r = port_->write(kBreakInBytes.data(), kBreakInBytes.size()); r < 0) return r;
  if (const int r = port_->send_break(5ms); r < 0) return r;
  if (const int r = port_->set_baud(serial::kBaud9600); r < 0) return r;
  // The line's recovery after the break, not a wait for an answer.
  rtl::GetClock().sleep_for(2ms);
  if (const int r = port_->flush_input(); r < 0) return r;

  // The calibration byte makes no bus activity and, after a master reset,
  // no answer; a chip that missed the reset takes it for a reset command
  // and answers it, which read_answers tells apart. The speed asked for
  // before is set again (the master reset forgot it), and a rate change
  // goes last: its answer already comes at the new rate.
  std::array<std::uint8_t, 1 + kSetup.size() + 2> out{};
  std::uint8_t* p = out.data();
  *p++ = kReset;
  for (std::uint8_t b : kSetup) *p++ = b;
  if (speed_bits_ != kSpeedStandard) *p++ = static_cast<std::uint8_t>(kSearchOff | speed_bits_);
  if (rate >= 0) *p++ = config_write(Param::kBaud, static_cast<std::uint8_t>(rate));
  if (const int r = port_->write(out.data(), static_cast<std::size_t>(p - out.data())); r < 0) return r;
  mode_ = Mode::kCommand;
  tail_work_.clear();
  tail_lead_ = rtl::Duration(0);
  std::array<std::uint8_t, kSetup.size()> in{};
  return read_answers(in.data(), in.size(), setup_fits,
                      options_.reply_timeout + 20 * serial::char_time(serial::kBaud9600));
}

// The chip has already switched (its answer to the change went out at the
// new rate, unreadable here or late): follow it, then read the rate back
// together with one configuration write, so that the answer pair cannot
// be mistaken for a stray byte.
int Ds2480bLink::confirm_baud(std::uint8_t code) {
  const int baud = rate_baud(code);
  if (const int r = port_->set_baud(baud); r < 0) return r;
  // Lets the rate change settle on both ends.
  rtl::GetClock().sleep_for(2ms);
  if (const int r = port_->flush_input(); r < 0) return r;
  const std::array<std::uint8_t, 2> out = {config_read(Param::kBaud), kSetup[1]};
  if (const int r = port_->write(out.data(), out.size()); r < 0) return r;
  std::array<std::uint8_t, 2> in{};
  const auto fits = [code](const std::uint8_t* a, std::size_t len) {
    return (len < 1 || a[0] == config_read_answer(code)) && (len < 2 || a[1] == config_write_answer(kSetup[1]));
  };
  return read_answers(in.data(), in.size(), fits, options_.reply_timeout + 4 * serial::char_time(baud));
}

// Times a few one-byte round trips at 115200 (a read of the rate): what
// they take beyond their two characters (174 us) is the delay a bridge
// adds to every answer. Each probe goes out right after the answer before
// it came, so behind a bridge each one waits about one tick of its timer.
// The median of three is taken: a busy host that wakes this thread late
// once makes one probe look slow (or, behind a bridge, one look fast),
// and must not decide the rate of the whole session.
int Ds2480bLink::choose_baud() {
  rtl::Clock& clock = rtl::GetClock();
  const int baud = port_->baud();
  const std::uint8_t out = config_read(Param::kBaud);
  const rtl::TimePoint start = clock.now();
  std::array<rtl::Duration, kDelayProbes> took{};
  int probes = 0;
  while (probes < kDelayProbes) {
    const rtl::TimePoint sent = clock.now();
    if (const int r = port_->write(&out, 1); r < 0) return r;
    std::uint8_t in = 0xFF;
    const int got = serial::read_exact(*port_, &in, 1, options_.reply_timeout + 2 * serial::char_time(baud));
    if (got < 0) return got;
    if (got != 1 || in != config_read_answer(rate_code(baud))) return kErrAdapterNoResponse;
    took[static_cast<std::size_t>(probes++)] = clock.now() - sent;
    // Far beyond the threshold after one probe (a bridge of 16 ms):
    // more probes would only cost more ticks.
    if (clock.now() - start >= 4 * kSlowBridge) break;
  }
  std::sort(took.begin(), took.begin() + probes);
  // Of two, their mean; of one, itself.
  const rtl::Duration each = probes == 2 ? (took[0] + took[1]) / 2 : took[static_cast<std::size_t>(probes / 2)];
  answer_delay_ = std::max(rtl::Duration(0), each - 2 * serial::char_time(baud));
  chosen_baud_ = answer_delay_ >= kSlowBridge ? serial::kBaud9600 : baud;
  return chosen_baud_;
}

int Ds2480bLink::read_answers(std::uint8_t* in, std::size_t n,
                              const std::function<bool(const std::uint8_t*, std::size_t)>& fits,
                              rtl::Duration timeout) {
  std::array<std::uint8_t, 64> buf{};
  if (n + kMaxStray > buf.size()) return kErrAdapterNoResponse;
  std::size_t got = 0;
  std::size_t skip = 0;  // stray bytes in front of the answers
  const int r = serial::wait_with_deadline(timeout, [&](rtl::Duration slice) -> int {
    // Never more than the answers still missing: what follows them is not
    // ours to take.
    const int k = port_->read(buf.data() + got, n - (got - skip), slice);
    if (k < 0) return k;
    got += static_cast<std::size_t>(k);
    // A start that did not fit never fits later, so the search goes on
    // from the last one.
    while (skip <= kMaxStray && !fits(buf.data() + skip, got - skip)) ++skip;
    if (skip > kMaxStray) return kErrAdapterNoResponse;
    return got - skip == n ? 1 : 0;
  });
  if (r < 0) return r;
  if (r == 0) return kErrAdapterNoResponse;
  std::copy(buf.begin() + static_cast<std::ptrdiff_t>(skip), buf.begin() + static_cast<std::ptrdiff_t>(skip + n), in);
  return 1;
}

}  // namespace onewire::ds2480b
