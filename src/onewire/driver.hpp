// Our 1-Wire driver behind the 13 driver operations: a table of sessions,
// each on one Link (simulated bus or serial adapter), with the ROM search
// and device selection done here once for every kind of link.
//
// Every operation of one session runs under that session's lock, so the
// main thread ending a session while a worker is still using it is safe:
// the worker's later calls fail with kErrSessionInvalid.
#pragma once

#include "qvds18x20/export.hpp"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "onewire/tmex_driver.hpp"
#include "onewire/link.hpp"

namespace onewire {

// Makes the link for a session start: for a port number and an adapter
// type. Returns null and sets `error` (a negative driver code) when the
// port or type is not available.
using LinkFactory = std::function<std::unique_ptr<Link>(int port, int adapter_type, std::int16_t& error)>;

// The operations, for hooks, fault injection and call logs.
enum class Op : std::uint8_t {
  kGetTypeVersion,
  kStartSession,
  kSetup,
  kValidSession,
  kOneWireCom,
  kFirst,
  kNext,
  kRom,
  kAccess,
  kTouchReset,
  kTouchByte,
  kEndSession,
  kClose,
  kBlockExchange,
};
inline constexpr int kOpCount = 14;
QVDS_API const char* op_name(Op op);

class QVDS_API BusDriver : public TmexDriver {
 public:
  // `version` is the text TMGetTypeVersion reports for `types_answered`
  // (a predicate on the adapter type number).
  BusDriver(LinkFactory factory, std::string version, std::function<bool(int)> types_answered);
  ~BusDriver() override;

  std::int16_t TMGetTypeVersion(std::int16_t adapter_type, char* buffer) override;
  std::int32_t TMExtendedStartSession(std::int16_t port, std::int16_t adapter_type, void* reserved) override;
  std::int16_t TMSetup(std::int32_t session) override;
  std::int16_t TMValidSession(std::int32_t session) override;
  std::int16_t TMOneWireCom(std::int32_t session, std::int16_t operation, std::int16_t time_mode) override;
  std::int16_t TMFirst(std::int32_t session, void* state) override;
  std::int16_t TMNext(std::int32_t session, void* state) override;
  std::int16_t TMRom(std::int32_t session, void* state, std::uint16_t* rom) override;
  std::int16_t TMAccess(std::int32_t session, void* state) override;
  std::int16_t TMTouchReset(std::int32_t session) override;
  std::int16_t TMTouchByte(std::int32_t session, std::int16_t byte) override;
  std::int16_t TMEndSession(std::int32_t session) override;
  std::int16_t TMClose(std::int32_t session) override;
  bool offers_block_exchange() const override { return true; }
  std::int16_t QvBlockExchange(std::int32_t session, void* state, std::int16_t mode, std::uint8_t* buffer,
                               std::int16_t length) override;
  std::int16_t QvDevicePower(std::int32_t session, void* state) override;

  // Number of sessions that are open.
  int session_count() const;
  // The serial rate of the adapter in the open session on `port`, or 0
  // when there is none or it has no serial line.
  int serial_baud(int port) const;

 protected:
  // Called before every operation with its session handle (0 for the two
  // that take none). Returning true skips the operation and answers
  // `result` instead: the simulated driver's fault injection.
  virtual bool intercept(Op op, std::int32_t session, std::int32_t& result);
  // Sees every byte TMTouchByte and QvBlockExchange read back from the
  // bus, and may change it.
  virtual std::int16_t filter_touch_byte(std::int16_t result) { return result; }

 private:
  struct Session;
  std::shared_ptr<Session> find(std::int32_t handle) const;
  std::int16_t search(std::int32_t session, void* state, bool first);
  template <typename Body>
  std::int16_t with_session(Op op, std::int32_t handle, Body&& body);

  LinkFactory factory_;
  std::string version_;
  std::function<bool(int)> types_answered_;
  mutable std::mutex mu_;
  std::map<std::int32_t, std::shared_ptr<Session>> sessions_;
  std::int32_t next_handle_ = 1;
};

}  // namespace onewire
