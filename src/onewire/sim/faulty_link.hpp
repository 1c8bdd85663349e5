// A link that fails on purpose: the n-th call of one of its operations
// answers a chosen driver code instead of doing anything, for tests and
// for device files that inject faults into the simulated bus (an adapter
// that stops answering at a chosen moment, a port that goes away).
//
// Thread safety: as the link it wraps; faults may be added from any
// thread.
#pragma once

#include "qvds18x20/export.hpp"

#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "onewire/link.hpp"

namespace onewire::sim {

enum class LinkOp : std::uint8_t { kOpen, kReset, kTouchBit, kTouchByte, kSearch, kMatch, kBlock };

class QVDS_API FaultyLink final : public Link {
 public:
  explicit FaultyLink(std::unique_ptr<Link> inner);
  ~FaultyLink() override;

  // The `nth` call of `op` from now (1: the next) does nothing and
  // answers `code` (0 too: a search pass no device took part in, a
  // selection nobody answered).
  void fail(LinkOp op, int nth, int code);

  int open() override;
  void close() override;
  bool is_open() const override;
  int reset() override;
  int touch_bit(int bit) override;
  int touch_byte(int byte) override;
  int search(SearchPass& pass) override;
  int match(const Rom& rom) override;
  int set_speed(Speed speed) override;
  int block(const Rom* rom, bool reset, std::uint8_t* data, std::size_t n) override;
  bool can_strong_pullup() const override;
  int touch_byte_pullup(int byte) override;
  int end_strong_pullup() override;
  int serial_baud() const override;
  const char* name() const override;

 private:
  // The code the call answers instead, or nothing to let it through.
  std::optional<int> injected(LinkOp op);

  struct Fault {
    LinkOp op;
    int left;
    int code;
  };
  std::unique_ptr<Link> inner_;
  std::mutex mutex_;
  std::vector<Fault> faults_;
};

}  // namespace onewire::sim
