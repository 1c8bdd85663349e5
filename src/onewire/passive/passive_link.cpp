#include "onewire/passive/passive_link.hpp"

#include <array>

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
  rtl::GetClock().sleep_for(std::chrono::milliseconds(2));
  port_->flush_input();
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

int PassiveLink::touch_bit(int bit) {
  const std::uint8_t out = bit != 0 ? kOneSlot : kZeroSlot;
  std::uint8_t in = 0;
  if (const int r = exchange(&out, &in, 1, serial::kBaud115200); r < 0) return r;
  if (!plausible_echo(out, in)) return fail(kErrAdapterNoResponse);
  return in == kOneSlot ? 1 : 0;
}

int PassiveLink::touch_byte(int byte) {
  std::array<std::uint8_t, 8> out{};
  std::array<std::uint8_t, 8> in{};
  for (std::size_t i = 0; i < 8; ++i) out[i] = ((byte >> i) & 1) != 0 ? kOneSlot : kZeroSlot;
  if (const int r = exchange(out.data(), in.data(), out.size(), serial::kBaud115200); r < 0) return r;
  int result = 0;
  for (std::size_t i = 0; i < 8; ++i) {
    if (!plausible_echo(out[i], in[i])) return fail(kErrAdapterNoResponse);
    if (in[i] == kOneSlot) result |= 1 << i;
  }
  return result;
}

int PassiveLink::set_speed(Speed speed) {
  if (!is_open()) {
    close();
    return kErrPortIo;
  }
  return speed == Speed::kNormal ? static_cast<int>(Speed::kNormal) : kErrSpeed;
}

const char* PassiveLink::name() const { return "Passive serial 1-Wire adapter (DS9097)"; }

}  // namespace onewire::passive
