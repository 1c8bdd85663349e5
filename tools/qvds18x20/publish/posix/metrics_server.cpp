// The /metrics endpoint: a small HTTP/1.1 server on the tool's event loop
// (standalone Asio, shared with the owserver protocol's listener), so that
// no client can hold up another. A scrape is one short GET answered from
// memory; every connection gets a deadline for its request and for taking
// the answer, and at most kMaxConnections are open at once (a new one is
// never turned away: one that only drains, or else the one waiting
// longest for its request, makes room). Each answer closes its
// connection; Range and every other header are ignored, so an answer is
// the whole page or an error; HTTP/1.x only.
#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>
#include <asio/write.hpp>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <list>
#include <memory>

#include "qvds18x20/exit_codes.hpp"
#include "qvds18x20/net/event_loop.hpp"
#include "qvds18x20/net/listener.hpp"
#include "qvds18x20/publish/engines.hpp"
#include "qvds18x20/report.hpp"

namespace qvtool {
namespace {

using asio::ip::tcp;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kMaxConnections = 64;
constexpr std::size_t kMaxRequest = 8192;  // request line and headers
constexpr auto kRequestDeadline = std::chrono::seconds(5);
constexpr auto kAnswerDeadline = std::chrono::seconds(10);
// After the answer, what the client still sends is read and dropped for
// this long, so that closing does not reset the connection under an
// answer the client has not read yet.
constexpr auto kLinger = std::chrono::seconds(1);

std::string response(int status, const char* reason, const std::string& type, const std::string& body,
                     bool head = false, const char* extra = "") {
  std::string r = "HTTP/1.1 " + std::to_string(status) + " " + reason + "\r\nContent-Type: " + type +
                  "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" + extra + "Connection: close\r\n\r\n";
  if (!head) r += body;
  return r;
}

struct Endpoint;

class HttpConnection : public std::enable_shared_from_this<HttpConnection> {
 public:
  enum class State { kReading, kWriting, kDraining, kClosed };

  HttpConnection(std::shared_ptr<Endpoint> endpoint, tcp::socket socket);
  void start();
  void close();
  State state() const { return state_; }
  Clock::time_point since() const { return since_; }

 private:
  void expire_in(Clock::duration d);
  void read_more();
  void answer(std::string text);
  void drain();

  std::shared_ptr<Endpoint> endpoint_;
  tcp::socket socket_;
  asio::steady_timer deadline_;
  std::string in_;
  std::string out_;
  State state_ = State::kReading;
  Clock::time_point since_ = Clock::now();  // when its present state began
  char sink_[4096];
};

// The listener and its connections, on the loop's thread.
struct Endpoint : std::enable_shared_from_this<Endpoint> {
  Endpoint(asio::io_context& io, std::shared_ptr<const Metrics> m) : acceptor(io), metrics(std::move(m)) {}

  tcp::acceptor acceptor;
  std::shared_ptr<const Metrics> metrics;
  std::list<std::shared_ptr<HttpConnection>> connections;
  bool closed = false;

  void accept() {
    acceptor.async_accept([self = shared_from_this()](const asio::error_code& e, tcp::socket socket) {
      if (self->closed) return;
      if (!e) {
        if (self->connections.size() >= kMaxConnections) self->make_room();
        auto c = std::make_shared<HttpConnection>(self, std::move(socket));
        self->connections.push_back(c);
        c->start();
      }
      self->accept();
    });
  }

  // The connection that gives way to a new one, so that a new scrape is
  // never turned away: the oldest that only waits to drain (its answer
  // is with the system already; a client that never reads holds it there
  // for nothing), else the one that has waited longest for its request,
  // else the oldest still taking its answer.
  void make_room() {
    std::shared_ptr<HttpConnection> victim;
    for (const auto state : {HttpConnection::State::kDraining, HttpConnection::State::kReading,
                             HttpConnection::State::kWriting}) {
      for (const auto& c : connections)
        if (c->state() == state && (!victim || c->since() < victim->since())) victim = c;
      if (victim) break;
    }
    if (victim) victim->close();
  }

  void forget(HttpConnection* c) {
    for (auto it = connections.begin(); it != connections.end(); ++it)
      if (it->get() == c) {
        auto keep = *it;
        connections.erase(it);
        return;
      }
  }

