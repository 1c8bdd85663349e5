#include <httplib.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "qvds18x20/exit_codes.hpp"
#include "qvds18x20/publish/engines.hpp"

namespace qvtool {
namespace {

class MetricsServer : public Publisher {
 public:
  MetricsServer(const std::string& listen, std::shared_ptr<const Metrics> metrics) : metrics_(std::move(metrics)) {
    std::string host = "0.0.0.0";
    std::string port_text = listen;
    const std::size_t colon = listen.rfind(':');
    if (colon != std::string::npos) {
      host = listen.substr(0, colon);
      port_text = listen.substr(colon + 1);
      if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
      if (host.empty()) host = "0.0.0.0";
    }
    char* end = nullptr;
    const long port = std::strtol(port_text.c_str(), &end, 10);
    if (port_text.empty() || *end != 0 || port < 0 || port > 65535)
      throw UsageError("--metrics-listen takes [ADDR:]PORT with PORT 0..65535, not \"" + listen + "\"");
    // A scrape is one short request: a small pool is plenty.
    server_.new_task_queue = [] { return new httplib::ThreadPool(2); };
    server_.Get("/metrics", [this](const httplib::Request&, httplib::Response& res) {
      res.set_content(metrics_->text(), "text/plain; version=0.0.4; charset=utf-8");
    });
    const int bound = port == 0 ? server_.bind_to_any_port(host) : (server_.bind_to_port(host, static_cast<int>(port))
                                                                         ? static_cast<int>(port)
                                                                         : -1);
    if (bound < 0) throw Failure("--metrics-listen: cannot listen on " + listen + " (address in use or not local?)");
    const bool v6 = host.find(':') != std::string::npos;
    std::fprintf(stderr, "qvds18x20: serving metrics at http://%s:%d/metrics\n",
                 (v6 ? "[" + host + "]" : host).c_str(), bound);
    thread_ = std::thread([this] {
      server_.listen_after_bind();
      listening_ended_ = true;
    });
  }

  ~MetricsServer() override {
    // stop() before the server runs would be lost, and the join would hang.
    while (!server_.is_running() && !listening_ended_) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    server_.stop();
    thread_.join();
  }

  void publish(const Measurement&) override {}

 private:
  std::shared_ptr<const Metrics> metrics_;
  httplib::Server server_;
  std::atomic<bool> listening_ended_{false};
  std::thread thread_;
};

}  // namespace

std::unique_ptr<Publisher> make_metrics_server(const std::string& listen, std::shared_ptr<const Metrics> metrics) {
  return std::make_unique<MetricsServer>(listen, std::move(metrics));
}

}  // namespace qvtool
