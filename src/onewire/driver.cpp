#include "onewire/driver.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "onewire/crc.hpp"
#include "onewire/errors.hpp"
#include "onewire/power_check.hpp"

namespace onewire {

const char* op_name(Op op) {
  static constexpr const char* kNames[kOpCount] = {
      "TMGetTypeVersion", "TMExtendedStartSession", "TMSetup", "TMValidSession", "TMOneWireCom",
      "TMFirst",          "TMNext",                 "TMRom",   "TMAccess",       "TMTouchReset",
      "TMTouchByte",      "TMEndSession",           "TMClose", "QvBlockExchange"};
  const auto i = static_cast<std::size_t>(op);
  return i < static_cast<std::size_t>(kOpCount) ? kNames[i] : "?";
}

struct BusDriver::Session {
  std::mutex mu;
  int port = 0;
  std::unique_ptr<Link> link;
  bool ended = false;

  // What the last search found of the thermometers' supply.
  PowerSurvey power;
  // Where the caller is in a command sequence, as far as a strong pull-up
  // after CONVERT T depends on it.
  enum class Step : std::uint8_t { kOther, kReset, kSkipRom, kMatchedParasite };
  Step step = Step::kOther;
  // The bus is held at the strong pull-up until the next call.
  bool pullup = false;

  bool is_parasite(const Rom& rom) const {
    return std::find(power.parasites.begin(), power.parasites.end(), rom) != power.parasites.end();
  }
  void end_pullup() {
    if (!pullup) return;
    pullup = false;
    link->end_strong_pullup();
  }

