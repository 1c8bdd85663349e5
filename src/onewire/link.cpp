#include "onewire/link.hpp"

#include "onewire/commands.hpp"
#include "onewire/errors.hpp"

namespace onewire {

int Link::touch_byte(int byte) {
  int result = 0;
  for (int i = 0; i < 8; ++i) {
    const int bit = touch_bit((byte >> i) & 1);
    if (bit < 0) return bit;
    if (bit != 0) result |= 1 << i;
  }
  return result;
}

int Link::touch_byte_pullup(int) { return kErrNotOffered; }

int Link::reset_before_transaction() {
  const int presence = reset();
  if (presence < 0) return presence;
  if (presence == kResetShort) return kErrBusShort;
  if (presence == kResetNoPresence) return 0;
  return 1;
}

int Link::block(const Rom* rom, bool reset_first, std::uint8_t* data, std::size_t n) {
  if (rom != nullptr || reset_first) {
    if (const int r = reset_before_transaction(); r != 1) return r;
  }
  if (rom != nullptr) {
    if (const int r = touch_byte(kMatchRom); r < 0) return r;
    for (std::uint8_t b : *rom)
      if (const int r = touch_byte(b); r < 0) return r;
  }
  for (std::size_t i = 0; i < n; ++i) {
    const int r = touch_byte(data[i]);
    if (r < 0) return r;
    data[i] = static_cast<std::uint8_t>(r);
  }
  return 1;
}

int search_direction(const SearchPass& pass, int bit, int id_bit, int cmp_bit, int& last_zero,
                     int& last_family_zero) {
  if (id_bit == 1 && cmp_bit == 1) return -1;
  if (id_bit != cmp_bit) return id_bit;
  const auto index = static_cast<std::size_t>((bit - 1) / 8);
  const auto mask = static_cast<std::uint8_t>(1u << ((bit - 1) % 8));
  const int direction =
      bit < pass.last_discrepancy ? ((pass.rom[index] & mask) != 0 ? 1 : 0) : (bit == pass.last_discrepancy ? 1 : 0);
  if (direction == 0) {
    last_zero = bit;
    if (bit <= 8) last_family_zero = bit;
  }
  return direction;
}

int Link::search(SearchPass& pass) {
  if (const int r = reset_before_transaction(); r != 1) return r;
  const int command = touch_byte(search_command(pass.alarm_only));
  if (command < 0) return command;

  Rom rom{};
  int last_zero = 0;
  int last_family_zero = 0;
  for (int i = 1; i <= 64; ++i) {
    const auto index = static_cast<std::size_t>((i - 1) / 8);
    const auto mask = static_cast<std::uint8_t>(1u << ((i - 1) % 8));
    const int id_bit = touch_bit(1);
    if (id_bit < 0) return id_bit;
    const int cmp_bit = touch_bit(1);
    if (cmp_bit < 0) return cmp_bit;
    const int direction = search_direction(pass, i, id_bit, cmp_bit, last_zero, last_family_zero);
    if (direction < 0) return 0;
    const int written = touch_bit(direction);
    if (written < 0) return written;
    if (direction != 0) rom[index] = static_cast<std::uint8_t>(rom[index] | mask);
  }
  pass.rom = rom;
  pass.last_zero = last_zero;
  pass.last_family_zero = last_family_zero;
  return 1;
}

int Link::match(const Rom& rom) { return block(&rom, true, nullptr, 0); }

}  // namespace onewire
