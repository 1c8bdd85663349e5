#include "onewire/passive/passive_link.hpp"

#include <algorithm>
#include <array>
#include <vector>

#include "onewire/commands.hpp"
#include "onewire/errors.hpp"

namespace onewire::passive {

namespace {

constexpr std::uint8_t kResetChar = 0xF0;
constexpr std::uint8_t kOneSlot = 0xFF;
constexpr std::uint8_t kZeroSlot = 0x00;

// A slot character comes back with bits cleared where the line was low,
// never with a bit set that was sent as 0: such an echo is not from this
// exchange.
bool plausible_echo(std::uint8_t sent, std::uint8_t got) { return (got & ~sent) == 0; }

}  // namespace

PassiveLink::PassiveLink(std::unique_ptr<serial::Transport> port, PassiveOptions options)
    : port_(std::move(port)), options_(options) {}

PassiveLink::~PassiveLink() { close(); }

int PassiveLink::open() {
  if (is_open()) return 1;
  close();
  if (!port_) return kErrPortUnavailable;
  if (const int r = port_->open(); r != 1) return r < 0 ? r : kErrPortUnavailable;
  open_ = true;
  // There is nothing to identify on a passive adapter; an echo of the
  // reset character at least shows that something is wired to the port.
  const int r = reset();
  if (r < 0) {
    close();
    return r == kErrPortIo ? kErrPortIo : kErrAdapterNoResponse;
  }
  return 1;
}

void PassiveLink::close() {
  if (port_) port_->close();
  open_ = false;
}

bool PassiveLink::is_open() const { return open_ && port_ && port_->is_open(); }

int PassiveLink::ensure_baud(int baud) {
  if (port_->baud() == baud) return 1;
  return port_->set_baud(baud);
}

int PassiveLink::fail(int code) {
  if (code == kErrPortIo || !port_->is_open()) {
    // The device went away: the next call reopens it.
    close();
    return kErrPortIo;
  }
  // Behind a USB bridge late echoes come on the bridge's next tick, not
  // within a fixed sleep: drain until the line stays quiet.
  serial::drain(*port_, options_.drain_quiet, 10 * options_.drain_quiet);
  return code;
}

int PassiveLink::exchange(const std::uint8_t* out, std::uint8_t* in, std::size_t n, int baud) {
  if (!is_open()) {
    close();
    return kErrPortIo;
  }
  // The rate may change only once the previous echo is in, which every
  // exchange waits for.
  if (const int r = ensure_baud(baud); r < 0) return fail(r);
  if (const int r = port_->write(out, n); r < 0) return fail(r);
  const rtl::Duration budget = options_.reply_timeout + static_cast<std::int64_t>(2 * n) * serial::char_time(baud);
  const int got = serial::read_exact(*port_, in, n, budget);
  if (got < 0) return fail(got);
  if (static_cast<std::size_t>(got) != n) return fail(kErrAdapterNoResponse);
  return 1;
}

int PassiveLink::reset() {
  const std::uint8_t out = kResetChar;
  std::uint8_t in = 0;
  if (const int r = exchange(&out, &in, 1, serial::kBaud9600); r < 0) return r;
  if (in == kResetChar) return kResetNoPresence;
  if (in == 0x00) return kResetShort;
  // Low during the released half clears some of bits 4..7; a bit set in
  // the low nibble cannot come from the line.
  if (!plausible_echo(kResetChar, in)) return fail(kErrAdapterNoResponse);
  return kResetPresence;
}

int PassiveLink::exchange_slots(const std::uint8_t* out, std::uint8_t* in, std::size_t n) {
  if (const int r = exchange(out, in, n, serial::kBaud115200); r < 0) return r;
  for (std::size_t i = 0; i < n; ++i)
    if (!plausible_echo(out[i], in[i])) return fail(kErrAdapterNoResponse);
  return 1;
}

int PassiveLink::search_step(int direction, bool last, std::uint8_t* echo) {
  const std::array<std::uint8_t, 3> out = {direction != 0 ? kOneSlot : kZeroSlot, kOneSlot, kOneSlot};
  return exchange_slots(out.data(), echo, last ? 1 : 3);
}

int PassiveLink::touch_bit(int bit) {
  const std::uint8_t out = bit != 0 ? kOneSlot : kZeroSlot;
  std::uint8_t in = 0;
  if (const int r = exchange_slots(&out, &in, 1); r < 0) return r;
  return in == kOneSlot ? 1 : 0;
}

int PassiveLink::touch_byte(int byte) {
  std::array<std::uint8_t, 8> out{};
  std::array<std::uint8_t, 8> in{};
  for (std::size_t i = 0; i < 8; ++i) out[i] = ((byte >> i) & 1) != 0 ? kOneSlot : kZeroSlot;
  if (const int r = exchange_slots(out.data(), in.data(), out.size()); r < 0) return r;
  int result = 0;
  for (std::size_t i = 0; i < 8; ++i)
    if (in[i] == kOneSlot) result |= 1 << i;
  return result;
}

int PassiveLink::set_speed(Speed speed) {
  if (!is_open()) {
    close();
    return kErrPortIo;
  }
  return speed == Speed::kNormal ? static_cast<int>(Speed::kNormal) : kErrSpeed;
}

// One write per triplet where the direction depends on what was just
// read. Where it is known beforehand (the path up to the last
// discrepancy, or all of an expected ROM), the triplets go out together
// in one write and the reads are checked afterwards: when every bit
// would have chosen the direction sent, the bus saw exactly the slots of
// a pass that waited for each bit. When one would not have (a device
// came or went), the pass is walked again bit by bit.
int PassiveLink::search(SearchPass& pass) {
  const int known = pass.has_expected ? 64 : std::clamp(pass.last_discrepancy, 0, 64);
  if (known > 0) {
    const int r = search_ahead(pass, known);
    if (r != kSearchDiverged) return r;
  }
  return search_bitwise(pass);
}

int PassiveLink::search_ahead(SearchPass& pass, int known) {
  if (const int r = reset_before_transaction(); r != 1) return r;
  const std::uint8_t command = search_command(pass.alarm_only);
  // The guessed direction of bit i: the expected ROM's, or on the known
  // path the branch the pass takes there.
  const auto guess = [&](int i) { return pass.has_expected ? rom_bit(pass.expected, i) : search_branch(pass, i); };
  std::vector<std::uint8_t> out;
  out.reserve(8 + 3 * 64);
  for (std::size_t i = 0; i < 8; ++i) out.push_back(((command >> i) & 1) != 0 ? kOneSlot : kZeroSlot);
  for (int i = 1; i <= known; ++i) {
    out.push_back(kOneSlot);
    out.push_back(kOneSlot);
    out.push_back(guess(i) != 0 ? kOneSlot : kZeroSlot);
  }
  // The next bit's two read slots, when the walk goes on bit by bit.
  if (known < 64) {
    out.push_back(kOneSlot);
    out.push_back(kOneSlot);
  }
  std::vector<std::uint8_t> in(out.size());
  if (const int r = exchange_slots(out.data(), in.data(), out.size()); r < 0) return r;

  SearchWalk walk;
  std::size_t at = 8;  // where this bit's two read slots are in `in`
  for (int i = 1; i <= 64; ++i) {
    const int direction = walk.step(pass, i, in[at] == kOneSlot ? 1 : 0, in[at + 1] == kOneSlot ? 1 : 0);
    // Nobody answered: so it would have been bit by bit, on the same
    // slots up to here.
    if (direction < 0) return 0;
    if (i <= known) {
      if (direction != guess(i)) return kSearchDiverged;
      at += 3;
    } else {
      // Past the known path: one exchange per bit, as ever.
      std::array<std::uint8_t, 3> echo{};
      if (const int r = search_step(direction, i == 64, echo.data()); r < 0) return r;
      in.assign(echo.begin(), echo.end());
      at = 1;
    }
  }
  walk.finish(pass);
  return 1;
}

int PassiveLink::search_bitwise(SearchPass& pass) {
  if (const int r = reset_before_transaction(); r != 1) return r;
  const std::uint8_t command = search_command(pass.alarm_only);
  // The command's eight slots and the first bit's two read slots.
  std::array<std::uint8_t, 10> out{};
  std::array<std::uint8_t, 10> in{};
  for (std::size_t i = 0; i < 8; ++i) out[i] = ((command >> i) & 1) != 0 ? kOneSlot : kZeroSlot;
  out[8] = out[9] = kOneSlot;
  if (const int r = exchange_slots(out.data(), in.data(), out.size()); r < 0) return r;
  std::size_t at = 8;  // where this bit's two read slots are in `in`

  SearchWalk walk;
  for (int i = 1; i <= 64; ++i) {
    const int direction = walk.step(pass, i, in[at] == kOneSlot ? 1 : 0, in[at + 1] == kOneSlot ? 1 : 0);
    if (direction < 0) return 0;
    if (const int r = search_step(direction, i == 64, in.data()); r < 0) return r;
    at = 1;
  }
  walk.finish(pass);
  return 1;
}

int PassiveLink::block(const Rom* rom, bool reset_first, std::uint8_t* data, std::size_t n) {
  if (rom != nullptr || reset_first) {
    if (const int r = reset_before_transaction(); r != 1) return r;
  }
  std::vector<std::uint8_t> bytes;
  if (rom != nullptr) {
    bytes.push_back(kMatchRom);
    bytes.insert(bytes.end(), rom->begin(), rom->end());
  }
  const std::size_t first = bytes.size();
  bytes.insert(bytes.end(), data, data + n);
  if (bytes.empty()) return 1;
  std::vector<std::uint8_t> out(8 * bytes.size());
  std::vector<std::uint8_t> in(out.size());
  for (std::size_t k = 0; k < bytes.size(); ++k)
    for (std::size_t i = 0; i < 8; ++i) out[8 * k + i] = ((bytes[k] >> i) & 1) != 0 ? kOneSlot : kZeroSlot;
  if (const int r = exchange(out.data(), in.data(), out.size(), serial::kBaud115200); r < 0) return r;
  for (std::size_t k = 0; k < bytes.size(); ++k) {
    int value = 0;
    for (std::size_t i = 0; i < 8; ++i) {
      if (!plausible_echo(out[8 * k + i], in[8 * k + i])) return fail(kErrAdapterNoResponse);
      if (in[8 * k + i] == kOneSlot) value |= 1 << i;
    }
    if (k >= first) data[k - first] = static_cast<std::uint8_t>(value);
  }
  return 1;
}

const char* PassiveLink::name() const { return "Passive serial 1-Wire adapter (DS9097)"; }

}  // namespace onewire::passive
