// The /metrics endpoint: a small HTTP/1.1 server of its own, one thread
// and poll(), so that no client can hold up another. A scrape is one
// short GET answered from memory; every connection gets a deadline for
// its request and for taking the answer, and at most kMaxConnections are
// open at once (a new one is never turned away: one that only drains, or
// else the one waiting longest for its request, makes room). Each answer
// closes its connection; Range and every other header are ignored, so an
// answer is the whole page or an error; HTTP/1.x only.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <list>
#include <thread>
#include <vector>

#include "qvds18x20/exit_codes.hpp"
#include "qvds18x20/publish/engines.hpp"
#include "qvds18x20/report.hpp"

namespace qvtool {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kMaxConnections = 64;
constexpr std::size_t kMaxRequest = 8192;  // request line and headers
constexpr auto kRequestDeadline = std::chrono::seconds(5);
constexpr auto kAnswerDeadline = std::chrono::seconds(10);
// After the answer, what the client still sends is read and dropped for
// this long, so that closing does not reset the connection under an
// answer the client has not read yet.
constexpr auto kLinger = std::chrono::seconds(1);

struct Connection {
  int fd = -1;
  enum class State { kReading, kWriting, kDraining } state = State::kReading;
  std::string in, out;
  std::size_t sent = 0;
  Clock::time_point deadline;
};

std::string response(int status, const char* reason, const std::string& type, const std::string& body,
                     bool head = false, const char* extra = "") {
  std::string r = "HTTP/1.1 " + std::to_string(status) + " " + reason + "\r\nContent-Type: " + type +
                  "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" + extra + "Connection: close\r\n\r\n";
  if (!head) r += body;
  return r;
}

class MetricsServer : public Publisher {
 public:
  MetricsServer(const std::string& listen, std::shared_ptr<const Metrics> metrics) : metrics_(std::move(metrics)) {
    const ListenAddress where = parse_metrics_listen(listen);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    if (const int rc = getaddrinfo(where.host.c_str(), where.port.c_str(), &hints, &found); rc != 0)
      throw Failure("--metrics-listen: cannot listen on " + shorten(listen) + " (" + gai_strerror(rc) + ")");
    std::string why;
    for (addrinfo* a = found; a != nullptr && listener_ < 0; a = a->ai_next) {
      const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
      if (fd < 0) {
        why = std::strerror(errno);
        continue;
      }
      // Reuse of a port whose last connections are still closing; not
      // SO_REUSEPORT, which would let two programs serve one port.
      const int one = 1;
      setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
      if (::bind(fd, a->ai_addr, a->ai_addrlen) != 0 || ::listen(fd, 64) != 0) {
        why = errno == EADDRINUSE ? std::string("the port is in use, by another program or another watch")
                                  : std::strerror(errno);
        ::close(fd);
        continue;
      }
      listener_ = fd;
    }
    freeaddrinfo(found);
    if (listener_ < 0) throw Failure("--metrics-listen: cannot listen on " + shorten(listen) + " (" + why + ")");
    sockaddr_storage bound{};
    socklen_t size = sizeof bound;
    int port = 0;
    if (getsockname(listener_, reinterpret_cast<sockaddr*>(&bound), &size) == 0)
      port = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                               : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
    wake_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake_ < 0) {
      ::close(listener_);
      throw Failure(std::string("--metrics-listen: cannot start the server (") + std::strerror(errno) + ")");
    }
    const bool v6 = where.host.find(':') != std::string::npos;
    report(Severity::kInfo, "serving metrics at http://" + (v6 ? "[" + where.host + "]" : where.host) + ":" +
                                std::to_string(port) + "/metrics");
    thread_ = std::thread([this] { serve(); });
  }

  ~MetricsServer() override {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t w = ::write(wake_, &one, sizeof one);
    thread_.join();
    for (auto& c : connections_) ::close(c.fd);
    ::close(listener_);
    ::close(wake_);
  }

  void publish(const Measurement&) override {}