  // Reopens the port after TMClose released it.
  int ensure_open() {
    if (link->is_open()) return 1;
    return link->open();
  }
};

namespace {

// How many ROMs the state buffer keeps of one search. A bus with more is
// walked pass by pass beyond them.
constexpr std::size_t kListCapacity = 160;
// Complete walks of the bus one TMFirst may take to get two that agree.
constexpr int kMaxSearchWalks = 6;

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
constexpr std::uint32_t kStateMagic = 0x51563258;  // "QV2X"
static_assert(sizeof(SearchState) <= kStateBufferSize);

SearchState load_state(const void* buffer) {
  SearchState s;
  std::memcpy(&s, buffer, sizeof s);
  if (s.magic != kStateMagic || s.count > kListCapacity) s = SearchState{};
  s.magic = kStateMagic;
  return s;
}

void store_state(void* buffer, const SearchState& s) { std::memcpy(buffer, &s, sizeof s); }

// Bit n (1-based, bus order: byte 0 least significant bit first) of a ROM.
int rom_bit(const Rom& rom, int n) { return (rom[static_cast<std::size_t>((n - 1) / 8)] >> ((n - 1) % 8)) & 1; }

// True when `a` comes before `b` in the order a search finds devices.
bool search_order_less(const Rom& a, const Rom& b) {
  for (int n = 1; n <= 64; ++n)
    if (rom_bit(a, n) != rom_bit(b, n)) return rom_bit(a, n) < rom_bit(b, n);
  return false;
}

// One search pass after `previous` (the pass before, or null for the
// first), checked against the rules every sound pass keeps: a valid ROM,
// the previous ROM's bits up to the discrepancy it left, a 1 taken there,
// a later place in the search order, and a last 0-branch on a 0 bit.
// 1 when the pass is sound, 0 when no device took part, else an error.
int checked_pass(Link& link, const SearchPass* previous, SearchPass& pass, const Rom* expected = nullptr) {
  pass = SearchPass{};
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
    // the bus is empty.
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

// One walk of the whole bus (or of its first kListCapacity devices) into
// `list`: 1, 0 for an empty bus, or an error. `tail` is the last pass.
// `guide`, the list of a walk before, tells each pass what it should find.
int walk_bus(Link& link, std::vector<Rom>& list, SearchPass& tail, bool& more, const std::vector<Rom>* guide) {
  list.clear();
  more = false;
  const auto expected = [&](std::size_t k) -> const Rom* {
    return guide != nullptr && k < guide->size() ? &(*guide)[k] : nullptr;
  };
  SearchPass pass;
  int r = checked_pass(link, nullptr, pass, expected(0));
  if (r != 1) return r;
  for (;;) {
    list.push_back(pass.rom);
    tail = pass;
    if (pass.last_zero == 0) return 1;
    if (list.size() == kListCapacity) {
      more = true;
      return 1;
    }
    const SearchPass previous = pass;
    r = checked_pass(link, &previous, pass, expected(list.size()));
    // Devices answered the pass before: none now is a misread too.
    if (r == 0) return kErrSearchInconsistent;
    if (r != 1) return r;
  }
}

// Failures a repeated walk cannot mend: the port, the adapter or the bus
// itself is at fault.
bool worth_repeating(int result) { return result == kErrRomCrc || result == kErrSearchInconsistent; }

}  // namespace

BusDriver::BusDriver(LinkFactory factory, std::string version, std::function<bool(int)> types_answered)
    : factory_(std::move(factory)), version_(std::move(version)), types_answered_(std::move(types_answered)) {}

BusDriver::~BusDriver() {
  std::lock_guard<std::mutex> lock(mu_);
  for (auto& [handle, session] : sessions_) {
    std::lock_guard<std::mutex> slock(session->mu);
    session->end_pullup();
    session->link->close();
  }
}

bool BusDriver::intercept(Op, std::int32_t, std::int32_t&) { return false; }

std::shared_ptr<BusDriver::Session> BusDriver::find(std::int32_t handle) const {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = sessions_.find(handle);
  return it == sessions_.end() ? nullptr : it->second;
}

int BusDriver::session_count() const {
  std::lock_guard<std::mutex> lock(mu_);
  return static_cast<int>(sessions_.size());
}

int BusDriver::serial_baud(int port) const {
  std::shared_ptr<Session> session;
  {
    std::lock_guard<std::mutex> lock(mu_);
    for (const auto& [handle, s] : sessions_)
      if (s->port == port) session = s;
  }
  if (!session) return 0;
  std::lock_guard<std::mutex> lock(session->mu);
  return session->ended || !session->link->is_open() ? 0 : session->link->serial_baud();
}

// Runs `body` on the session under the session's lock, with the port
// reopened if TMClose released it. A strong pull-up left on by the call
// before ends here: every call comes after the wait it was held for.
template <typename Body>
std::int16_t BusDriver::with_session(Op op, std::int32_t handle, Body&& body) {
  std::int32_t injected = 0;
  if (intercept(op, handle, injected)) return static_cast<std::int16_t>(injected);
  auto session = find(handle);
  if (!session) return kErrSessionInvalid;
  std::lock_guard<std::mutex> lock(session->mu);
  if (session->ended) return kErrSessionInvalid;
  session->end_pullup();
  if (const int opened = session->ensure_open(); opened != 1)
    return static_cast<std::int16_t>(opened < 0 ? opened : kErrPortIo);
  return body(*session);
}

std::int16_t BusDriver::TMGetTypeVersion(std::int16_t adapter_type, char* buffer) {
  std::int32_t injected = 0;
  if (intercept(Op::kGetTypeVersion, 0, injected)) return static_cast<std::int16_t>(injected);
  if (buffer == nullptr || !types_answered_(adapter_type)) return kErrAdapterType;
  const std::size_t n = version_.size() < 100 ? version_.size() : 100;
  std::memcpy(buffer, version_.data(), n);
  buffer[n] = 0;
  return 1;
}

std::int32_t BusDriver::TMExtendedStartSession(std::int16_t port, std::int16_t adapter_type, void*) {
  std::int32_t injected = 0;
  if (intercept(Op::kStartSession, 0, injected)) return injected;
  if (!types_answered_(adapter_type)) return kErrAdapterType;
  {
    // One session per port: the port belongs to whoever holds it.
    std::lock_guard<std::mutex> lock(mu_);
    for (const auto& [handle, s] : sessions_)
      if (s->port == port) return 0;
  }
  std::int16_t error = kErrPortUnavailable;
  std::unique_ptr<Link> link = factory_ ? factory_(port, adapter_type, error) : nullptr;
  if (!link) return error < 0 ? error : kErrPortUnavailable;
  const int opened = link->open();
  if (opened != 1) {
    link->close();
    return opened < 0 ? opened : kErrAdapterNoResponse;
  }
  auto session = std::make_shared<Session>();
  session->port = port;
  session->link = std::move(link);
  std::lock_guard<std::mutex> lock(mu_);
  for (const auto& [handle, s] : sessions_)
    if (s->port == port) return 0;  // lost a race for the port
  if (next_handle_ < 1) next_handle_ = 1;
  const std::int32_t handle = next_handle_++;
  sessions_.emplace(handle, std::move(session));
  return handle;
}

std::int16_t BusDriver::TMSetup(std::int32_t h) {
  return with_session(Op::kSetup, h, [&](Session&) -> std::int16_t { return 1; });
}

std::int16_t BusDriver::TMValidSession(std::int32_t h) {
  std::int32_t injected = 0;
  if (intercept(Op::kValidSession, h, injected)) return static_cast<std::int16_t>(injected);
  auto session = find(h);
  if (!session) return 0;
  std::lock_guard<std::mutex> lock(session->mu);
  return session->ended ? 0 : 1;
}

std::int16_t BusDriver::TMOneWireCom(std::int32_t h, std::int16_t operation, std::int16_t time_mode) {
  return with_session(Op::kOneWireCom, h, [&](Session& s) -> std::int16_t {
    Link& link = *s.link;
    s.step = Session::Step::kOther;
    if (operation != 0) return kErrSpeed;
    if (time_mode < 0 || time_mode > 2) return kErrSpeed;
    return static_cast<std::int16_t>(link.set_speed(static_cast<Speed>(time_mode)));
  });
}

// TMFirst walks the whole bus until two complete walks agree, so that a
// bit flipped on the line can neither repeat a device nor cut the list
// short without the caller learning of it; TMNext steps through the list
// the walk left in the caller's buffer.
std::int16_t BusDriver::search(std::int32_t h, void* state_buffer, bool first) {
  return with_session(first ? Op::kFirst : Op::kNext, h, [&](Session& s) -> std::int16_t {
    Link& link = *s.link;
    s.step = Session::Step::kOther;
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

    std::vector<Rom> agreed, walk;
    SearchPass tail;
    bool more = false;
    bool complete_before = false;
    bool inconsistent = false;
    int result = 0;
    int attempt = 0;
    for (; attempt < kMaxSearchWalks; ++attempt) {
      // A walk after a complete one is told what to expect: a link that
      // can, sends its slots ahead on it (and checks every bit read).
      const int r = walk_bus(link, walk, tail, more, complete_before ? &agreed : nullptr);
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
    state.has_list = 0;
    if (result != 1 || agreed.empty()) {
      s.power = PowerSurvey{};
      store_state(state_buffer, state);
      return static_cast<std::int16_t>(result == 1 ? 0 : result);
    }
    // Which of them need the strong pull-up to convert: the caller's
    // CONVERT T gets it only when the driver knows.
    s.power = survey_power(link, agreed);
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
  });
}

std::int16_t BusDriver::TMFirst(std::int32_t h, void* state) { return search(h, state, true); }
std::int16_t BusDriver::TMNext(std::int32_t h, void* state) { return search(h, state, false); }

std::int16_t BusDriver::TMRom(std::int32_t h, void* state_buffer, std::uint16_t* rom) {
  return with_session(Op::kRom, h, [&](Session&) -> std::int16_t {
    if (state_buffer == nullptr || rom == nullptr) return kErrNoCurrentDevice;
    SearchState state = load_state(state_buffer);
    if (rom[0] == 0) {
      if (state.has_current == 0) return kErrNoCurrentDevice;
      for (std::size_t k = 0; k < 8; ++k) rom[k] = state.current[k];
    } else {
      for (std::size_t k = 0; k < 8; ++k) state.current[k] = static_cast<std::uint8_t>(rom[k] & 0xFF);
      state.has_current = 1;
      store_state(state_buffer, state);
    }
    return 1;
  });
}

std::int16_t BusDriver::TMAccess(std::int32_t h, void* state_buffer) {
  return with_session(Op::kAccess, h, [&](Session& s) -> std::int16_t {
    s.step = Session::Step::kOther;
    if (state_buffer == nullptr) return kErrNoCurrentDevice;
    const SearchState state = load_state(state_buffer);
    if (state.has_current == 0) return kErrNoCurrentDevice;
    const int r = s.link->match(state.current);
    if (r == 1 && s.is_parasite(state.current)) s.step = Session::Step::kMatchedParasite;
    return static_cast<std::int16_t>(r);
  });
}

std::int16_t BusDriver::QvBlockExchange(std::int32_t h, void* state_buffer, std::int16_t mode, std::uint8_t* buffer,
                                        std::int16_t length) {
  return with_session(Op::kBlockExchange, h, [&](Session& s) -> std::int16_t {
    Link& link = *s.link;
    s.step = Session::Step::kOther;
    if (length < 0 || (length > 0 && buffer == nullptr)) return kErrBadArgument;
    if (mode != kBlockBytesOnly && mode != kBlockReset && mode != kBlockSelect) return kErrBadArgument;
    SearchState state;
    if (mode == kBlockSelect) {
      if (state_buffer == nullptr) return kErrNoCurrentDevice;
      state = load_state(state_buffer);
      if (state.has_current == 0) return kErrNoCurrentDevice;
    }
    const auto n = static_cast<std::size_t>(length);
    const int r = link.block(mode == kBlockSelect ? &state.current : nullptr, mode == kBlockReset, buffer, n);
    if (r != 1) return static_cast<std::int16_t>(r);
    for (std::size_t i = 0; i < n; ++i) buffer[i] = static_cast<std::uint8_t>(filter_touch_byte(buffer[i]) & 0xFF);
    return 1;
  });
}

std::int16_t BusDriver::TMTouchReset(std::int32_t h) {
  return with_session(Op::kTouchReset, h, [&](Session& s) -> std::int16_t {
    s.step = Session::Step::kReset;
    return static_cast<std::int16_t>(s.link->reset());
  });
}

// CONVERT T after SKIP ROM on a bus with a parasite thermometer, or after
// the selection of one, leaves the bus at the strong pull-up until the
// next call: the caller's conversion wait then feeds the conversion, with
// no call of its own for it.
std::int16_t BusDriver::TMTouchByte(std::int32_t h, std::int16_t byte) {
  return with_session(Op::kTouchByte, h, [&](Session& s) -> std::int16_t {
    constexpr int kSkipRom = 0xCC;
    constexpr int kConvertT = 0x44;
    const int b = byte & 0xFF;
    const Session::Step before = s.step;
    s.step = b == kSkipRom && before == Session::Step::kReset ? Session::Step::kSkipRom : Session::Step::kOther;
    const bool feed = b == kConvertT && s.link->can_strong_pullup() &&
                      ((before == Session::Step::kSkipRom && !s.power.parasites.empty()) ||
                       before == Session::Step::kMatchedParasite);
    const int r = feed ? s.link->touch_byte_pullup(b) : s.link->touch_byte(b);
    if (feed && r >= 0) s.pullup = true;
    return r < 0 ? static_cast<std::int16_t>(r) : filter_touch_byte(static_cast<std::int16_t>(r));
  });
}

std::int16_t BusDriver::QvDevicePower(std::int32_t h, void* state_buffer) {
  auto session = find(h);
  if (!session) return kErrSessionInvalid;
  std::lock_guard<std::mutex> lock(session->mu);
  if (session->ended) return kErrSessionInvalid;
  if (state_buffer == nullptr) return kErrNoCurrentDevice;
  const SearchState state = load_state(state_buffer);
  if (state.has_current == 0) return kErrNoCurrentDevice;
  const PowerSurvey& power = session->power;
  if (session->is_parasite(state.current)) return session->link->can_strong_pullup() ? kPowerParasite : kPowerUnfed;
  if (std::find(power.thermometers.begin(), power.thermometers.end(), state.current) != power.thermometers.end())
    return kPowerExternal;
  return kPowerUnknown;
}

std::int16_t BusDriver::TMEndSession(std::int32_t h) {
  std::int32_t injected = 0;
  if (intercept(Op::kEndSession, h, injected)) return static_cast<std::int16_t>(injected);
  std::shared_ptr<Session> session;
  {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = sessions_.find(h);
    if (it == sessions_.end()) return kErrSessionInvalid;
    session = std::move(it->second);
    sessions_.erase(it);
  }
  // Waits for a call in progress on another thread, then ends the session
  // for good.
  std::lock_guard<std::mutex> lock(session->mu);
  session->ended = true;
  session->end_pullup();
  session->link->close();
  return 1;
}

std::int16_t BusDriver::TMClose(std::int32_t h) {
  std::int32_t injected = 0;
  if (intercept(Op::kClose, h, injected)) return static_cast<std::int16_t>(injected);
  auto session = find(h);
  if (!session) return kErrSessionInvalid;
  std::lock_guard<std::mutex> lock(session->mu);
  session->end_pullup();
  session->link->close();
  return 1;
}

}  // namespace onewire
