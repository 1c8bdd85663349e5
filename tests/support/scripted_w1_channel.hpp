// A w1 netlink channel whose far end is a function of the test (a
// Script): it gets every request the link sends and returns the
// datagrams to answer with; the kernel most scripts play, which answers
// over a simulated bus as the w1 subsystem does; and the fixture of the
// link's suite over them.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "onewire/link.hpp"
#include "onewire/sim/bus.hpp"
#include "onewire/w1/netlink_channel.hpp"
#include "onewire/w1/protocol.hpp"
#include "onewire/w1/w1_link.hpp"
#include "onewire/w1/w1_master.hpp"
#include "support/w1_netlink_bytes.hpp"
#include "support/w1_sysfs.hpp"

namespace testing_support::w1netlink {


// A channel whose far end is a function: it gets every request and
// returns the datagrams to answer with.
struct Script {
  std::mutex mu;
  std::condition_variable cv;
  std::vector<Bytes> sent;
  std::deque<Bytes> inbox;
  std::function<std::vector<Bytes>(const Bytes&)> kernel;
  int open_result = 1;
  int send_result = 1;
  int opens = 0;
  bool open = false;
};

class ScriptedChannel final : public w1::NetlinkChannel {
 public:
  explicit ScriptedChannel(std::shared_ptr<Script> s) : s_(std::move(s)) {}
  int open() override {
    std::lock_guard<std::mutex> lock(s_->mu);
    ++s_->opens;
    s_->open = s_->open_result == 1;
    return s_->open_result;
  }
  void close() override {
    std::lock_guard<std::mutex> lock(s_->mu);
    s_->open = false;
    s_->inbox.clear();
  }
  bool is_open() const override {
    std::lock_guard<std::mutex> lock(s_->mu);
    return s_->open;
  }
  int send(const std::uint8_t* d, std::size_t n) override {
    std::function<std::vector<Bytes>(const Bytes&)> kernel;
    Bytes request(d, d + n);
    {
      std::lock_guard<std::mutex> lock(s_->mu);
      s_->sent.push_back(request);
      if (s_->send_result != 1) return s_->send_result;
      kernel = s_->kernel;
    }
    if (!kernel) return 1;
    auto replies = kernel(request);
    std::lock_guard<std::mutex> lock(s_->mu);
    for (auto& r : replies) s_->inbox.push_back(std::move(r));
    s_->cv.notify_all();
    return 1;
  }
  int receive(std::vector<std::uint8_t>& datagram, rtl::Duration timeout) override {
    std::unique_lock<std::mutex> lock(s_->mu);
    if (!s_->cv.wait_for(lock, timeout, [&] { return !s_->inbox.empty(); })) return 0;
    datagram = std::move(s_->inbox.front());
    s_->inbox.pop_front();
    return static_cast<int>(std::max<std::size_t>(datagram.size(), 1));
  }

 private:
  std::shared_ptr<Script> s_;
};

// A kernel that knows master 1 and answers every command the way the w1
// subsystem does over `bus`, gathered into one datagram per request.
inline std::vector<Bytes> answer_as_kernel(const Bytes& request, onewire::sim::SimBus& bus,
                                           const std::vector<onewire::Rom>* search_list = nullptr) {
  const Asked a = asked(request);
  if (a.type == w1::kListMasters) return {master_list(a.seq, {1})};
  std::vector<Piece> pieces;
  for (const auto& c : a.cmds) {
    std::uint8_t st = 0;
    if (c.cmd == w1::kCmdReset) {
      st = bus.reset() == onewire::kResetNoPresence ? w1::kStatusNoPresence : 0;
    } else if (c.cmd == w1::kCmdTouch) {
      Bytes back;
      for (auto b : c.data) back.push_back(static_cast<std::uint8_t>(bus.touch_byte(b)));
      pieces.push_back(data(a.seq, c.cmd, back));
    } else if (c.cmd == w1::kCmdSearch || c.cmd == w1::kCmdAlarmSearch) {
      std::vector<onewire::Rom> roms;
      if (search_list != nullptr) roms = *search_list;
      pieces.push_back(data(a.seq, c.cmd, rom_bytes(roms)));
    } else {
      st = w1::kStatusEinval;
    }
    pieces.push_back(status(a.seq, c.cmd, st));
  }
  return {datagram(a.seq, pieces, 1)};
}

// A w1 link (master 1, short deadlines) over a scripted channel, whose
// kernel answers over `bus` until a test gives it another; sysfs shows
// the master, the bus holds two devices.
class ScriptedW1LinkFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    if constexpr (std::endian::native != std::endian::little)
      GTEST_SKIP() << "the byte patterns are those of a little-endian host";
    ASSERT_FALSE(sysfs.root().empty());
    sysfs.load_w1();
    sysfs.add_master(1, 2);
    script->kernel = [this](const Bytes& r) { return answer_as_kernel(r, *bus); };
    bus->add(onewire::sim::make_rom_device(onewire::sim::make_rom(0x28, 0x0416913C6BFF)));
    bus->add(onewire::sim::make_rom_device(onewire::sim::make_rom(0x28, 0x0416913C6BEF)));
  }
  std::unique_ptr<w1::W1Link> make_link(int master = 1) {
    w1::W1Options o;
    o.sysfs_root = sysfs.root();
    o.open_timeout = std::chrono::milliseconds(100);
    o.reply_timeout = std::chrono::milliseconds(100);
    return std::make_unique<w1::W1Link>(master, std::make_unique<ScriptedChannel>(script), o);
  }
  std::vector<Bytes> sent() {
    std::lock_guard<std::mutex> lock(script->mu);
    return script->sent;
  }
  Bytes last_sent() { return sent().back(); }
  // Replaces the kernel for the next requests with one that answers
  // through `reply(asked request)`.
  void kernel(std::function<std::vector<Bytes>(const Asked&)> reply) {
    script->kernel = [reply](const Bytes& r) { return reply(asked(r)); };
  }

  testing_support::ScratchSysfs sysfs;
  std::shared_ptr<Script> script = std::make_shared<Script>();
  std::shared_ptr<onewire::sim::SimBus> bus = std::make_shared<onewire::sim::SimBus>();
};

}  // namespace testing_support::w1netlink
