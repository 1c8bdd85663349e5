// One bus master of the fake w1 kernel (Linux only): the commands of a
// W1_MASTER_CMD message run on a simulated bus as the kernel runs them on
// its own (w1_process_command_master, w1_search), and the ids its searches
// found, which the kernel keeps for W1_CMD_LIST_SLAVES.
#pragma once

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "onewire/link.hpp"
#include "onewire/sim/bus.hpp"
#include "support/w1_kernel_messages.hpp"

namespace testing_support::w1kernel {

// w1_search: passes of 64 triplets, each id found kept as a number whose
// bit i is the i-th bit of the ROM; at most max_slave_count of them.
inline std::vector<std::uint64_t> w1_search(onewire::sim::SimBus& bus, bool alarm, int max_slave_count) {
  std::vector<std::uint64_t> ids;
  std::uint64_t rn = 0;
  int desc_bit = 64;
  bool last_device = false;
  for (int count = 0; !last_device && count < max_slave_count; ++count) {
    const std::uint64_t last = rn;
    rn = 0;
    int last_zero = -1;
    if (bus.reset() == onewire::kResetNoPresence) break;
    bus.touch_byte(alarm ? 0xEC : 0xF0);
    bool nobody = false;
    for (int i = 0; i < 64; ++i) {
      const int wanted = i == desc_bit ? 1 : (i > desc_bit ? 0 : static_cast<int>((last >> i) & 1));
      const int id = bus.touch_bit(1);
      const int comp = bus.touch_bit(1);
      if (id != 0 && comp != 0) {
        nobody = true;
        break;
      }
      const int direction = id != comp ? id : wanted;
      bus.touch_bit(direction);
      if (id == 0 && comp == 0 && direction == 0) last_zero = i;
      rn |= static_cast<std::uint64_t>(direction) << i;
    }
    if (nobody) continue;
    if (desc_bit == last_zero || last_zero < 0) last_device = true;
    desc_bit = last_zero;
    ids.push_back(rn);
  }
  return ids;
}

// An id as w1_search keeps it, as a ROM.
inline onewire::Rom rom_of(std::uint64_t v) {
  onewire::Rom r{};
  for (std::size_t i = 0; i < 8; ++i) r[i] = static_cast<std::uint8_t>(v >> (8 * i));
  return r;
}

// A master: its bus, and the ids its searches found (as w1_search keeps
// them), kept from search to search.
struct FakeMaster {
  std::shared_ptr<onewire::sim::SimBus> bus;
  std::vector<std::uint64_t> slaves;

  // w1_process_command_master, command by command: data before status,
  // an error in one not stopping the next, a command reaching past its
  // message stopping everything.
  void run(const w1_netlink_msg& msg, const std::uint8_t* body, Replies& replies, int max_slave_count) {
    onewire::sim::SimBus& wire = *bus;
    for (std::size_t at = 0; at < msg.len;) {
      w1_netlink_cmd cmd{};
      std::memcpy(&cmd, body + at, std::min<std::size_t>(sizeof cmd, msg.len - at));
      if (msg.len - at < sizeof cmd || sizeof cmd + cmd.len > msg.len - at) {
        replies.status(msg, cmd, -E2BIG);
        return;
      }
      const std::uint8_t* in = body + at + sizeof cmd;
      at += sizeof cmd + cmd.len;
      int error = 0;
      std::vector<std::uint8_t> back;
      switch (cmd.cmd) {
        case W1_CMD_READ:
          for (int i = 0; i < cmd.len; ++i) back.push_back(static_cast<std::uint8_t>(wire.touch_byte(0xFF)));
          replies.data(msg, cmd, back.data(), back.size());
          break;
        case W1_CMD_WRITE:
          for (int i = 0; i < cmd.len; ++i) wire.touch_byte(in[i]);
          break;
        case W1_CMD_TOUCH:
          for (int i = 0; i < cmd.len; ++i) back.push_back(static_cast<std::uint8_t>(wire.touch_byte(in[i])));
          replies.data(msg, cmd, back.data(), back.size());
          break;
        case W1_CMD_RESET:
          // w1_reset_bus: 0 with a presence pulse, 1 without. A line held
          // low (shorted) looks like a presence to a GPIO master.
          error = wire.reset() == onewire::kResetNoPresence ? 1 : 0;
          break;
        case W1_CMD_SEARCH:
        case W1_CMD_ALARM_SEARCH: {
          const auto ids = w1_search(wire, cmd.cmd == W1_CMD_ALARM_SEARCH, max_slave_count);
          for (auto id : ids)
            if (std::find(slaves.begin(), slaves.end(), id) == slaves.end()) slaves.push_back(id);
          replies.data(msg, cmd, reinterpret_cast<const std::uint8_t*>(ids.data()), 8 * ids.size());
          break;
        }
        case W1_CMD_LIST_SLAVES:
          replies.data(msg, cmd, reinterpret_cast<const std::uint8_t*>(slaves.data()), 8 * slaves.size());
          break;
        default:
          error = -EINVAL;
      }
      replies.status(msg, cmd, error);
    }
  }
};

}  // namespace testing_support::w1kernel
