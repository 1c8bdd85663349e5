#include "onewire/ds2480b/ds2480b_link.hpp"

#include <algorithm>
#include <array>
#include <vector>

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

std::uint8_t speed_field(Speed s) {
  switch (s) {
    case Speed::kOverdrive:
      return kSpeedOverdrive;
    case Speed::kRelaxed:
      return kSpeedFlexible;
    default:
      return kSpeedStandard;
  }
}

// The longest the chip may work on a byte, a few per cent above its
// nominal 1-Wire times (the chip's timing is calibrated against the serial
// rate, which may be off by as much): slots of 60 us at standard speed,
// up to 74 us at flexible speed (write-1 low time and sample offset at
// their longest), 10 us in overdrive; resets of 1096 us (138 us in
// overdrive). A command without bus activity is decoded at once; 10 us
// covers it.
constexpr rtl::Duration kSlotStandard = 63us;
constexpr rtl::Duration kSlotFlexible = 78us;
constexpr rtl::Duration kSlotOverdrive = 11us;
constexpr rtl::Duration kResetStandard = 1151us;
constexpr rtl::Duration kResetOverdrive = 145us;
constexpr rtl::Duration kCommandWork = 10us;
// The chip may answer a reset once it has sampled the presence pulse and
// still be busy with the rest of the reset (its high time); a byte's
// answer may leave before the last slot's recovery. An answer therefore
// proves its byte done only this long after it was sent.
constexpr rtl::Duration kResetAnswerLead = 600us;

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

Ds2480bLink::Ds2480bLink(std::unique_ptr<serial::Transport> port, Ds2480bOptions options)
    : port_(std::move(port)), options_(options) {}

Ds2480bLink::~Ds2480bLink() { close(); }

int Ds2480bLink::open() {
  if (is_open()) return 1;
  close();
  if (!port_) return kErrPortUnavailable;
  if (const int r = port_->open(); r != 1) return r < 0 ? r : kErrPortUnavailable;
  open_ = true;
  // Each open measures the answer delay afresh (another bridge, or its
  // latency set differently); a resync within the session does not.
  chosen_baud_ = 0;
  answer_delay_ = rtl::Duration(-1);
  const int r = initialise();
  if (r != 1) {
    close();
    return r < 0 ? r : kErrAdapterNoResponse;
  }
  return 1;
}

void Ds2480bLink::close() {
  if (port_) port_->close();
  open_ = false;
  resync_ = false;
  mode_ = Mode::kCommand;
  speed_bits_ = kSpeedStandard;
  tail_work_.clear();
  tail_lead_ = rtl::Duration(0);
}

bool Ds2480bLink::is_open() const { return open_ && port_ && port_->is_open(); }

int Ds2480bLink::baud() const { return port_ ? port_->baud() : 0; }

const char* Ds2480bLink::name() const { return "DS2480B serial 1-Wire adapter (DS9097U)"; }

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

int Ds2480bLink::ready() {
  if (!is_open()) {
    close();
    return kErrPortIo;
  }
  if (!resync_) return 1;
  const int r = initialise();
  if (r == kErrPortIo) close();
  return r;
}

int Ds2480bLink::fail(int code) {
  if (code == kErrPortIo || !port_->is_open()) {
    // The device went away: the next call reopens it.
    close();
    return kErrPortIo;
  }
  // The chip and we no longer agree on where we are in the byte stream.
  resync_ = true;
  tail_work_.clear();
  tail_lead_ = rtl::Duration(0);
  return kErrAdapterNoResponse;
}

std::size_t Ds2480bLink::Script::answer_count() const {
  return static_cast<std::size_t>(std::count(answers.begin(), answers.end(), true));
}

rtl::Duration Ds2480bLink::slot_work() const {
  if (speed_bits_ == kSpeedOverdrive) return kSlotOverdrive;
  return speed_bits_ == kSpeedFlexible ? kSlotFlexible : kSlotStandard;
}

rtl::Duration Ds2480bLink::reset_work() const {
  return speed_bits_ == kSpeedOverdrive ? kResetOverdrive : kResetStandard;
}

