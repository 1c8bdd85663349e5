#include "rtl/thread.hpp"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "rtl/clock.hpp"
#include "rtl/messages.hpp"
#include "rtl/sync_requests.hpp"

namespace rtl::detail {

struct ThreadState {
  std::mutex mu;
  std::condition_variable cv;
  bool started = false;
  bool done = false;  // Execute and the termination handler have finished
  std::atomic<bool> terminated{false};
};

namespace {

// OS threads of TThread bodies. A body cannot join itself (and a
// FreeOnTerminate object is gone by the time it ends), so finished threads
// are joined here: at the next start, and at process exit.
class Reaper {
 public:
  ~Reaper() {
    std::vector<Entry> all;
    {
      std::lock_guard<std::mutex> lock(mu_);
      all.swap(entries_);
    }
    for (auto& e : all)
      if (e.thread.joinable()) e.thread.join();
  }

  void Add(std::thread t, std::shared_ptr<std::atomic<bool>> finished) {
    std::vector<Entry> done;
    {
      std::lock_guard<std::mutex> lock(mu_);
      for (auto it = entries_.begin(); it != entries_.end();) {
        if (it->finished->load(std::memory_order_acquire)) {
          done.push_back(std::move(*it));
          it = entries_.erase(it);
        } else {
          ++it;
        }
      }
      entries_.push_back(Entry{std::move(t), std::move(finished)});
    }
    for (auto& e : done) e.thread.join();
  }

 private:
  struct Entry {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> finished;
  };
  std::mutex mu_;
  std::vector<Entry> entries_;
};

Reaper& TheReaper() {
  static Reaper r;
  return r;
}

std::atomic<int> g_running{0};

}  // namespace
}  // namespace rtl::detail

TThread::TThread(bool /*CreateSuspended*/) : state_(std::make_shared<rtl::detail::ThreadState>()) {}

TThread::~TThread() {
  bool wait = false;
  {
    std::lock_guard<std::mutex> lock(state_->mu);
    wait = state_->started && !state_->done;
  }
  if (wait) WaitFor();
}

void TThread::Resume() {
  {
    std::lock_guard<std::mutex> lock(state_->mu);
    if (state_->started) return;
    state_->started = true;
  }
  rtl::detail::g_running.fetch_add(1, std::memory_order_acq_rel);
  auto finished = std::make_shared<std::atomic<bool>>(false);
  std::thread t([this, finished] {
    Body();
    rtl::detail::g_running.fetch_sub(1, std::memory_order_acq_rel);
    finished->store(true, std::memory_order_release);
  });
  rtl::detail::TheReaper().Add(std::move(t), std::move(finished));
}

void TThread::Body() {
  // Keep the state alive past a self-delete.
  std::shared_ptr<rtl::detail::ThreadState> state = state_;
  try {
    Execute();
  } catch (...) {
    // An exception escaping Execute ends the thread like a return does.
  }
  if (OnTerminate) {
    try {
      Synchronize([this] { OnTerminate(this); });
    } catch (...) {
    }
  }
  const bool free_self = FreeOnTerminate;
  {
    std::lock_guard<std::mutex> lock(state->mu);
    state->done = true;
  }
  state->cv.notify_all();
  WakeMainThread();
  if (free_self) delete this;
}

void TThread::Terminate() { state_->terminated.store(true, std::memory_order_release); }

bool TThread::Terminated() const { return state_->terminated.load(std::memory_order_acquire); }

void TThread::WaitFor() {
  std::shared_ptr<rtl::detail::ThreadState> state = state_;
  {
    std::lock_guard<std::mutex> lock(state->mu);
    if (!state->started) return;
  }
  if (IsMainThread()) {
    for (;;) {
      {
        std::lock_guard<std::mutex> lock(state->mu);
        if (state->done) return;
      }
      // The body wakes the main thread when it is done; the timeout only
      // guards against a wake-up that some other waiter consumed.
      CheckSynchronize(std::chrono::milliseconds(20));
    }
  }
  std::unique_lock<std::mutex> lock(state->mu);
  state->cv.wait(lock, [&] { return state->done; });
}

void TThread::Sleep(unsigned milliseconds) { rtl::GetClock().sleep_for(std::chrono::milliseconds(milliseconds)); }

int TThread::RunningCount() { return rtl::detail::g_running.load(std::memory_order_acquire); }

void TThread::Synchronize(const std::function<void()>& method) { rtl::detail::RunOnMainThread(method); }

int CheckSynchronize(std::chrono::milliseconds timeout) {
  if (!IsMainThread()) return 0;
  return rtl::detail::ServeSyncRequests(timeout);
}
