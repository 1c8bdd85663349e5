// The netlink connector socket to the kernel's w1 subsystem. It joins no
// multicast group: since 3.15 the kernel answers the requesting socket
// alone, and sending to the kernel needs no privilege, so a user without
// CAP_NET_ADMIN reaches the masters (unless a security module refuses).
#include <linux/connector.h>
#include <linux/netlink.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>

#include "onewire/errors.hpp"
#include "onewire/w1/netlink_channel.hpp"
#include "onewire/w1/protocol.hpp"

namespace onewire::w1 {

// Our layout against the kernel's own headers.
static_assert(NETLINK_CONNECTOR == kNetlinkConnector);
static_assert(CN_W1_IDX == kCnW1Idx && CN_W1_VAL == kCnW1Val);
static_assert(NLMSG_DONE == kNlmsgDone && NLM_F_REQUEST == kNlmFRequest);
static_assert(CONNECTOR_MAX_MSG_SIZE == kMaxPayload);
static_assert(sizeof(nlmsghdr) == kNlmsgHeaderSize && NLMSG_HDRLEN == kNlmsgHeaderSize);
static_assert(offsetof(nlmsghdr, nlmsg_len) == kNlmsgLenAt && offsetof(nlmsghdr, nlmsg_type) == kNlmsgTypeAt &&
              offsetof(nlmsghdr, nlmsg_flags) == kNlmsgFlagsAt && offsetof(nlmsghdr, nlmsg_seq) == kNlmsgSeqAt &&
              offsetof(nlmsghdr, nlmsg_pid) == kNlmsgPidAt);
static_assert(sizeof(cn_msg) == kCnMsgSize);
static_assert(offsetof(cn_msg, id.idx) == kCnIdxAt && offsetof(cn_msg, id.val) == kCnValAt &&
              offsetof(cn_msg, seq) == kCnSeqAt && offsetof(cn_msg, ack) == kCnAckAt &&
              offsetof(cn_msg, len) == kCnLenAt && offsetof(cn_msg, flags) == kCnFlagsAt);

namespace {

// Every reply fits: the kernel sends at most kMaxPayload after the
// netlink header. One more byte tells a longer datagram apart.
constexpr std::size_t kReceiveLimit = kNlmsgHeaderSize + kMaxPayload + 1;

int poll_ms(rtl::Duration d) {
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(d).count();
  return static_cast<int>(std::clamp<long long>(ms, 0, 1000));
}

int code_of(int err) {
  switch (err) {
    case EPROTONOSUPPORT:
    case EAFNOSUPPORT:
    case ECONNREFUSED:
      return kErrW1NoConnector;
    case EPERM:
    case EACCES:
      return kErrPermission;
    default:
      return kErrPortIo;
  }
}

class NetlinkSocket final : public NetlinkChannel {
 public:
  explicit NetlinkSocket(std::uint32_t peer) : peer_(peer) {}
  ~NetlinkSocket() override { close(); }

  int open() override {
    if (fd_ >= 0) return 1;
    const int fd = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_CONNECTOR);
    if (fd < 0) return code_of(errno);
    sockaddr_nl self{};
    self.nl_family = AF_NETLINK;
    self.nl_pid = 0;  // the kernel picks a free port id
    self.nl_groups = 0;
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&self), sizeof self) != 0) {
      const int err = errno;
      ::close(fd);
      return code_of(err);
    }
    fd_ = fd;
    return 1;
  }

  void close() override {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  bool is_open() const override { return fd_ >= 0; }

  int send(const std::uint8_t* data, std::size_t n) override {
    if (fd_ < 0) return kErrPortIo;
    sockaddr_nl to{};
    to.nl_family = AF_NETLINK;
    to.nl_pid = peer_;
    to.nl_groups = 0;
    ssize_t k = 0;
    do {
      k = ::sendto(fd_, data, n, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    } while (k < 0 && errno == EINTR);
    if (k < 0) return code_of(errno);
    return static_cast<std::size_t>(k) == n ? 1 : kErrPortIo;
  }

  int receive(std::vector<std::uint8_t>& datagram, rtl::Duration timeout) override {
    if (fd_ < 0) return kErrPortIo;
    const auto end = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      pollfd p{fd_, POLLIN, 0};
      const auto left = end - std::chrono::steady_clock::now();
      const int pr = ::poll(&p, 1, poll_ms(std::max(left, rtl::Duration(0))));
      if (pr < 0 && errno != EINTR) return kErrPortIo;
      if (pr <= 0) {
        if (std::chrono::steady_clock::now() >= end) return 0;
        continue;
      }
      datagram.resize(kReceiveLimit);
      sockaddr_nl from{};
      socklen_t from_len = sizeof from;
      const ssize_t k = ::recvfrom(fd_, datagram.data(), datagram.size(), MSG_DONTWAIT | MSG_TRUNC,
                                   reinterpret_cast<sockaddr*>(&from), &from_len);
      if (k < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
        // ENOBUFS: the socket's buffer overran and replies were lost; the
        // request that waits for them cannot be trusted.
        return kErrPortIo;
      }
      // Only the w1 subsystem's port may speak to us; anyone else (a
      // process with CAP_NET_ADMIN) is not listened to.
      if (from.nl_pid != peer_ || from.nl_groups != 0) continue;
      datagram.resize(std::min(static_cast<std::size_t>(k), datagram.size()));
      return static_cast<int>(std::max<std::size_t>(datagram.size(), 1));
    }
  }

 private:
  std::uint32_t peer_;
  int fd_ = -1;
};

}  // namespace

bool netlink_available() { return true; }

std::unique_ptr<NetlinkChannel> make_netlink_channel(std::uint32_t peer) {
  return std::make_unique<NetlinkSocket>(peer);
}

}  // namespace onewire::w1