void Ds2480bLink::to_command(Script& s) {
  if (mode_ == Mode::kData) s.put(kCommandMode, kCommandWork, false);
  mode_ = Mode::kCommand;
}

void Ds2480bLink::to_data(Script& s) {
  if (mode_ == Mode::kCommand) s.put(kDataMode, kCommandWork, false);
  mode_ = Mode::kData;
}

void Ds2480bLink::append_data(Script& s, std::uint8_t byte) {
  // The first of two E3s only announces the data byte.
  if (byte == kCommandMode) s.put(byte, kCommandWork, false);
  s.put(byte, 8 * slot_work(), true);
}

namespace {

// Whether byte `x` of `work` may go out now as the `p`-th byte (from 1)
// of a write, when every byte before `proven` is known done: it must not
// find the chip working on one byte and holding another, so byte x-2
// must be done when x has arrived.
//
// What the host knows: bytes reach the chip in order, at least a
// character time `c` apart, however the bridge delays them; so x arrives
// at least (x-k)c after any byte k, and at least pc after this write. The
// chip works on bytes in order, each for at most its work time, and the
// answer that proved the bytes before `proven` done came at least `lead`
// before they were (a reset answers before its end). Byte x-2 is then
// done in time if, for every unproven k up to it, the work from k to x-2
// fits in the (x-k) characters after k arrived, and all unproven work
// with the lead fits in the p+1 characters since the proof.
bool may_send(const std::vector<rtl::Duration>& work, std::size_t proven, rtl::Duration lead, std::size_t x,
              std::size_t p, rtl::Duration c) {
  if (x < proven + 1) return true;
  rtl::Duration sum = lead;
  if (x >= proven + 2) {
    sum = rtl::Duration(0);
    for (std::size_t k = x - 2 + 1; k-- > proven;) {
      sum += work[k];
      if (sum > static_cast<std::int64_t>(x - k) * c) return false;
    }
    sum += lead;
  }
  return sum <= static_cast<std::int64_t>(p + 1) * c;
}

}  // namespace

// Streams as much of the script as the chip can take in (all of it at
// 9600, where a character outlasts every byte's work), then sends more
// each time answers show how far the chip has come. Bytes of the exchange
// before that no answer has yet shown done count ahead of this one.
int Ds2480bLink::exchange(const Script& s, std::uint8_t* in) {
  std::vector<rtl::Duration> work = tail_work_;
  const std::size_t base = work.size();
  work.insert(work.end(), s.work.begin(), s.work.end());
  const std::size_t n = work.size();
  std::vector<std::size_t> owner;  // the byte each answer belongs to
  for (std::size_t i = 0; i < s.bytes.size(); ++i)
    if (s.answers[i]) owner.push_back(base + i);
  const std::size_t n_in = owner.size();
  const rtl::Duration c = serial::char_time(port_->baud());
  std::size_t sent = base;
  std::size_t got = 0;
  std::size_t proven = 0;
  rtl::Duration lead = tail_lead_;
  tail_work_.clear();
  tail_lead_ = rtl::Duration(0);
  while (sent < n || got < n_in) {
    std::size_t k = 0;
    while (sent + k < n && may_send(work, proven, lead, sent + k, k + 1, c)) ++k;
    if (k == 0 && (got == n_in || owner[got] >= sent)) {
      // No answer is on its way that could show progress: the chip's
      // work is over once its longest time has passed.
      rtl::Duration rest = lead;
      for (std::size_t i = proven; i < sent; ++i) rest += work[i];
      rtl::GetClock().sleep_for(rest);
      proven = sent;
      lead = rtl::Duration(0);
      continue;
    }
    if (k > 0) {
      if (const int r = port_->write(s.bytes.data() + (sent - base), k); r < 0) return fail(r);
      sent += k;
    }
    // Nothing sent yet that answers: nothing to wait for.
    if (got == n_in || owner[got] >= sent) continue;
    rtl::Duration pending{0};
    for (std::size_t i = proven; i < sent; ++i) pending += work[i];
    const rtl::Duration budget = options_.reply_timeout + pending + static_cast<std::int64_t>(sent - proven + 2) * c;
    // The rest at once when everything is out, else whatever has come.
    const bool all_out = sent == n;
    const int r = serial::wait_with_deadline(budget, [&](rtl::Duration slice) -> int {
      const int g = port_->read(in + got, n_in - got, slice);
      if (g < 0) return g;
      got += static_cast<std::size_t>(g);
      return got == n_in || (!all_out && g > 0) ? 1 : 0;
    });
    if (r < 0) return fail(r);
    if (r == 0) return fail(kErrAdapterNoResponse);
    const std::size_t last = owner[got - 1];
    proven = last + 1;
    lead = work[last] >= reset_work() ? kResetAnswerLead : slot_work();
  }
  tail_work_.assign(work.begin() + static_cast<std::ptrdiff_t>(proven), work.end());
  tail_lead_ = lead;
  return 1;
}

