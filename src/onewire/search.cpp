// The ROM search: passes checked against the rules of a sound pass, whole
// walks of the bus repeated until two agree, and the state buffer.
#include "onewire/search.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <vector>

#include "onewire/crc.hpp"
#include "onewire/errors.hpp"

namespace onewire::detail {

// Complete walks of the bus one TMFirst may take to get two that agree.
constexpr int kMaxSearchWalks = 6;
constexpr std::uint32_t kStateMagic = 0x51563258;  // "QV2X"

SearchState load_state(const void* buffer) {
  SearchState s;
  std::memcpy(&s, buffer, sizeof s);
  if (s.magic != kStateMagic || s.count > kListCapacity) s = SearchState{};
  s.magic = kStateMagic;
  return s;
}

void store_state(void* buffer, const SearchState& s) { std::memcpy(buffer, &s, sizeof s); }

namespace {

// One search pass after `previous` (the pass before, or null for the
// first), checked against the rules every sound pass keeps: a valid ROM,
// the previous ROM's bits up to the discrepancy it left, a 1 taken there,
// a later place in the search order, and a last 0-branch on a 0 bit.
// 1 when the pass is sound, 0 when no device took part, else an error.
int checked_pass(Link& link, const SearchPass* previous, SearchPass& pass, const Rom* expected = nullptr,
                 bool alarm_only = false) {
  pass = SearchPass{};
  pass.alarm_only = alarm_only;
  if (previous != nullptr) {
    pass.rom = previous->rom;
    pass.last_discrepancy = previous->last_zero;
  }
  if (expected != nullptr) {
    pass.has_expected = true;
    pass.expected = *expected;
  }
  const int found = link.search(pass);
  if (found == 0) {
    // A pass also ends with nobody answering when a misread bit sent it
    // down a branch no device is on; only a reset without presence says
    // the bus is empty. An alarm search that finds nobody on its first
    // pass is simply a bus with no device in alarm.
    if (alarm_only && previous == nullptr) return 0;
    const int presence = link.reset();
    if (presence < 0) return presence;
    return presence == kResetNoPresence ? 0 : kErrSearchInconsistent;
  }
  if (found != 1) return found;
  if (crc8(pass.rom.data(), pass.rom.size()) != 0 || pass.rom[0] == 0) return kErrRomCrc;
  if (pass.last_zero < 0 || pass.last_zero > 64) return kErrSearchInconsistent;
  if (pass.last_zero != 0 && rom_bit(pass.rom, pass.last_zero) != 0) return kErrSearchInconsistent;
  if (previous != nullptr) {
    const int m = previous->last_zero;
    for (int n = 1; n < m; ++n)
      if (rom_bit(pass.rom, n) != rom_bit(previous->rom, n)) return kErrSearchInconsistent;
    if (pass.last_zero == m || rom_bit(pass.rom, m) != 1) return kErrSearchInconsistent;
    if (!search_order_less(previous->rom, pass.rom)) return kErrSearchInconsistent;
  }
  return 1;
}

// One walk of the whole bus (or of its first `capacity` devices) into
// `list`: 1, 0 for an empty bus, or an error. `tail` is the last pass.
// `guide`, the list of a walk before, tells each pass what it should find.
int walk_bus(Link& link, std::vector<Rom>& list, SearchPass& tail, bool& more, const std::vector<Rom>* guide,
             std::size_t capacity, bool alarm_only) {
  list.clear();
  more = false;
  const auto expected = [&](std::size_t k) -> const Rom* {
    return guide != nullptr && k < guide->size() ? &(*guide)[k] : nullptr;
  };
  SearchPass pass;
  int r = checked_pass(link, nullptr, pass, expected(0), alarm_only);
  if (r != 1) return r;
  for (;;) {
    list.push_back(pass.rom);
    tail = pass;
    if (pass.last_zero == 0) return 1;
    if (list.size() == capacity) {
      more = true;
      return 1;
    }
    const SearchPass previous = pass;
    r = checked_pass(link, &previous, pass, expected(list.size()), alarm_only);
    // Devices answered the pass before: none now is a misread too.
    if (r == 0) return kErrSearchInconsistent;
    if (r != 1) return r;
  }
}

// Failures a repeated walk cannot mend: the port, the adapter or the bus
// itself is at fault.
bool worth_repeating(int result) { return result == kErrRomCrc || result == kErrSearchInconsistent; }

// Walks the whole bus until two complete walks agree: 1 with the list in
// `agreed`, 0 for an empty bus, or an error.
int agreed_walks(Link& link, std::vector<Rom>& agreed, SearchPass& tail, bool& more, std::size_t capacity,
                 bool alarm_only) {
  std::vector<Rom> walk;
  bool complete_before = false;
  bool inconsistent = false;
  int result = 0;
  int attempt = 0;
  for (; attempt < kMaxSearchWalks; ++attempt) {
    // A walk after a complete one is told what to expect: a link that
    // can, sends its slots ahead on it (and checks every bit read).
    const int r = walk_bus(link, walk, tail, more, complete_before ? &agreed : nullptr, capacity, alarm_only);
    if (r == 1 || r == 0) {
      if (complete_before && walk == agreed) {
        result = 1;
        break;
      }
      inconsistent = inconsistent || complete_before;
      agreed = walk;
      complete_before = true;
      continue;
    }
    if (!worth_repeating(r)) {
      result = r;
      break;
    }
    inconsistent = inconsistent || r == kErrSearchInconsistent;
  }
  // Out of walks: lists that disagree (or broke the rules) outrank a
  // ROM that kept failing its CRC, which is what a damaged device does.
  if (attempt == kMaxSearchWalks) result = inconsistent || complete_before ? kErrSearchInconsistent : kErrRomCrc;
  if (result == 1 && agreed.empty()) result = 0;
  return result;
}

}  // namespace

std::int16_t search_step(Link& link, void* state_buffer, bool first) {
  if (state_buffer == nullptr) return kErrNoCurrentDevice;
  SearchState state = load_state(state_buffer);
  if (!first && state.has_list != 0) {
    if (state.position + 1 < state.count) {
      ++state.position;
      state.current = state.list[state.position];
      state.has_current = 1;
      store_state(state_buffer, state);
      return 1;
    }
    if (state.more == 0) {
      // The search is complete, and the next TMNext starts over.
      state.has_list = 0;
      store_state(state_buffer, state);
      return 0;
    }
    // Beyond the list: one pass at a time, each checked against the
    // one before.
    SearchPass previous;
    previous.rom = state.tail;
    previous.last_zero = state.tail_last_zero;
    SearchPass pass;
    int r = checked_pass(link, &previous, pass);
    if (r == 0) r = kErrSearchInconsistent;
    if (r != 1) {
      state.has_list = 0;
      store_state(state_buffer, state);
      return static_cast<std::int16_t>(r);
    }
    state.position = state.count;
    state.tail = pass.rom;
    state.tail_last_zero = pass.last_zero;
    state.more = pass.last_zero != 0 ? 1 : 0;
    state.current = pass.rom;
    state.has_current = 1;
    store_state(state_buffer, state);
    return 1;
  }

  std::vector<Rom> agreed;
  SearchPass tail;
  bool more = false;
  const int result = agreed_walks(link, agreed, tail, more, kListCapacity, false);
  state.has_list = 0;
  if (result != 1) {
    store_state(state_buffer, state);
    return static_cast<std::int16_t>(result);
  }
  state.has_list = 1;
  state.count = static_cast<std::uint16_t>(agreed.size());
  std::copy(agreed.begin(), agreed.end(), state.list.begin());
  state.position = 0;
  state.more = more ? 1 : 0;
  state.tail = tail.rom;
  state.tail_last_zero = tail.last_zero;
  state.current = agreed.front();
  state.has_current = 1;
  store_state(state_buffer, state);
  return 1;
}

}  // namespace onewire::detail

namespace onewire {

int search_bus(Link& link, std::vector<Rom>& found, bool alarm_only) {
  found.clear();
  SearchPass tail;
  bool more = false;
  const int r = detail::agreed_walks(link, found, tail, more, std::numeric_limits<std::size_t>::max(), alarm_only);
  if (r != 1) found.clear();
  return r;
}

}  // namespace onewire