 private:
  void serve() {
    std::vector<pollfd> fds;
    for (;;) {
      const auto now = Clock::now();
      expire(now);
      fds.clear();
      fds.push_back({wake_, POLLIN, 0});
      fds.push_back({listener_, POLLIN, 0});
      auto next = now + std::chrono::hours(1);
      for (const auto& c : connections_) {
        fds.push_back({c.fd, static_cast<short>(c.state == Connection::State::kWriting ? POLLOUT : POLLIN), 0});
        next = std::min(next, c.deadline);
      }
      const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count() + 1;
      const int r = ::poll(fds.data(), fds.size(), static_cast<int>(std::clamp<long long>(wait, 1, 60000)));
      if (r < 0 && errno != EINTR) return;
      if (r <= 0) continue;
      if ((fds[0].revents & POLLIN) != 0) return;
      // The connections first: accepting may close the oldest of them.
      std::size_t i = 2;
      for (auto it = connections_.begin(); it != connections_.end(); ++i) {
        const short events = fds[i].revents;
        it = events != 0 && !step(*it) ? drop(it) : std::next(it);
      }
      if ((fds[1].revents & POLLIN) != 0) accept_all();
    }
  }

  std::list<Connection>::iterator drop(std::list<Connection>::iterator it) {
    ::close(it->fd);
    return connections_.erase(it);
  }

  void expire(Clock::time_point now) {
    for (auto it = connections_.begin(); it != connections_.end();)
      it = now >= it->deadline ? drop(it) : std::next(it);
  }

  void accept_all() {
    for (int n = 0; n < 16; ++n) {
      const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
      if (fd < 0) return;
      if (connections_.size() >= kMaxConnections) drop(make_room());
      Connection c;
      c.fd = fd;
      c.deadline = Clock::now() + kRequestDeadline;
      connections_.push_back(std::move(c));
    }
  }

  // The connection that gives way to a new one, so that a new scrape is
  // never turned away: the oldest that only waits to drain (its answer
  // is with the system already; a client that never reads holds it there
  // for nothing), else the one that has waited longest for its request,
  // else the oldest still taking its answer.
  std::list<Connection>::iterator make_room() {
    for (const auto state : {Connection::State::kDraining, Connection::State::kReading}) {
      const auto it = std::find_if(connections_.begin(), connections_.end(),
                                   [state](const Connection& c) { return c.state == state; });
      if (it != connections_.end()) return it;
    }
    return connections_.begin();
  }

  // Moves a connection on; false when it is done with.
  bool step(Connection& c) {
    char buf[4096];
    switch (c.state) {
      case Connection::State::kReading: {
        const ssize_t n = ::recv(c.fd, buf, sizeof buf, 0);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) return false;
        if (n < 0) return true;
        c.in.append(buf, static_cast<std::size_t>(n));
        const auto end = std::min(c.in.find("\r\n\r\n"), c.in.find("\n\n"));
        if (end == std::string::npos && c.in.size() <= kMaxRequest) return true;
        c.out = end == std::string::npos ? response(431, "Request Header Fields Too Large", "text/plain", "too long\n")
                                         : answer(c.in.substr(0, end));
        c.in.clear();
        c.state = Connection::State::kWriting;
        c.deadline = Clock::now() + kAnswerDeadline;
        return write_some(c);
      }
      case Connection::State::kWriting:
        return write_some(c);
      case Connection::State::kDraining: {
        const ssize_t n = ::recv(c.fd, buf, sizeof buf, 0);
        return n > 0 || (n < 0 && (errno == EAGAIN || errno == EINTR));
      }
    }
    return false;
  }

  bool write_some(Connection& c) {
    while (c.sent < c.out.size()) {
      const ssize_t n = ::send(c.fd, c.out.data() + c.sent, c.out.size() - c.sent, MSG_NOSIGNAL);
      if (n < 0) return errno == EAGAIN || errno == EINTR;
      c.sent += static_cast<std::size_t>(n);
    }
    ::shutdown(c.fd, SHUT_WR);
    c.state = Connection::State::kDraining;
    c.deadline = Clock::now() + kLinger;
    return true;
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
    return response(200, "OK", "text/plain; version=0.0.4; charset=utf-8", metrics_->text(), head);
  }

  std::shared_ptr<const Metrics> metrics_;
  int listener_ = -1;
  int wake_ = -1;
  std::list<Connection> connections_;  // the serving thread's
  std::thread thread_;
};

}  // namespace

std::unique_ptr<Publisher> make_metrics_server(const std::string& listen, std::shared_ptr<const Metrics> metrics) {
  return std::make_unique<MetricsServer>(listen, std::move(metrics));
}

}  // namespace qvtool