int Ds2480bLink::decode_reset(std::uint8_t in) {
  if ((in & kResetAnswerMask) != kResetAnswerMask) return kErrAdapterNoResponse;
  switch (in & kResetResultMask) {
    case kResetShorted:
      return kResetShort;
    case kResetPresence:
      return onewire::kResetPresence;
    case kResetAlarming:
      return kResetAlarmPresence;
    default:
      return onewire::kResetNoPresence;
  }
}

int Ds2480bLink::reset() {
  if (const int r = ready(); r < 0) return r;
  Script s;
  to_command(s);
  s.put(static_cast<std::uint8_t>(kReset | speed_bits_), reset_work(), true);
  std::uint8_t in = 0;
  if (const int r = exchange(s, &in); r < 0) return r;
  const int result = decode_reset(in);
  return result < 0 ? fail(result) : result;
}

int Ds2480bLink::block(const Rom* rom, bool reset_first, std::uint8_t* data, std::size_t n) {
  if (const int r = ready(); r < 0) return r;
  const bool resets = rom != nullptr || reset_first;
  const std::size_t selected = rom != nullptr ? 9 : 0;
  Script s;
  if (resets) {
    to_command(s);
    s.put(static_cast<std::uint8_t>(kReset | speed_bits_), reset_work(), true);
  }
  if (selected + n > 0) to_data(s);
  std::vector<std::uint8_t> sent;
  sent.reserve(selected + n);
  if (rom != nullptr) {
    sent.push_back(0x55);
    sent.insert(sent.end(), rom->begin(), rom->end());
  }
  sent.insert(sent.end(), data, data + n);
  for (std::uint8_t b : sent) append_data(s, b);
  const std::size_t first = resets ? 1 : 0;
  std::vector<std::uint8_t> in(first + sent.size());
  if (in.empty()) return 1;
  if (const int r = exchange(s, in.data()); r < 0) return r;
  if (resets) {
    const int presence = decode_reset(in[0]);
    if (presence < 0) return fail(presence);
    if (presence == kResetShort) return kErrBusShort;
    if (presence == onewire::kResetNoPresence) return 0;
  }
  for (std::size_t i = 0; i < sent.size(); ++i) {
    // The wired-AND line can only turn written 1s into 0s.
    if ((in[first + i] & ~sent[i]) != 0) return fail(kErrAdapterNoResponse);
  }
  for (std::size_t i = 0; i < n; ++i) data[i] = in[first + selected + i];
  return 1;
}

int Ds2480bLink::touch_bit(int bit) {
  if (const int r = ready(); r < 0) return r;
  Script s;
  to_command(s);
  const auto command = static_cast<std::uint8_t>(kSingleBit | (bit != 0 ? kBitValue : 0) | speed_bits_);
  s.put(command, slot_work(), true);
  std::uint8_t in = 0;
  if (const int r = exchange(s, &in); r < 0) return r;
  // Bits 7..2 repeat the command, bits 1..0 both carry the bit read.
  if ((in & 0xFC) != (command & 0xFC) || (in & 1) != ((in >> 1) & 1)) return fail(kErrAdapterNoResponse);
  return in & 1;
}

int Ds2480bLink::touch_byte(int byte) {
  if (const int r = ready(); r < 0) return r;
  const auto value = static_cast<std::uint8_t>(byte & 0xFF);
  Script s;
  to_data(s);
  append_data(s, value);
  std::uint8_t in = 0;
  if (const int r = exchange(s, &in); r < 0) return r;
  // The wired-AND line can only turn written 1s into 0s.
  if ((in & ~value) != 0) return fail(kErrAdapterNoResponse);
  return in;
}

