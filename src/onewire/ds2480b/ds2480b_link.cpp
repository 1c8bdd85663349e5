#include "onewire/ds2480b/ds2480b_link.hpp"

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

bool setup_answers_ok(const std::array<std::uint8_t, 7>& in) {
  for (std::size_t i = 0; i < 5; ++i)
    if (in[i] != config_write_answer(kSetup[i])) return false;
  if (in[5] != config_read_answer(kRate9600)) return false;
  const std::uint8_t bit = in[6];
  return (bit & 0xFC) == (kSetup[6] & 0xFC) && ((bit & 1) == ((bit >> 1) & 1));
}

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

// Modelled bus time of the primitives, generous enough for every speed.
constexpr rtl::Duration kResetTime = 1200us;
constexpr rtl::Duration kSlotTime = 80us;

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
}

bool Ds2480bLink::is_open() const { return open_ && port_ && port_->is_open(); }

int Ds2480bLink::baud() const { return port_ ? port_->baud() : 0; }

const char* Ds2480bLink::name() const { return "DS2480B serial 1-Wire adapter (DS9097U)"; }

int Ds2480bLink::initialise() {
  for (int attempt = 0; attempt < options_.detect_attempts; ++attempt) {
    int r = detect_once();
    if (r == 1 && options_.baud != serial::kBaud9600) r = switch_baud();
    if (r == 1 && speed_bits_ != kSpeedStandard) {
      // The master reset forgot the speed asked for before.
      const auto command = static_cast<std::uint8_t>(kSearchOff | speed_bits_);
      r = port_->write(&command, 1) < 0 ? kErrPortIo : 1;
    }
    if (r == 1) {
      resync_ = false;
      return 1;
    }
    if (r == kErrPortIo || !port_->is_open()) return kErrPortIo;
  }
  return kErrAdapterNoResponse;
}

// One detection cycle from whatever state the chip is in: master reset,
// calibration, configuration, and every answer checked.
int Ds2480bLink::detect_once() {
  // A break is the master reset. A pseudo-terminal cannot carry one, so
  // the chip is also told in bytes: E3 ends data mode (if it was in it)
  // and a NUL, never a valid command, stands for the break. A real chip
  // gets the break right after, which resets it whatever these did.
  static constexpr std::array<std::uint8_t, 2> kBreakInBytes = {kCommandMode, 0x00};
  if (const int r = port_->write(kBreakInBytes.data(), kBreakInBytes.size()); r < 0) return r;
  if (const int r = port_->send_break(5ms); r < 0) return r;
  if (const int r = port_->set_baud(serial::kBaud9600); r < 0) return r;
  rtl::GetClock().sleep_for(2ms);
  if (const int r = port_->flush_input(); r < 0) return r;

  // The calibration byte makes no bus activity; the chip may or may not
  // answer it, so whatever comes is dropped.
  const std::uint8_t calibrate = kReset;
  if (const int r = port_->write(&calibrate, 1); r < 0) return r;
  rtl::GetClock().sleep_for(4ms);
  if (const int r = port_->flush_input(); r < 0) return r;
  mode_ = Mode::kCommand;

  std::array<std::uint8_t, 7> in{};
  if (const int r = port_->write(kSetup.data(), kSetup.size()); r < 0) return r;
  const int got = serial::read_exact(*port_, in.data(), in.size(),
                                     options_.reply_timeout + 14 * serial::char_time(serial::kBaud9600));
  if (got < 0) return got;
  if (static_cast<std::size_t>(got) != in.size() || !setup_answers_ok(in)) return kErrAdapterNoResponse;
  return 1;
}

// The chip answers the rate change already at the new rate, which the
// host cannot read yet: that answer is dropped, and a read of the rate
// at the new rate confirms it.
int Ds2480bLink::switch_baud() {
  const std::uint8_t code = rate_code(options_.baud);
  const std::uint8_t command = config_write(Param::kBaud, code);
  if (const int r = port_->write(&command, 1); r < 0) return r;
  std::uint8_t dropped = 0;
  if (const int r = serial::read_exact(*port_, &dropped, 1, 20ms); r < 0) return r;
  rtl::GetClock().sleep_for(5ms);
  if (const int r = port_->set_baud(options_.baud); r < 0) return r;
  rtl::GetClock().sleep_for(5ms);
  if (const int r = port_->flush_input(); r < 0) return r;
  const std::uint8_t query = config_read(Param::kBaud);
  if (const int r = port_->write(&query, 1); r < 0) return r;
  std::uint8_t answer = 0;
  const int got = serial::read_exact(*port_, &answer, 1, options_.reply_timeout);
  if (got < 0) return got;
  if (got != 1 || answer != config_read_answer(code)) return kErrAdapterNoResponse;
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
  return kErrAdapterNoResponse;
}

