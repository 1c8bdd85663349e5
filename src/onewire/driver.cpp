// The driver's session table: sessions opened and ended on their links,
// every operation under its session's lock; the search is search.cpp's.
#include "onewire/driver.hpp"

#include <algorithm>
#include <cstring>
#include <vector>

#include "onewire/commands.hpp"
#include "onewire/errors.hpp"
#include "onewire/power_check.hpp"
#include "onewire/search.hpp"

namespace onewire {

using detail::load_state;
using detail::SearchState;
using detail::store_state;

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

std::int16_t BusDriver::search(std::int32_t h, void* state_buffer, bool first) {
  return with_session(first ? Op::kFirst : Op::kNext, h, [&](Session& s) -> std::int16_t {
    s.step = Session::Step::kOther;
    const std::int16_t r = detail::search_step(*s.link, state_buffer, first);
    if (first) {
      // Which of the devices found need the strong pull-up to convert: the
      // caller's CONVERT T gets it only when the driver knows.
      s.power = PowerSurvey{};
      if (r == 1) {
        const SearchState found = load_state(state_buffer);
        s.power = survey_power(*s.link, std::vector<Rom>(found.list.begin(), found.list.begin() + found.count));
      }
    }
    return r;
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
