#include "qvds18x20/owserver/server.hpp"

#include <asio/ip/tcp.hpp>
#include <asio/read.hpp>
#include <asio/steady_timer.hpp>
#include <asio/write.hpp>
#include <algorithm>
#include <deque>
#include <list>
#include <vector>

#include "qvds18x20/exit_codes.hpp"
#include "qvds18x20/net/listener.hpp"
#include "qvds18x20/owserver/handler.hpp"
#include "qvds18x20/owserver/wire.hpp"

namespace qvtool::owserver {
namespace {

using asio::ip::tcp;
using Clock = std::chrono::steady_clock;

// After a reply that ends a connection, what the client still sends is
// read and dropped for this long, so that closing does not reset the
// connection under an answer it has not read yet.
constexpr auto kLinger = std::chrono::seconds(1);

}  // namespace

class Connection;

struct Server::Core {
  Core(asio::io_context& context, Handler& h, ServerOptions o) : io(context), acceptor(context), handler(h), options(o) {}

  asio::io_context& io;
  tcp::acceptor acceptor;
  Handler& handler;
  ServerOptions options;
  std::list<std::shared_ptr<Connection>> connections;
  std::size_t persistent = 0;
  bool accepting = false;
  bool closed = false;

  void accept(const std::shared_ptr<Core>& self);
  // Room for one more connection: the oldest idle one goes when all are
  // taken; false when none is idle.
  bool make_room();
  void forget(Connection* c);
  // A connection became idle or went: accepting may go on.
  void resume(const std::shared_ptr<Core>& self) {
    if (!accepting && !closed) accept(self);
  }
};

class Connection : public std::enable_shared_from_this<Connection> {
 public:
  Connection(std::shared_ptr<Server::Core> core, tcp::socket socket)
      : core_(std::move(core)), socket_(std::move(socket)), deadline_(core_->io), ping_timer_(core_->io) {}

  void start() {
    idle_since_ = Clock::now();
    read_header(core_->options.request_timeout);
  }

  // Waiting for a request (or part of one), not answering: it may go to
  // make room.
  bool idle() const { return state_ == State::kReadingHeader; }
  Clock::time_point idle_since() const { return idle_since_; }

  void close() {
    if (state_ == State::kClosed) return;
    if (persistent_) {
      persistent_ = false;
      --core_->persistent;
    }
    state_ = State::kClosed;
    asio::error_code ignored;
    deadline_.cancel();
    ping_timer_.cancel();
    socket_.shutdown(tcp::socket::shutdown_both, ignored);
    socket_.close(ignored);
    core_->forget(this);
  }

 private:
  enum class State { kReadingHeader, kReadingBody, kAnswering, kLingering, kClosed };

  void expire_in(std::chrono::milliseconds d) {
    deadline_.expires_after(d);
    deadline_.async_wait([weak = weak_from_this()](const asio::error_code& e) {
      if (e) return;
      if (auto self = weak.lock()) self->close();
    });
  }

  void read_header(std::chrono::milliseconds timeout) {
    state_ = State::kReadingHeader;
    idle_since_ = Clock::now();
    expire_in(timeout);
    core_->resume(core_);
    asio::async_read(socket_, asio::buffer(header_), [self = shared_from_this()](const asio::error_code& e, std::size_t) {
      if (self->state_ != State::kReadingHeader) return;
      // A client that connects and leaves without a request is no error.
      if (e) return self->close();
      self->on_header();
    });
  }

  void on_header() {
    const Header h = decode_header(header_.data());
    const RequestShape shape = check_request_header(h);
    if (shape.malformed) {
      // Where the next request would begin is unknown: the connection
      // ends after saying why.
      refuse(h.payload > kMaxRequestPayload ? kErrMsgSize : kErrBadMsg, h.flags);
      return;
    }
    state_ = State::kReadingBody;
    request_header_ = h;
    body_.assign(shape.body_bytes, '\0');
    tokens_ = shape.tokens;
    expire_in(core_->options.request_timeout);
    if (body_.empty()) return on_body();
    asio::async_read(socket_, asio::buffer(body_), [self = shared_from_this()](const asio::error_code& e, std::size_t) {
      if (self->state_ != State::kReadingBody) return;
      if (e) return self->close();
      self->on_body();
    });
  }

  void on_body() {
    // A forwarding server's anti-loop tokens follow the payload.
    const std::size_t payload = body_.size() - tokens_ * kTokenSize;
    int error = 0;
    Request request = parse_request(request_header_, std::string_view(body_).substr(0, payload), error);
    body_.clear();
    body_.shrink_to_fit();
    const bool wants = (request_header_.flags & kFlagPersistence) != 0;
    if (wants && !persistent_ && core_->persistent < core_->options.max_persistent) {
      persistent_ = true;
      ++core_->persistent;
    } else if (!wants && persistent_) {
      persistent_ = false;
      --core_->persistent;
    }
    const std::int32_t flags = (request_header_.flags & ~kFlagPersistence) | (persistent_ ? kFlagPersistence : 0);
    state_ = State::kAnswering;
    deadline_.cancel();
    if (error != 0) return answered({error_reply(error, flags)});
    schedule_ping();
    core_->handler.handle(request, flags, [weak = weak_from_this()](std::vector<std::string> messages) {
      if (auto self = weak.lock()) self->answered(std::move(messages));
    });
  }

