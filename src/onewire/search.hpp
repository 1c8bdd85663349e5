// The ROM search as our driver runs it over any Link, and what it keeps of
// it in the caller's state buffer: TMFirst, TMNext and the current device
// that TMRom, TMAccess and QvBlockExchange select.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "onewire/link.hpp"
#include "onewire/tmex_driver.hpp"

namespace onewire {

// Every device on the bus, in search order, with no limit on their
// number: whole walks of the bus are repeated until two agree, so that a
// bit flipped on the line can neither repeat a device nor cut the list
// short unnoticed. `alarm_only`: ALARM SEARCH, only the devices whose
// alarm flag is set (an empty answer is then no error). 1 with `found`
// filled, 0 when no device answered, or a negative driver code
// (kErrSearchInconsistent, kErrRomCrc, the link's own).
int search_bus(Link& link, std::vector<Rom>& found, bool alarm_only = false);

}  // namespace onewire

namespace onewire::detail {

// How many ROMs the state buffer keeps of one search. A bus with more is
// walked pass by pass beyond them.
inline constexpr std::size_t kListCapacity = 160;

// What our driver keeps in the caller's state buffer: the device list of
// the last search, where the caller is in it, and the current device.
// Copied in and out, so the buffer needs no alignment.
struct SearchState {
  std::uint32_t magic = 0;
  std::uint8_t has_current = 0;
  std::uint8_t has_list = 0;
  // The bus has more devices than the list holds: TMNext continues with
  // single passes from `tail`.
  std::uint8_t more = 0;
  std::uint8_t reserved = 0;
  std::uint16_t count = 0;
  std::uint16_t position = 0;  // index of the device TMNext reported last
  Rom current{};
  Rom tail{};
  std::int32_t tail_last_zero = 0;
  std::array<Rom, kListCapacity> list{};
};
static_assert(sizeof(SearchState) <= kStateBufferSize);

// The state a buffer holds; a buffer our driver did not write (or one that
// was damaged) reads as the empty state.
SearchState load_state(const void* buffer);
void store_state(void* buffer, const SearchState& s);

// TMFirst walks the whole bus until two complete walks agree, so that a
// bit flipped on the line can neither repeat a device nor cut the list
// short without the caller learning of it; TMNext steps through the list
// the walk left in the caller's buffer. `first` picks TMFirst; 1 with the
// next device current, 0 at the end of the search (or on an empty bus),
// or a negative driver code.
std::int16_t search_step(Link& link, void* state_buffer, bool first);

}  // namespace onewire::detail