int Ds2480bLink::search(SearchPass& pass) {
  if (const int r = ready(); r < 0) return r;
  // Direction bits: the previous ROM below the last discrepancy, 1 at it,
  // 0 above it (the first pass walks all zeros).
  std::array<std::uint8_t, kSearchBytes> request{};
  for (int n = 0; n < 64; ++n) {
    const int i = n + 1;  // the search numbers ROM bits from 1
    bool dir = false;
    if (i < pass.last_discrepancy)
      dir = ((pass.rom[static_cast<std::size_t>(n / 8)] >> (n % 8)) & 1) != 0;
    else
      dir = i == pass.last_discrepancy;
    if (dir) request[static_cast<std::size_t>(n / 4)] |= static_cast<std::uint8_t>(1u << (2 * (n % 4) + 1));
  }

  // The reset goes in the same exchange: its answer comes first and
  // tells whether the rest meant anything.
  const std::uint8_t command = pass.alarm_only ? 0xEC : 0xF0;
  Script s;
  to_command(s);
  s.put(static_cast<std::uint8_t>(kReset | speed_bits_), reset_work(), true);
  to_data(s);
  s.put(command, 8 * slot_work(), true);
  s.put(kCommandMode, kCommandWork, false);
  s.put(static_cast<std::uint8_t>(kSearchOn | speed_bits_), kCommandWork, false);
  s.put(kDataMode, kCommandWork, false);
  // Never 0xE3: bit 0 is always 0. Each byte is four triplets.
  for (std::uint8_t b : request) s.put(b, 12 * slot_work(), true);
  s.put(kCommandMode, kCommandWork, false);
  s.put(static_cast<std::uint8_t>(kSearchOff | speed_bits_), kCommandWork, false);
  mode_ = Mode::kCommand;

  std::array<std::uint8_t, 2 + kSearchBytes> answers{};
  if (const int r = exchange(s, answers.data()); r < 0) return r;
  const int presence = decode_reset(answers[0]);
  if (presence < 0) return fail(presence);
  if (presence == kResetShort) return kErrBusShort;
  if (presence == onewire::kResetNoPresence) return 0;
  const std::uint8_t* in = answers.data() + 1;
  // Nobody drives the line while the command byte goes out.
  if (in[0] != command) return fail(kErrAdapterNoResponse);

  Rom rom{};
  int last_zero = 0;
  int last_family_zero = 0;
  bool dir = false;
  bool flag = false;
  for (int n = 0; n < 64; ++n) {
    const std::uint8_t b = in[1 + static_cast<std::size_t>(n / 4)];
    flag = ((b >> (2 * (n % 4))) & 1) != 0;
    dir = ((b >> (2 * (n % 4) + 1)) & 1) != 0;
    if (dir) rom[static_cast<std::size_t>(n / 8)] |= static_cast<std::uint8_t>(1u << (n % 8));
    if (flag && !dir) {
      last_zero = n + 1;
      if (n < 8) last_family_zero = n + 1;
    }
  }
  // Two ROMs equal up to bit 63 have the same CRC, so the last bit can
  // never be a real discrepancy: flag and 1 there means that from some
  // bit on nobody answered.
  if (flag && dir) return 0;
  pass.rom = rom;
  pass.last_zero = last_zero;
  pass.last_family_zero = last_family_zero;
  return 1;
}

int Ds2480bLink::set_speed(Speed speed) {
  if (const int r = ready(); r < 0) return r;
  const std::uint8_t field = speed_field(speed);
  Script s;
  to_command(s);
  // Every communication command sets the speed of the data bytes that
  // follow; the accelerator-off command does so without bus activity and
  // without an answer.
  s.put(static_cast<std::uint8_t>(kSearchOff | field), kCommandWork, false);
  if (const int r = exchange(s, nullptr); r < 0) return r;
  speed_bits_ = field;
  return static_cast<int>(speed);
}

}  // namespace onewire::ds2480b
