// The kernel's w1 netlink messages (Linux only), as the fake kernel of
// fake_w1_kernel.hpp and the suites that talk to it read and write them:
// struct nlmsghdr and struct cn_msg from the uapi headers, and the w1
// ones below, which the kernel does not export, transcribed from
// drivers/w1/w1_netlink.h. Replies are built the way the kernel (3.16
// and later) builds them: statuses with the request's ack, data with
// seq + 1, gathered into one datagram under W1_CN_BUNDLE.
#pragma once

#include <linux/connector.h>
#include <linux/netlink.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

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

// --- requests as a client must send them, and what replies hold ---

struct Cmd {
  std::uint8_t cmd;
  std::vector<std::uint8_t> data;
};

// The request a client must send, built from the kernel's structures.
inline Datagram kernel_request(std::uint32_t seq, std::uint32_t master, const std::vector<Cmd>& cmds) {
  std::vector<std::uint8_t> body;
  for (const Cmd& c : cmds) {
    w1_netlink_cmd h{};
    h.cmd = c.cmd;
    h.len = static_cast<__u16>(c.data.size());
    const auto at = body.size();
    body.resize(at + sizeof h);
    std::memcpy(body.data() + at, &h, sizeof h);
    body.insert(body.end(), c.data.begin(), c.data.end());
  }
  w1_netlink_msg m{};
  m.type = W1_MASTER_CMD;
  m.len = static_cast<__u16>(body.size());
  m.id.mst.id = master;
  cn_msg cn{};
  cn.id.idx = CN_W1_IDX;
  cn.id.val = CN_W1_VAL;
  cn.seq = seq;
  cn.ack = seq;
  cn.len = static_cast<__u16>(sizeof m + body.size());
  cn.flags = W1_CN_BUNDLE;
  nlmsghdr h{};
  h.nlmsg_len = static_cast<__u32>(NLMSG_HDRLEN + sizeof cn + cn.len);
  h.nlmsg_type = NLMSG_DONE;
  h.nlmsg_flags = NLM_F_REQUEST;
  h.nlmsg_seq = seq;
  Datagram d(NLMSG_ALIGN(h.nlmsg_len), 0);
  std::memcpy(d.data(), &h, sizeof h);
  std::memcpy(d.data() + NLMSG_HDRLEN, &cn, sizeof cn);
  std::memcpy(d.data() + NLMSG_HDRLEN + sizeof cn, &m, sizeof m);
  std::memcpy(d.data() + NLMSG_HDRLEN + sizeof cn + sizeof m, body.data(), body.size());
  return d;
}

inline std::uint32_t seq_of(const Datagram& d) {
  nlmsghdr h{};
  std::memcpy(&h, d.data(), sizeof h);
  return h.nlmsg_seq;
}

// The cn_msgs of a reply datagram, as (ack, len) pairs.
inline std::vector<std::pair<std::uint32_t, std::uint16_t>> cn_msgs_of(const Datagram& d) {
  std::vector<std::pair<std::uint32_t, std::uint16_t>> out;
  nlmsghdr h{};
  std::memcpy(&h, d.data(), sizeof h);
  for (std::size_t at = NLMSG_HDRLEN; at + sizeof(cn_msg) <= h.nlmsg_len;) {
    cn_msg cn{};
    std::memcpy(&cn, d.data() + at, sizeof cn);
    out.emplace_back(cn.ack, cn.len);
    at += sizeof cn + cn.len;
  }
  return out;
}

}  // namespace testing_support::w1kernel
