// How Synchronize reaches the main thread: the run-time layer's own
// plumbing between threads and the main thread's queue, not for
// applications.
#pragma once

#include <chrono>
#include <condition_variable>
#include <exception>
#include <functional>
#include <mutex>

namespace rtl::detail {
// One Synchronize request on its way to the main thread, which run()s it
// while the thread that made it wait()s.
class SyncRequest {
 public:
  explicit SyncRequest(const std::function<void()>& fn) : fn_(&fn) {}
  SyncRequest(const SyncRequest&) = delete;
  SyncRequest& operator=(const SyncRequest&) = delete;

  // Main thread: runs the function and keeps what it raised.
  void run();
  // Until the main thread has run it; then rethrows what it raised.
  void wait();

 private:
  const std::function<void()>* fn_;
  std::exception_ptr error_;
  std::mutex mu_;
  std::condition_variable cv_;
  bool done_ = false;
};

// Main-thread work item used by Synchronize. Runs `fn` on the main thread
// while the caller waits; rethrows what it raised. From the main thread
// itself `fn` runs at once.
void RunOnMainThread(const std::function<void()>& fn);
// Main thread only: waits up to `timeout` for Synchronize requests or a
// wake-up, runs the requests waiting and returns their number.
int ServeSyncRequests(std::chrono::milliseconds timeout);
}  // namespace rtl::detail
