// A kernel w1 bus master as a Link, through the netlink connector: every
// driver operation is one W1_MASTER_CMD message, and the kernel's master
// thread runs its commands together, with nothing of anyone else's
// between them.
//
//   reset          W1_CMD_RESET
//   touch_byte     W1_CMD_TOUCH of one byte
//   block          W1_CMD_RESET, then one W1_CMD_TOUCH of MATCH ROM, the ROM
//                  and the bytes: the reply, gathered by W1_CN_BUNDLE, is
//                  one datagram
//   search         W1_CMD_SEARCH or W1_CMD_ALARM_SEARCH: the kernel walks the
//                  whole bus and returns every ROM at once (see search())
//
// The connector has no command for a single time slot nor for a speed
// change, and none to arm a strong pull-up (see can_strong_pullup()).
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "onewire/link.hpp"
#include "onewire/w1/netlink_channel.hpp"
#include "onewire/w1/protocol.hpp"
#include "onewire/w1/w1_master.hpp"

namespace onewire::w1 {

class W1Link final : public Link {
 public:
  W1Link(int master, std::unique_ptr<NetlinkChannel> channel, W1Options options = {});
  ~W1Link() override;

  // Finds the master in sysfs (kErrW1NotLoaded without the w1 subsystem,
  // kErrPortUnavailable without that master), makes the socket and asks
  // the kernel for its masters: kErrW1NoConnector when it does not answer,
  // kErrPortUnavailable when it does not have this one.
  int open() override;
  void close() override;
  bool is_open() const override;

  // kResetPresence or kResetNoPresence: the kernel tells no short and no
  // alarming presence apart.
  int reset() override;
  // kErrNotOffered: the connector touches whole bytes only.
  int touch_bit(int bit) override;
  int touch_byte(int byte) override;
  // Each walk of the bus is one kernel search, whose list answers the
  // walk's passes: the first pass of a walk (no discrepancy to resume)
  // asks the kernel, and every pass gets the ROM, last 0-branch and
  // family 0-branch a pass over a bus of exactly those devices reports.
  // The driver compares two walks, so two kernel searches, before it
  // trusts a list. The kernel reports at most its max_slave_count devices
  // (64 unless the module was loaded with another).
  int search(SearchPass& pass) override;
  int block(const Rom* rom, bool reset, std::uint8_t* data, std::size_t n) override;
  // Standard speed only: the kernel's masters run no other.
  int set_speed(Speed speed) override;
  // The kernel arms a strong pull-up only for its own thermometer driver
  // (w1_next_pullup, taken by the next write); no netlink command reaches
  // it. Parasite-powered sensors therefore get no power to convert from
  // here, and the driver reports them as unfed.
  bool can_strong_pullup() const override { return false; }

  const char* name() const override;

  int master() const { return master_; }

 private:
  struct Outcome;
  // Sends `commands` to the master and gathers every reply: 1, or a
  // negative code (the link is closed when the master or the socket went
  // away).
  int exchange(const std::vector<Command>& commands, Outcome& outcome);
  int list_masters(std::vector<std::uint32_t>& ids);
  // Receives until `take` (called with every record of this request)
  // returns nonzero; kErrAdapterNoResponse at the deadline, or when a
  // datagram of the kernel does not hold together.
  template <typename Take>
  int await(std::uint32_t seq, rtl::Duration timeout, Take&& take);
  std::uint32_t next_seq();
  int fail(int code);

  int master_;
  std::unique_ptr<NetlinkChannel> channel_;
  W1Options options_;
  bool open_ = false;
  std::uint32_t seq_;
  // The ROMs of the kernel search that answers the current walk.
  std::vector<Rom> walk_;
  bool walk_valid_ = false;
  bool walk_alarm_ = false;
  std::vector<std::uint8_t> datagram_;
  std::vector<ReplyRecord> records_;
};

}  // namespace onewire::w1