  // The answer to a request (its line and headers).
  std::string answer(const std::string& request) const {
    const std::string line = request.substr(0, request.find_first_of("\r\n"));
    const auto sp1 = line.find(' ');
    const auto sp2 = sp1 == std::string::npos ? std::string::npos : line.find(' ', sp1 + 1);
    if (sp2 == std::string::npos || line.compare(sp2 + 1, 5, "HTTP/") != 0)
      return response(400, "Bad Request", "text/plain", "bad request\n");
    // HTTP/MAJOR.MINOR: any 1.x is ours to answer (in 1.1), another major
    // version is not.
    const std::string version = line.substr(sp2 + 6);
    const bool numbered = version.size() >= 3 && std::isdigit(static_cast<unsigned char>(version[0])) &&
                          version[1] == '.' &&
                          version.find_first_not_of("0123456789", 2) == std::string::npos;
    if (!numbered) return response(400, "Bad Request", "text/plain", "bad request\n");
    if (version[0] != '1')
      return response(505, "HTTP Version Not Supported", "text/plain", "HTTP/1.0 or HTTP/1.1\n");
    const std::string method = line.substr(0, sp1);
    std::string target = line.substr(sp1 + 1, sp2 - sp1 - 1);
    target = target.substr(0, target.find('?'));
    if (target != "/metrics") return response(404, "Not Found", "text/plain", "the metrics are at /metrics\n");
    const bool head = method == "HEAD";
    if (method != "GET" && !head)
      return response(405, "Method Not Allowed", "text/plain", "GET or HEAD\n", false, "Allow: GET, HEAD\r\n");
    return response(200, "OK", "text/plain; version=0.0.4; charset=utf-8", metrics->text(), head);
  }
};

HttpConnection::HttpConnection(std::shared_ptr<Endpoint> endpoint, tcp::socket socket)
    : endpoint_(std::move(endpoint)), socket_(std::move(socket)), deadline_(socket_.get_executor()) {}

void HttpConnection::expire_in(Clock::duration d) {
  deadline_.expires_after(d);
  deadline_.async_wait([weak = weak_from_this()](const asio::error_code& e) {
    if (e) return;
    if (auto self = weak.lock()) self->close();
  });
}

void HttpConnection::start() {
  // The request's deadline runs from the connection on, however slowly
  // its lines come.
  expire_in(kRequestDeadline);
  read_more();
}

void HttpConnection::read_more() {
  socket_.async_read_some(asio::buffer(sink_), [self = shared_from_this()](const asio::error_code& e, std::size_t n) {
    if (self->state_ != State::kReading) return;
    if (e) return self->close();
    self->in_.append(self->sink_, n);
    const std::size_t end = std::min(self->in_.find("\r\n\r\n"), self->in_.find("\n\n"));
    if (end == std::string::npos && self->in_.size() <= kMaxRequest) return self->read_more();
    self->answer(end == std::string::npos
                     ? response(431, "Request Header Fields Too Large", "text/plain", "too long\n")
                     : self->endpoint_->answer(self->in_.substr(0, end)));
  });
}

void HttpConnection::answer(std::string text) {
  in_.clear();
  out_ = std::move(text);
  state_ = State::kWriting;
  since_ = Clock::now();
  expire_in(kAnswerDeadline);
  asio::async_write(socket_, asio::buffer(out_), [self = shared_from_this()](const asio::error_code& e, std::size_t) {
    if (self->state_ != State::kWriting) return;
    if (e) return self->close();
    asio::error_code ignored;
    self->socket_.shutdown(tcp::socket::shutdown_send, ignored);
    self->state_ = State::kDraining;
    self->since_ = Clock::now();
    self->expire_in(kLinger);
    self->drain();
  });
}

void HttpConnection::close() {
  if (state_ == State::kClosed) return;
  state_ = State::kClosed;
  asio::error_code ignored;
  deadline_.cancel();
  socket_.close(ignored);
  endpoint_->forget(this);
}

void HttpConnection::drain() {
  socket_.async_read_some(asio::buffer(sink_), [self = shared_from_this()](const asio::error_code& e, std::size_t) {
    if (self->state_ != State::kDraining) return;
    if (e) return self->close();
    self->drain();
  });
}

class MetricsServer : public Publisher {
 public:
  MetricsServer(const std::string& listen, std::shared_ptr<const Metrics> metrics,
                std::shared_ptr<net::EventLoop> loop)
      : loop_(loop ? std::move(loop) : std::make_shared<net::EventLoop>()) {
    const ListenAddress where = parse_metrics_listen(listen);
    endpoint_ = std::make_shared<Endpoint>(loop_->context(), std::move(metrics));
    std::string why;
    endpoint_->acceptor = net::listen_on(loop_->context(), where.host, where.port, 64, "another watch", why);
    if (!endpoint_->acceptor.is_open())
      throw Failure("--metrics-listen: cannot listen on " + shorten(listen) + " (" + why + ")");
    asio::error_code e;
    const tcp::endpoint bound = endpoint_->acceptor.local_endpoint(e);
    const bool v6 = where.host.find(':') != std::string::npos;
    report(Severity::kInfo, "serving metrics at http://" + (v6 ? "[" + where.host + "]" : where.host) + ":" +
                                std::to_string(bound.port()) + "/metrics");
    loop_->run_sync([this] { endpoint_->accept(); });
    loop_->start();
  }

  ~MetricsServer() override {
    // Its sockets are the loop's: closed on its thread, or here once it
    // has stopped.
    loop_->run_sync([endpoint = endpoint_] {
      endpoint->closed = true;
      asio::error_code ignored;
      endpoint->acceptor.close(ignored);
      while (!endpoint->connections.empty()) endpoint->connections.front()->close();
    });
  }

  void publish(const Measurement&) override {}

 private:
  std::shared_ptr<net::EventLoop> loop_;
  std::shared_ptr<Endpoint> endpoint_;
};

}  // namespace

std::unique_ptr<Publisher> make_metrics_server(const std::string& listen, std::shared_ptr<const Metrics> metrics,
                                               std::shared_ptr<net::EventLoop> loop) {
  return std::make_unique<MetricsServer>(listen, std::move(metrics), std::move(loop));
}

}  // namespace qvtool
