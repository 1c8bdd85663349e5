// The DS2480B link: its calls as scripts of chip commands and data bytes.
// Detection and the rate choice are detection.cpp's; the pacing that
// keeps the chip's one-byte buffer from overflowing is pacing.cpp's.
#include "onewire/ds2480b/ds2480b_link.hpp"

#include <array>
#include <vector>

#include "onewire/commands.hpp"
#include "onewire/ds2480b/protocol.hpp"
#include "onewire/errors.hpp"

namespace onewire::ds2480b {

using namespace std::chrono_literals;

namespace {

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
  // A pull-up left on would hold the line at 5 V after we are gone.
  if (pulse_ && is_open()) stop_pulse();
  pulse_ = false;
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


int Ds2480bLink::ready() {
  if (!is_open()) {
    close();
    return kErrPortIo;
  }
  if (pulse_ && !resync_) {
    if (const int r = stop_pulse(); r < 0) return r;
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
  // The chip and we no longer agree on where we are in the byte stream;
  // detection's master reset also ends any pulse.
  resync_ = true;
  pulse_ = false;
  tail_work_.clear();
  tail_lead_ = rtl::Duration(0);
  return kErrAdapterNoResponse;
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
    sent.push_back(kMatchRom);
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

// What hosts do for a parasite conversion: the byte as eight single-bit
// commands, the last with the strong pull-up after its slot (SPUD is set
// to infinite at initialisation), so that the pull-up follows CONVERT T's
// last slot within microseconds; the pulse lasts until stop_pulse().
int Ds2480bLink::touch_byte_pullup(int byte) {
  if (const int r = ready(); r < 0) return r;
  const auto value = static_cast<std::uint8_t>(byte & 0xFF);
  Script s;
  to_command(s);
  std::array<std::uint8_t, 8> commands{};
  for (int i = 0; i < 8; ++i) {
    auto command = static_cast<std::uint8_t>(kSingleBit | (((value >> i) & 1) != 0 ? kBitValue : 0) | speed_bits_);
    if (i == 7) command = static_cast<std::uint8_t>(command | kBitPullUp);
    commands[static_cast<std::size_t>(i)] = command;
    s.put(command, slot_work(), true);
  }
  std::array<std::uint8_t, 8> in{};
  if (const int r = exchange(s, in.data()); r < 0) return r;
  pulse_ = true;
  int result = 0;
  for (std::size_t i = 0; i < 8; ++i) {
    // Bits 7..2 repeat the command (its pull-up bit is among the two that
    // carry the bit read), bits 1..0 both carry the bit.
    if ((in[i] & 0xFC) != (commands[i] & 0xFC) || (in[i] & 1) != ((in[i] >> 1) & 1)) return fail(kErrAdapterNoResponse);
    if ((in[i] & 1) != 0) result |= 1 << i;
  }
  // The wired-AND line can only turn written 1s into 0s.
  if ((result & ~value) != 0) return fail(kErrAdapterNoResponse);
  return result;
}

int Ds2480bLink::end_strong_pullup() {
  if (!pulse_) return 1;
  if (const int r = ready(); r < 0) return r;
  return 1;
}

int Ds2480bLink::stop_pulse() {
  pulse_ = false;
  Script s;
  to_command(s);
  s.put(kStopPulse, kCommandWork, true);
  std::uint8_t in = 0;
  if (const int r = exchange(s, &in); r < 0) return r;
  // The pulse's answer: the upper bits of a pulse command.
  if ((in & 0xE0) != 0xE0) return fail(kErrAdapterNoResponse);
  return 1;
}

int Ds2480bLink::search(SearchPass& pass) {
  if (const int r = ready(); r < 0) return r;
  // Direction bits: the previous ROM below the last discrepancy, 1 at it,
  // 0 above it (the first pass walks all zeros).
  std::array<std::uint8_t, kSearchBytes> request{};
  for (int n = 0; n < 64; ++n)
    if (search_branch(pass, n + 1) != 0)
      request[static_cast<std::size_t>(n / 4)] |= static_cast<std::uint8_t>(1u << (2 * (n % 4) + 1));

  // The reset goes in the same exchange: its answer comes first and
  // tells whether the rest meant anything.
  const std::uint8_t command = search_command(pass.alarm_only);
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

  SearchWalk walk;
  bool dir = false;
  bool flag = false;
  for (int n = 0; n < 64; ++n) {
    const std::uint8_t b = in[1 + static_cast<std::size_t>(n / 4)];
    flag = ((b >> (2 * (n % 4))) & 1) != 0;
    dir = ((b >> (2 * (n % 4) + 1)) & 1) != 0;
    walk.take(n + 1, dir ? 1 : 0, flag);
  }
  // Two ROMs equal up to bit 63 have the same CRC, so the last bit can
  // never be a real discrepancy: flag and 1 there means that from some
  // bit on nobody answered.
  if (flag && dir) return 0;
  walk.finish(pass);
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
