#include "qvds18x20/net/listener.hpp"

namespace qvtool::net {

using asio::ip::tcp;

tcp::acceptor listen_on(asio::io_context& io, const std::string& host, const std::string& port, int backlog,
                        const std::string& other_user, std::string& why) {
  asio::error_code e;
  tcp::resolver resolver(io);
  const auto found = resolver.resolve(host, port, tcp::resolver::passive | tcp::resolver::numeric_service, e);
  if (e) {
    why = e.message();
    return tcp::acceptor(io);
  }
  for (const auto& entry : found) {
    tcp::acceptor a(io);
    a.open(entry.endpoint().protocol(), e);
    if (e) {
      why = e.message();
      continue;
    }
    // Reuse of a port whose last connections are still closing; not
    // SO_REUSEPORT, which would let two programs serve one port.
    a.set_option(tcp::acceptor::reuse_address(true), e);
    a.bind(entry.endpoint(), e);
    if (!e) a.listen(backlog, e);
    if (e) {
      why = e == asio::error::address_in_use ? "the port is in use, by another program or " + other_user : e.message();
      continue;
    }
    return a;
  }
  return tcp::acceptor(io);
}

}  // namespace qvtool::net
