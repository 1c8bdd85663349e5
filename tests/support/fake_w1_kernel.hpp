// A fake of the kernel's w1 subsystem behind a real NETLINK_CONNECTOR
// socket (Linux only): it receives what a client sends to its port id,
// checks it as the connector and w1_netlink.c do, runs the commands on a
// simulated bus per master, and unicasts the replies back the way the
// kernel (3.16 and later) builds them: statuses with the request's ack,
// data with seq + 1, gathered into one datagram under W1_CN_BUNDLE.
//
// It reads and writes through the kernel's own structures: struct nlmsghdr
// and struct cn_msg from the uapi headers, and the w1 ones below, which
// the kernel does not export, transcribed from drivers/w1/w1_netlink.h.
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

#include <algorithm>
#include <array>
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

namespace testing_support::w1kernel {

struct w1_netlink_msg {
  __u8 type;
  __u8 status;
  __u16 len;
  union {
    __u8 id[8];
    struct w1_mst {
      __u32 id;
      __u32 res;
    } mst;
  } id;
  // __u8 data[] follows
};

struct w1_netlink_cmd {
  __u8 cmd;
  __u8 res;
  __u16 len;
  // __u8 data[] follows
};

// The layout the fact sheet gives for them.
static_assert(sizeof(w1_netlink_msg) == 12 && sizeof(w1_netlink_cmd) == 4);
static_assert(offsetof(w1_netlink_msg, type) == 0 && offsetof(w1_netlink_msg, status) == 1 &&
              offsetof(w1_netlink_msg, len) == 2 && offsetof(w1_netlink_msg, id) == 4 &&
              offsetof(w1_netlink_msg, id.mst.id) == 4 && offsetof(w1_netlink_msg, id.mst.res) == 8);
static_assert(offsetof(w1_netlink_cmd, cmd) == 0 && offsetof(w1_netlink_cmd, res) == 1 &&
              offsetof(w1_netlink_cmd, len) == 2);
static_assert(sizeof(cn_msg) == 20 && sizeof(nlmsghdr) == 16);

enum { W1_SLAVE_ADD = 0, W1_SLAVE_REMOVE, W1_MASTER_ADD, W1_MASTER_REMOVE, W1_MASTER_CMD, W1_SLAVE_CMD, W1_LIST_MASTERS };
enum {
  W1_CMD_READ = 0,
  W1_CMD_WRITE,
  W1_CMD_SEARCH,
  W1_CMD_ALARM_SEARCH,
  W1_CMD_TOUCH,
  W1_CMD_RESET,
  W1_CMD_SLAVE_ADD,
  W1_CMD_SLAVE_REMOVE,
  W1_CMD_LIST_SLAVES,
};
constexpr __u16 W1_CN_BUNDLE = 1;
static_assert(CONNECTOR_MAX_MSG_SIZE == 16384);

using Datagram = std::vector<std::uint8_t>;

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
  struct Master {
    std::shared_ptr<onewire::sim::SimBus> bus;
    std::vector<std::uint64_t> slaves;
  };

  // Gathers the replies to one request as w1_netlink.c does: each piece
  // (a w1_netlink_msg, with its command and data) in a datagram of its
  // own, or under W1_CN_BUNDLE appended to one buffer, consecutive pieces
  // with the same ack sharing a cn_msg, sent when full or at the end.
  class Replies {
   public:
    Replies(const cn_msg& request, bool bundle, std::vector<Datagram>& out) : bundle_(bundle), out_(out) {
      std::memcpy(req_.data(), &request, sizeof request);
    }
    ~Replies() { flush(); }

    void status(const w1_netlink_msg& msg, const w1_netlink_cmd& cmd, int error) {
      w1_netlink_msg m = msg;
      m.status = static_cast<__u8>(-error);
      m.len = sizeof(w1_netlink_cmd);
      w1_netlink_cmd c = cmd;
      c.len = 0;
      piece(request().ack, m, &c, nullptr, 0);
    }
    void data(const w1_netlink_msg& msg, const w1_netlink_cmd& cmd, const std::uint8_t* bytes, std::size_t n) {
      w1_netlink_msg m = msg;
      m.status = 0;
      m.len = static_cast<__u16>(sizeof(w1_netlink_cmd) + n);
      w1_netlink_cmd c = cmd;
      c.len = static_cast<__u16>(n);
      piece(request().seq + 1, m, &c, bytes, n);
    }
    // An error about the whole message: its header alone.
    void error(const w1_netlink_msg& msg, int error) {
      w1_netlink_msg m = msg;
      m.status = static_cast<__u8>(-error);
      m.len = 0;
      piece(request().ack, m, nullptr, nullptr, 0);
    }
    void flush() {
      if (buffer_.empty()) return;
      out_.push_back(frame(buffer_));
      buffer_.clear();
      cn_at_ = npos;
    }

    // A datagram: the netlink header before `payload` (its cn_msgs),
    // padded to four bytes.
    static Datagram frame(const std::vector<std::uint8_t>& payload) {
      nlmsghdr h{};
      h.nlmsg_len = static_cast<__u32>(NLMSG_HDRLEN + payload.size());
      h.nlmsg_type = NLMSG_DONE;
      cn_msg first{};
      std::memcpy(&first, payload.data(), sizeof first);
      h.nlmsg_seq = first.seq;
      Datagram d(NLMSG_ALIGN(h.nlmsg_len), 0);
      std::memcpy(d.data(), &h, sizeof h);
      std::memcpy(d.data() + NLMSG_HDRLEN, payload.data(), payload.size());
      return d;
    }

   private:
    static constexpr std::size_t npos = static_cast<std::size_t>(-1);
    static constexpr std::size_t kLimit = CONNECTOR_MAX_MSG_SIZE;

