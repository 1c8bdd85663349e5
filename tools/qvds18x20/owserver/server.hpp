// The owserver protocol's listener on the tool's event loop: connections,
// their requests framed and checked, keep-alive pings while an answer is
// made, persistence granted up to a limit, and the bounds that keep one
// slow or hostile client from holding up the others.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

namespace asio {
class io_context;
}

namespace qvtool::owserver {

class Handler;

struct ServerOptions {
  // Connections open at once; a new one beyond makes the one idle
  // longest go (one between requests or still sending its request).
  std::size_t max_connections = 64;
  // Connections granted persistence at once.
  std::size_t max_persistent = 20;
  // A request, header and body, arrives within this once the connection
  // waits for it (a new connection, or one whose persistence was denied).
  std::chrono::milliseconds request_timeout{10000};
  // A persistent connection may wait this long for its next request.
  std::chrono::milliseconds idle_timeout{600000};
  // The client takes its answer (and each ping) within this.
  std::chrono::milliseconds write_timeout{10000};
  // While an answer is made, a keep-alive ping this often.
  std::chrono::milliseconds ping_interval{1000};
};

class Server {
 public:
  // Listens on `host` (a numeric address or a name) and `port`; throws
  // Failure when it cannot. Construct and destroy it where the loop is
  // not running, or on its thread.
  Server(asio::io_context& io, Handler& handler, const std::string& host, const std::string& port,
         ServerOptions options = {});
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // The port it listens on (the one the system chose for port 0).
  unsigned short port() const;
  // The address it listens on, as host:port.
  std::string address() const;
  // Whether that address is a loopback one (nobody else can connect).
  bool loopback() const;
  // Connections open now (on the loop's thread).
  std::size_t connections() const;

  // The listener and its connections, shared with the handlers on the
  // loop (server.cpp).
  struct Core;

 private:
  std::shared_ptr<Core> core_;
};

}  // namespace qvtool::owserver
