// A listening socket for the tool's servers (/metrics, owserver): the
// first address the host resolves to that can be bound, with address
// reuse for a port whose last connections are still closing.
#pragma once

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <string>

namespace qvtool::net {

// Listens on `host`:`port` with room for `backlog` waiting connections.
// A closed acceptor when no address could be bound, with `why` in words
// ("the port is in use, by another program or " + `other_user`).
asio::ip::tcp::acceptor listen_on(asio::io_context& io, const std::string& host, const std::string& port,
                                  int backlog, const std::string& other_user, std::string& why);

}  // namespace qvtool::net