    void piece(__u32 ack, const w1_netlink_msg& m, const w1_netlink_cmd* c, const std::uint8_t* bytes, std::size_t n) {
      const std::size_t size = sizeof m + (c != nullptr ? sizeof *c : 0) + n;
      if (!bundle_) {
        std::vector<std::uint8_t> one;
        start_cn(one, ack);
        append(one, 0, m, c, bytes, n);
        out_.push_back(frame(one));
        return;
      }
      const bool joins = cn_at_ != npos && ack == ack_;
      if (buffer_.size() + size + (joins ? 0 : sizeof(cn_msg)) > kLimit) flush();
      if (cn_at_ == npos || ack != ack_) {
        cn_at_ = buffer_.size();
        start_cn(buffer_, ack);
      }
      append(buffer_, cn_at_, m, c, bytes, n);
    }
    // The request's cn_msg (kept as bytes: a structure that ends in a
    // flexible array cannot be a member).
    cn_msg request() const {
      cn_msg cn{};
      std::memcpy(&cn, req_.data(), sizeof cn);
      return cn;
    }
    void start_cn(std::vector<std::uint8_t>& to, __u32 ack) {
      cn_msg cn = request();
      cn.ack = ack;
      cn.len = 0;
      const std::size_t at = to.size();
      to.resize(at + sizeof cn);
      std::memcpy(to.data() + at, &cn, sizeof cn);
      ack_ = ack;
    }
    static void append(std::vector<std::uint8_t>& to, std::size_t cn_at, const w1_netlink_msg& m,
                       const w1_netlink_cmd* c, const std::uint8_t* bytes, std::size_t n) {
      const std::size_t at = to.size();
      const std::size_t size = sizeof m + (c != nullptr ? sizeof *c : 0) + n;
      to.resize(at + size);
      std::memcpy(to.data() + at, &m, sizeof m);
      if (c != nullptr) std::memcpy(to.data() + at + sizeof m, c, sizeof *c);
      if (n > 0) std::memcpy(to.data() + at + size - n, bytes, n);
      cn_msg cn{};
      std::memcpy(&cn, to.data() + cn_at, sizeof cn);
      cn.len = static_cast<__u16>(cn.len + size);
      std::memcpy(to.data() + cn_at, &cn, sizeof cn);
    }

    std::array<std::uint8_t, sizeof(cn_msg)> req_{};
    bool bundle_;
    std::vector<Datagram>& out_;
    std::vector<std::uint8_t> buffer_;
    std::size_t cn_at_ = npos;
    __u32 ack_ = 0;
  };

  static onewire::Rom rom_of(std::uint64_t v) {
    onewire::Rom r{};
    for (std::size_t i = 0; i < 8; ++i) r[i] = static_cast<std::uint8_t>(v >> (8 * i));
    return r;
  }

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
      run_master(it->second, msg, body, replies);
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

  // w1_process_command_master, command by command: data before status,
  // an error in one not stopping the next, a command reaching past its
  // message stopping everything.
  void run_master(Master& master, const w1_netlink_msg& msg, const std::uint8_t* body, Replies& replies) {
    onewire::sim::SimBus& bus = *master.bus;
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
          for (int i = 0; i < cmd.len; ++i) back.push_back(static_cast<std::uint8_t>(bus.touch_byte(0xFF)));
          replies.data(msg, cmd, back.data(), back.size());
          break;
        case W1_CMD_WRITE:
          for (int i = 0; i < cmd.len; ++i) bus.touch_byte(in[i]);
          break;
        case W1_CMD_TOUCH:
          for (int i = 0; i < cmd.len; ++i) back.push_back(static_cast<std::uint8_t>(bus.touch_byte(in[i])));
          replies.data(msg, cmd, back.data(), back.size());
          break;
        case W1_CMD_RESET:
          // w1_reset_bus: 0 with a presence pulse, 1 without. A line held
          // low (shorted) looks like a presence to a GPIO master.
          error = bus.reset() == onewire::kResetNoPresence ? 1 : 0;
          break;
        case W1_CMD_SEARCH:
        case W1_CMD_ALARM_SEARCH: {
          const auto ids = search(bus, cmd.cmd == W1_CMD_ALARM_SEARCH);
          for (auto id : ids)
            if (std::find(master.slaves.begin(), master.slaves.end(), id) == master.slaves.end())
              master.slaves.push_back(id);
          replies.data(msg, cmd, reinterpret_cast<const std::uint8_t*>(ids.data()), 8 * ids.size());
          break;
        }
        case W1_CMD_LIST_SLAVES:
          replies.data(msg, cmd, reinterpret_cast<const std::uint8_t*>(master.slaves.data()),
                       8 * master.slaves.size());
          break;
        default:
          error = -EINVAL;
      }
      replies.status(msg, cmd, error);
    }
  }

  // w1_search: passes of 64 triplets, each id found kept as a number whose
  // bit i is the i-th bit of the ROM; at most max_slave_count of them.
  std::vector<std::uint64_t> search(onewire::sim::SimBus& bus, bool alarm) const {
    std::vector<std::uint64_t> ids;
    std::uint64_t rn = 0;
    int desc_bit = 64;
    bool last_device = false;
    for (int count = 0; !last_device && count < max_slave_count_; ++count) {
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

  int fd_ = -1;
  int stop_ = -1;
  std::uint32_t port_ = 0;
  std::string why_;
  std::thread thread_;
  mutable std::mutex mu_;
  std::map<std::uint32_t, Master> masters_;
  bool silent_ = false;
  bool bundling_ = true;
  int max_slave_count_ = 64;
  std::function<void(std::vector<Datagram>&)> mangle_;
  std::vector<Datagram> requests_;
  std::vector<Datagram> last_replies_;
};

}  // namespace testing_support::w1kernel
