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

int rom_bit(const Rom& rom, int n) { return (rom[static_cast<std::size_t>((n - 1) / 8)] >> ((n - 1) % 8)) & 1; }

bool search_order_less(const Rom& a, const Rom& b) {
  for (int n = 1; n <= 64; ++n)
    if (rom_bit(a, n) != rom_bit(b, n)) return rom_bit(a, n) < rom_bit(b, n);
  return false;
}

int search_branch(const SearchPass& pass, int bit) {
  if (bit < pass.last_discrepancy) return rom_bit(pass.rom, bit);
  return bit == pass.last_discrepancy ? 1 : 0;
}

void SearchWalk::take(int bit, int direction, bool discrepancy) {
  if (direction != 0) {
    rom[static_cast<std::size_t>((bit - 1) / 8)] |= static_cast<std::uint8_t>(1u << ((bit - 1) % 8));
  } else if (discrepancy) {
    last_zero = bit;
    if (bit <= 8) last_family_zero = bit;
  }
}

int SearchWalk::step(const SearchPass& pass, int bit, int id_bit, int cmp_bit) {
  if (id_bit == 1 && cmp_bit == 1) return -1;
  // Both 0: devices with either value are still in the pass.
  const bool discrepancy = id_bit == cmp_bit;
  const int direction = discrepancy ? search_branch(pass, bit) : id_bit;
  take(bit, direction, discrepancy);
  return direction;
}

void SearchWalk::finish(SearchPass& pass) const {
  pass.rom = rom;
  pass.last_zero = last_zero;
  pass.last_family_zero = last_family_zero;
}

int Link::search(SearchPass& pass) {
  if (const int r = reset_before_transaction(); r != 1) return r;
  const int command = touch_byte(search_command(pass.alarm_only));
  if (command < 0) return command;

  SearchWalk walk;
  for (int i = 1; i <= 64; ++i) {
    const int id_bit = touch_bit(1);
    if (id_bit < 0) return id_bit;
    const int cmp_bit = touch_bit(1);
    if (cmp_bit < 0) return cmp_bit;
    const int direction = walk.step(pass, i, id_bit, cmp_bit);
    if (direction < 0) return 0;
    if (const int written = touch_bit(direction); written < 0) return written;
  }
  walk.finish(pass);
  return 1;
}

int Link::match(const Rom& rom) { return block(&rom, true, nullptr, 0); }

}  // namespace onewire