  void refuse(int code, std::int32_t flags) {
    state_ = State::kAnswering;
    persistent_refused_ = true;
    answered({error_reply(code, flags & ~kFlagPersistence)});
  }

  void schedule_ping() {
    ping_timer_.expires_after(core_->options.ping_interval);
    ping_timer_.async_wait([weak = weak_from_this()](const asio::error_code& e) {
      if (e) return;
      auto self = weak.lock();
      if (!self || self->state_ != State::kAnswering || self->replied_) return;
      self->send(ping());
      self->schedule_ping();
    });
  }

  void answered(std::vector<std::string> messages) {
    if (state_ != State::kAnswering) return;
    replied_ = true;
    ping_timer_.cancel();
    for (auto& m : messages) send(std::move(m));
  }

  void send(std::string message) {
    out_.push_back(std::move(message));
    if (!writing_) write_next();
  }

  void write_next() {
    if (out_.empty()) {
      writing_ = false;
      if (state_ == State::kAnswering && replied_) after_reply();
      else if (state_ == State::kAnswering) deadline_.cancel();
      return;
    }
    writing_ = true;
    expire_in(core_->options.write_timeout);
    asio::async_write(socket_, asio::buffer(out_.front()), [self = shared_from_this()](const asio::error_code& e,
                                                                                         std::size_t) {
      if (self->state_ == State::kClosed) return;
      if (e) return self->close();
      self->out_.pop_front();
      self->write_next();
    });
  }

  void after_reply() {
    replied_ = false;
    if (persistent_ && !persistent_refused_) {
      read_header(core_->options.idle_timeout);
      return;
    }
    // Closed from this side: a client that half-closed after its request
    // reads the answer to the end.
    state_ = State::kLingering;
    asio::error_code ignored;
    socket_.shutdown(tcp::socket::shutdown_send, ignored);
    expire_in(std::chrono::duration_cast<std::chrono::milliseconds>(kLinger));
    drain();
  }

  void drain() {
    socket_.async_read_some(asio::buffer(header_), [self = shared_from_this()](const asio::error_code& e, std::size_t) {
      if (self->state_ != State::kLingering) return;
      if (e) return self->close();
      self->drain();
    });
  }

  std::shared_ptr<Server::Core> core_;
  tcp::socket socket_;
  asio::steady_timer deadline_;
  asio::steady_timer ping_timer_;
  State state_ = State::kReadingHeader;
  Clock::time_point idle_since_{};
  std::array<std::uint8_t, kHeaderSize> header_{};
  Header request_header_{};
  std::string body_;
  std::size_t tokens_ = 0;
  std::deque<std::string> out_;
  bool writing_ = false;
  bool replied_ = false;
  bool persistent_ = false;
  bool persistent_refused_ = false;
};

void Server::Core::accept(const std::shared_ptr<Core>& self) {
  const bool room = connections.size() < options.max_connections ||
                    std::any_of(connections.begin(), connections.end(), [](const auto& c) { return c->idle(); });
  if (!room) {
    // Every connection is busy with a request: new ones wait in the
    // system's queue until one is done.
    accepting = false;
    return;
  }
  accepting = true;
  acceptor.async_accept([self](const asio::error_code& e, tcp::socket socket) {
    self->accepting = false;
    if (self->closed) return;
    if (!e) {
      if (self->connections.size() >= self->options.max_connections && !self->make_room()) {
        asio::error_code ignored;
        socket.close(ignored);
      } else {
        asio::error_code ignored;
        socket.set_option(tcp::no_delay(true), ignored);
        auto c = std::make_shared<Connection>(self, std::move(socket));
        self->connections.push_back(c);
        c->start();
      }
    }
    self->accept(self);
  });
}

bool Server::Core::make_room() {
  std::shared_ptr<Connection> oldest;
  for (const auto& c : connections)
    if (c->idle() && (!oldest || c->idle_since() < oldest->idle_since())) oldest = c;
  if (!oldest) return false;
  oldest->close();
  return true;
}

void Server::Core::forget(Connection* c) {
  for (auto it = connections.begin(); it != connections.end(); ++it)
    if (it->get() == c) {
      // The list's reference goes last: the connection may be running.
      auto keep = *it;
      connections.erase(it);
      break;
    }
}

Server::Server(asio::io_context& io, Handler& handler, const std::string& host, const std::string& port,
               ServerOptions options)
    : core_(std::make_shared<Core>(io, handler, options)) {
  std::string why;
  core_->acceptor = net::listen_on(io, host, port, asio::socket_base::max_listen_connections, "another serve", why);
  if (!core_->acceptor.is_open())
    throw Failure("--owserver: cannot listen on " + host + ":" + port + " (" + why + ")");
  core_->accept(core_);
}

Server::~Server() {
  core_->closed = true;
  asio::error_code ignored;
  core_->acceptor.close(ignored);
  while (!core_->connections.empty()) core_->connections.front()->close();
}

unsigned short Server::port() const {
  asio::error_code e;
  return core_->acceptor.local_endpoint(e).port();
}

std::string Server::address() const {
  asio::error_code e;
  const auto end = core_->acceptor.local_endpoint(e);
  const std::string host = end.address().to_string();
  return (end.address().is_v6() ? "[" + host + "]" : host) + ":" + std::to_string(end.port());
}

bool Server::loopback() const {
  asio::error_code e;
  return core_->acceptor.local_endpoint(e).address().is_loopback();
}

std::size_t Server::connections() const { return core_->connections.size(); }

}  // namespace qvtool::owserver
