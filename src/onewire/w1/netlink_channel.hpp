// The w1 link's way to the kernel: one netlink datagram out, datagrams
// back with a deadline. A NETLINK_CONNECTOR socket implements it on Linux
// (linux/), the tests' scripted channels elsewhere, so the protocol code
// never sees which one it talks to.
//
// Results follow the driver's convention: >= 0 is the answer, a negative
// value one of the codes of onewire/errors.hpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "rtl/clock.hpp"

namespace onewire::w1 {

class NetlinkChannel {
 public:
  virtual ~NetlinkChannel() = default;

  // Makes the socket: 1, kErrW1NoConnector when the kernel has no netlink
  // connector, kErrPermission when the system refuses the socket.
  virtual int open() = 0;
  virtual void close() = 0;
  virtual bool is_open() const = 0;

  // Sends one datagram to the w1 subsystem: 1, kErrPermission when the
  // system refuses it, kErrW1NoConnector when nobody listens there, or
  // kErrPortIo.
  virtual int send(const std::uint8_t* data, std::size_t n) = 0;
  // Waits up to `timeout` for one datagram from the w1 subsystem and puts
  // it in `datagram` (a datagram longer than the channel takes arrives cut
  // short, and so fails to parse): its size, 0 when none came in time, or
  // a negative code. Datagrams from anyone else are dropped unseen.
  virtual int receive(std::vector<std::uint8_t>& datagram, rtl::Duration timeout) = 0;
};

// Whether this system has netlink sockets at all (Linux).
bool netlink_available();

// A channel to the netlink port `peer` (0: the kernel; a test's fake
// kernel has a port of its own), not yet opened; null where there is no
// netlink.
std::unique_ptr<NetlinkChannel> make_netlink_channel(std::uint32_t peer);

}  // namespace onewire::w1
