// The tool's one event loop for its network listeners (the owserver
// protocol, the /metrics endpoint): standalone Asio's io_context, run on a
// thread of its own. Listeners put their sockets and timers on it; other
// threads hand it work with post().
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <thread>

namespace asio {
class io_context;
}

namespace qvtool::net {

class EventLoop {
 public:
  EventLoop();
  // Stops the loop and waits for its thread.
  ~EventLoop();
  EventLoop(const EventLoop&) = delete;
  EventLoop& operator=(const EventLoop&) = delete;

  asio::io_context& context();
  // Runs the loop on its thread (once); it runs until stop(), idle or not.
  void start();
  // Ends the loop after the handler under way, and waits for its thread.
  // Work still queued is dropped with the loop.
  void stop();
  // Runs `f` on the loop's thread (any thread may ask).
  void post(std::function<void()> f);
  // The same once `delay` has passed.
  void post_after(std::chrono::milliseconds delay, std::function<void()> f);
  // Runs `f` on the loop's thread and waits for it; runs it in place when
  // the loop is not running or this is its thread.
  void run_sync(const std::function<void()>& f);
  bool on_loop_thread() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace qvtool::net
