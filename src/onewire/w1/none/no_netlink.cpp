// Systems without netlink (all but Linux): no kernel w1 master can be
// reached.
#include "onewire/w1/netlink_channel.hpp"

namespace onewire::w1 {

bool netlink_available() { return false; }

std::unique_ptr<NetlinkChannel> make_netlink_channel(std::uint32_t) { return nullptr; }

}  // namespace onewire::w1