void Ds2480bLink::to_command(std::uint8_t*& p) {
  if (mode_ == Mode::kData) *p++ = kCommandMode;
  mode_ = Mode::kCommand;
}

void Ds2480bLink::to_data(std::uint8_t*& p) {
  if (mode_ == Mode::kCommand) *p++ = kDataMode;
  mode_ = Mode::kData;
}

int Ds2480bLink::exchange(const std::uint8_t* out, std::size_t n_out, std::uint8_t* in, std::size_t n_in,
                          rtl::Duration bus_time) {
  if (const int r = port_->write(out, n_out); r < 0) return fail(r);
  const rtl::Duration budget =
      options_.reply_timeout + bus_time + static_cast<std::int64_t>(n_out + n_in) * serial::char_time(port_->baud());
  const int got = serial::read_exact(*port_, in, n_in, budget);
  if (got < 0) return fail(got);
  if (static_cast<std::size_t>(got) != n_in) return fail(kErrAdapterNoResponse);
  return 1;
}

int Ds2480bLink::reset() {
  if (const int r = ready(); r < 0) return r;
  std::array<std::uint8_t, 2> out{};
  std::uint8_t* p = out.data();
  to_command(p);
  *p++ = static_cast<std::uint8_t>(kReset | speed_bits_);
  std::uint8_t in = 0;
  if (const int r = exchange(out.data(), static_cast<std::size_t>(p - out.data()), &in, 1, kResetTime); r < 0) return r;
  if ((in & kResetAnswerMask) != kResetAnswerMask) return fail(kErrAdapterNoResponse);
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

int Ds2480bLink::touch_bit(int bit) {
  if (const int r = ready(); r < 0) return r;
  std::array<std::uint8_t, 2> out{};
  std::uint8_t* p = out.data();
  to_command(p);
  const auto command = static_cast<std::uint8_t>(kSingleBit | (bit != 0 ? kBitValue : 0) | speed_bits_);
  *p++ = command;
  std::uint8_t in = 0;
  if (const int r = exchange(out.data(), static_cast<std::size_t>(p - out.data()), &in, 1, kSlotTime); r < 0) return r;
  // Bits 7..2 repeat the command, bits 1..0 both carry the bit read.
  if ((in & 0xFC) != (command & 0xFC) || (in & 1) != ((in >> 1) & 1)) return fail(kErrAdapterNoResponse);
  return in & 1;
}

int Ds2480bLink::touch_byte(int byte) {
  if (const int r = ready(); r < 0) return r;
  const auto value = static_cast<std::uint8_t>(byte & 0xFF);
  std::array<std::uint8_t, 3> out{};
  std::uint8_t* p = out.data();
  to_data(p);
  *p++ = value;
  if (value == kCommandMode) *p++ = value;
  std::uint8_t in = 0;
  if (const int r = exchange(out.data(), static_cast<std::size_t>(p - out.data()), &in, 1, 8 * kSlotTime); r < 0)
    return r;
  // The wired-AND line can only turn written 1s into 0s.
  if ((in & ~value) != 0) return fail(kErrAdapterNoResponse);
  return in;
}

int Ds2480bLink::search(SearchPass& pass) {
  const int presence = reset();
  if (presence < 0) return presence;
  if (presence == kResetShort) return kErrBusShort;
  if (presence == onewire::kResetNoPresence) return 0;

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

  const std::uint8_t command = pass.alarm_only ? 0xEC : 0xF0;
  std::array<std::uint8_t, 4 + 3 + kSearchBytes + 2> out{};
  std::uint8_t* p = out.data();
  to_data(p);
  *p++ = command;
  *p++ = kCommandMode;
  *p++ = static_cast<std::uint8_t>(kSearchOn | speed_bits_);
  *p++ = kDataMode;
  for (std::uint8_t b : request) *p++ = b;  // never 0xE3: bit 0 is always 0
  *p++ = kCommandMode;
  *p++ = static_cast<std::uint8_t>(kSearchOff | speed_bits_);
  mode_ = Mode::kCommand;

  std::array<std::uint8_t, 1 + kSearchBytes> in{};
  if (const int r = exchange(out.data(), static_cast<std::size_t>(p - out.data()), in.data(), in.size(),
                             (8 + 12 * kSearchBytes) * kSlotTime);
      r < 0)
    return r;
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
  std::array<std::uint8_t, 2> out{};
  std::uint8_t* p = out.data();
  to_command(p);
  // Every communication command sets the speed of the data bytes that
  // follow; the accelerator-off command does so without bus activity and
  // without an answer.
  *p++ = static_cast<std::uint8_t>(kSearchOff | field);
  if (const int r = port_->write(out.data(), static_cast<std::size_t>(p - out.data())); r < 0) return fail(r);
  speed_bits_ = field;
  return static_cast<int>(speed);
}

}  // namespace onewire::ds2480b
