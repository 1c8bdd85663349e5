// A fake of the kernel's w1 subsystem behind a real NETLINK_CONNECTOR
// socket (Linux only): it receives what a client sends to its port id,
// checks it as the connector and w1_netlink.c do, runs the commands on a
// simulated bus per master (fake_w1_master.hpp), and unicasts the replies
// back the way the kernel builds them (w1_kernel_messages.hpp).
//
// A user socket may send to another one on this protocol only with
// CAP_NET_ADMIN; ok() is false (and why() says so) where that fails.
#pragma once

#include <linux/connector.h>
#include <linux/netlink.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "onewire/link.hpp"
#include "onewire/sim/bus.hpp"
#include "support/fake_w1_master.hpp"
#include "support/w1_kernel_messages.hpp"

namespace testing_support::w1kernel {

class FakeW1Kernel {
 public:
  FakeW1Kernel() {
    fd_ = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_CONNECTOR);
    if (fd_ < 0) {
      why_ = std::string("no NETLINK_CONNECTOR socket: ") + std::strerror(errno);
      return;
    }
    sockaddr_nl self{};
    self.nl_family = AF_NETLINK;
    socklen_t len = sizeof self;
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&self), sizeof self) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&self), &len) != 0) {
      why_ = std::string("cannot bind a NETLINK_CONNECTOR socket: ") + std::strerror(errno);
      return;
    }
    port_ = self.nl_pid;
    if (!probe_unicast()) return;
    stop_ = ::eventfd(0, EFD_CLOEXEC);
    if (stop_ < 0) {
      why_ = "no eventfd";
      return;
    }
    thread_ = std::thread([this] { serve(); });
  }

  ~FakeW1Kernel() {
    if (thread_.joinable()) {
      const std::uint64_t one = 1;
      [[maybe_unused]] const auto w = ::write(stop_, &one, sizeof one);
      thread_.join();
    }
    if (stop_ >= 0) ::close(stop_);
    if (fd_ >= 0) ::close(fd_);
  }
  FakeW1Kernel(const FakeW1Kernel&) = delete;
  FakeW1Kernel& operator=(const FakeW1Kernel&) = delete;

  bool ok() const { return thread_.joinable(); }
  const std::string& why() const { return why_; }
  // The port id clients send to in place of the kernel's 0.
  std::uint32_t port() const { return port_; }

  void add_master(std::uint32_t id, std::shared_ptr<onewire::sim::SimBus> bus) {
    std::lock_guard<std::mutex> lock(mu_);
    masters_[id].bus = std::move(bus);
  }
  void remove_master(std::uint32_t id) {
    std::lock_guard<std::mutex> lock(mu_);
    masters_.erase(id);
  }
  // A connector with no w1 callback: every request is dropped unanswered.
  void set_silent(bool silent) {
    std::lock_guard<std::mutex> lock(mu_);
    silent_ = silent;
  }
  // False: a kernel before 3.16, which does not know W1_CN_BUNDLE and sends
  // every reply in a datagram of its own.
  void set_bundling(bool bundling) {
    std::lock_guard<std::mutex> lock(mu_);
    bundling_ = bundling;
  }
  // The wire module's max_slave_count (64 unless set at load time).
  void set_max_slave_count(int n) {
    std::lock_guard<std::mutex> lock(mu_);
    max_slave_count_ = n;
  }
  // Changes the replies to each request before they go out (damages
  // them, adds some, drops some).
  void set_mangler(std::function<void(std::vector<Datagram>&)> mangle) {
    std::lock_guard<std::mutex> lock(mu_);
    mangle_ = std::move(mangle);
  }

  // Every datagram received, in order.
  std::vector<Datagram> requests() const {
    std::lock_guard<std::mutex> lock(mu_);
    return requests_;
  }
  // The datagrams sent back for the last request.
  std::vector<Datagram> last_replies() const {
    std::lock_guard<std::mutex> lock(mu_);
    return last_replies_;
  }
  // The ROMs the kernel keeps for a master (what its searches found).
  std::vector<onewire::Rom> slaves(std::uint32_t id) const {
    std::lock_guard<std::mutex> lock(mu_);
    std::vector<onewire::Rom> out;
    const auto it = masters_.find(id);
    if (it != masters_.end())
      for (auto v : it->second.slaves) out.push_back(rom_of(v));
    return out;
  }

 private:
  // Whether this socket may unicast to another user socket: the fake's
  // replies need it.
  bool probe_unicast() {
    const int probe = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_CONNECTOR);
    sockaddr_nl addr{};
    addr.nl_family = AF_NETLINK;
    socklen_t len = sizeof addr;
    bool ok = probe >= 0 && ::bind(probe, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
              ::getsockname(probe, reinterpret_cast<sockaddr*>(&addr), &len) == 0;
    if (ok) {
      const std::uint8_t byte = 0;
      if (::sendto(fd_, &byte, 1, 0, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 1) {
        why_ = std::string("one user socket cannot send to another on NETLINK_CONNECTOR here (") +
               std::strerror(errno) + "; it needs CAP_NET_ADMIN)";
        ok = false;
      }
    } else {
      why_ = std::string("no second NETLINK_CONNECTOR socket: ") + std::strerror(errno);
    }
    if (probe >= 0) ::close(probe);
    return ok;
  }

  void serve() {
    std::vector<std::uint8_t> buf(65536);
    for (;;) {
      pollfd p[2] = {{fd_, POLLIN, 0}, {stop_, POLLIN, 0}};
      if (::poll(p, 2, -1) < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (p[1].revents != 0) return;
      if ((p[0].revents & POLLIN) == 0) continue;
      sockaddr_nl from{};
      socklen_t from_len = sizeof from;
      const ssize_t k =
          ::recvfrom(fd_, buf.data(), buf.size(), MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &from_len);
      if (k < 0) continue;
      std::vector<Datagram> replies;
      std::function<void(std::vector<Datagram>&)> mangle;
      {
        std::lock_guard<std::mutex> lock(mu_);
        requests_.emplace_back(buf.begin(), buf.begin() + k);
        if (silent_) continue;
        receive(requests_.back(), replies);
        mangle = mangle_;
      }
      if (mangle) mangle(replies);
      {
        std::lock_guard<std::mutex> lock(mu_);
        last_replies_ = replies;
      }
      sockaddr_nl to{};
      to.nl_family = AF_NETLINK;
      to.nl_pid = from.nl_pid;
      for (const auto& r : replies) ::sendto(fd_, r.data(), r.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    }
  }

  // cn_rx_skb, cn_call_callback and w1_cn_callback: what is dropped
  // silently, refused as a whole, and run.
  void receive(const Datagram& d, std::vector<Datagram>& out) {
    nlmsghdr h{};
    if (d.size() < sizeof h) return;
    std::memcpy(&h, d.data(), sizeof h);
    if (h.nlmsg_len < sizeof h || h.nlmsg_len > d.size()) return;
    const std::size_t payload = h.nlmsg_len - NLMSG_HDRLEN;
    if (payload < sizeof(cn_msg) || payload > CONNECTOR_MAX_MSG_SIZE) return;
    cn_msg cn{};
    std::memcpy(&cn, d.data() + NLMSG_HDRLEN, sizeof cn);
    if (h.nlmsg_len < NLMSG_HDRLEN + sizeof cn + cn.len) return;
    if (cn.id.idx != CN_W1_IDX || cn.id.val != CN_W1_VAL) return;
    const std::uint8_t* data = d.data() + NLMSG_HDRLEN + sizeof cn;
    Replies replies(cn, bundling_ && (cn.flags & W1_CN_BUNDLE) != 0, out);
    w1_netlink_msg msg{};
    if ((cn.flags & ~W1_CN_BUNDLE) != 0) {
      if (cn.len >= sizeof msg) std::memcpy(&msg, data, sizeof msg);
      replies.error(msg, -EINVAL);
      return;
    }
    // A message that reaches past the request: nothing at all is run.
    for (std::size_t at = 0; at < cn.len;) {
      if (cn.len - at < sizeof msg) return;
      std::memcpy(&msg, data + at, sizeof msg);
      if (sizeof msg + msg.len > cn.len - at) return;
      at += sizeof msg + msg.len;
    }
    for (std::size_t at = 0; at < cn.len;) {
      std::memcpy(&msg, data + at, sizeof msg);
      const std::uint8_t* body = data + at + sizeof msg;
      at += sizeof msg + msg.len;
      if (msg.type == W1_LIST_MASTERS) {
        list_masters(cn, out);
        continue;
      }
      if (msg.len == 0 || (msg.type != W1_MASTER_CMD && msg.type != W1_SLAVE_CMD)) {
        replies.error(msg, -EPROTO);
        continue;
      }
      const auto it = masters_.find(msg.id.mst.id);
      // This fake registers no slave for W1_SLAVE_CMD to select.
      if (msg.type == W1_SLAVE_CMD || it == masters_.end()) {
        replies.error(msg, -ENODEV);
        continue;
      }
      it->second.run(msg, body, replies, max_slave_count_);
    }
  }

  // Answered at once, in a datagram of its own; flags and the message's
  // id are what the kernel's buffer happened to hold.
  void list_masters(const cn_msg& req, std::vector<Datagram>& out) {
    std::vector<std::uint8_t> payload(sizeof(cn_msg) + sizeof(w1_netlink_msg) + 4 * masters_.size());
    cn_msg cn = req;
    cn.ack = req.seq + 1;
    cn.len = static_cast<__u16>(payload.size() - sizeof cn);
    cn.flags = 0xA5C3;
    w1_netlink_msg m{};
    m.type = W1_LIST_MASTERS;
    m.len = static_cast<__u16>(4 * masters_.size());
    std::memset(&m.id, 0x5A, sizeof m.id);
    std::memcpy(payload.data(), &cn, sizeof cn);
    std::memcpy(payload.data() + sizeof cn, &m, sizeof m);
    std::size_t at = sizeof cn + sizeof m;
    for (const auto& [id, master] : masters_) {
      std::memcpy(payload.data() + at, &id, 4);
      at += 4;
    }
    out.push_back(Replies::frame(payload));
  }

  int fd_ = -1;
  int stop_ = -1;
  std::uint32_t port_ = 0;
  std::string why_;
  std::thread thread_;
  mutable std::mutex mu_;
  std::map<std::uint32_t, FakeMaster> masters_;
  bool silent_ = false;
  bool bundling_ = true;
  int max_slave_count_ = 64;
  std::function<void(std::vector<Datagram>&)> mangle_;
  std::vector<Datagram> requests_;
  std::vector<Datagram> last_replies_;
};

}  // namespace testing_support::w1kernel
