// Portable message queue and hidden windows. One queue per thread that
// owns windows (created on first use); the main thread's queue also
// carries Synchronize requests, in order with the posted messages.
#include "rtl/messages.hpp"
#include "rtl/sync_requests.hpp"

#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "rtl/wake_signal.hpp"
#include "rtl/window_api.hpp"

namespace {

using rtl::detail::SyncRequest;

struct Item {
  HWND wnd = nullptr;
  TMessage msg;
  SyncRequest* sync = nullptr;
};

struct Queue {
  std::mutex mu;
  std::condition_variable cv;
  std::deque<Item> items;
  bool woken = false;
  // Whether the wake descriptor is readable: it is written only on the way
  // from idle to pending and read only on the way back, so a burst of
  // posts costs one system call each way instead of one per message.
  bool signalled = false;

  std::unique_ptr<rtl::detail::WakeSignal> wake = rtl::detail::WakeSignal::Create();

  void SignalLocked() {
    if (!signalled) {
      wake->Signal();
      signalled = true;
    }
  }

  void Push(Item item) {
    {
      std::lock_guard<std::mutex> lock(mu);
      items.push_back(item);
      SignalLocked();
    }
    cv.notify_all();
  }

  // Takes the first Synchronize request, leaving messages in place.
  bool PopSync(Item& out) {
    std::lock_guard<std::mutex> lock(mu);
    for (auto it = items.begin(); it != items.end(); ++it) {
      if (it->sync != nullptr) {
        out = *it;
        items.erase(it);
        return true;
      }
    }
    return false;
  }

  bool Pop(Item& out) {
    std::lock_guard<std::mutex> lock(mu);
    if (items.empty()) {
      woken = false;
      if (signalled) {
        wake->Clear();
        signalled = false;
      }
      return false;
    }
    out = items.front();
    items.pop_front();
    return true;
  }
};

struct Window {
  std::shared_ptr<Queue> queue;
  std::shared_ptr<TWndMethod> proc;
};

std::thread::id& MainThreadIdStorage() {
  static std::thread::id id = std::this_thread::get_id();
  return id;
}
// Captures the loading thread as the main thread during static
// initialisation, before any worker can exist.
[[maybe_unused]] const std::thread::id g_capture_main_thread = MainThreadIdStorage();

std::shared_ptr<Queue>& MainQueue() {
  // Never destroyed: a worker that the thread reaper joins at exit still
  // wakes the main thread after its termination handler, and statics made
  // after the queue (the reaper, when a thread starts before any window
  // exists) are destroyed before it. Static objects go away at exit; this
  // one stays reachable until the process ends.
  static auto* q = new std::shared_ptr<Queue>(std::make_shared<Queue>());
  return *q;
}

std::shared_ptr<Queue> ThisQueue() {
  thread_local std::shared_ptr<Queue> q;
  if (!q) q = IsMainThread() ? MainQueue() : std::make_shared<Queue>();
  return q;
}

std::mutex g_windows_mu;
std::unordered_map<HWND, Window>& Windows() {
  static std::unordered_map<HWND, Window> w;
  return w;
}
std::uintptr_t g_next_handle = 0x1000;  // guarded by g_windows_mu; never reused

std::shared_ptr<TWndMethod> ProcOf(HWND wnd) {
  std::lock_guard<std::mutex> lock(g_windows_mu);
  auto it = Windows().find(wnd);
  return it == Windows().end() ? nullptr : it->second.proc;
}

void Dispatch(Item& item) {
  if (item.sync != nullptr) {
    item.sync->run();
    return;
  }
  if (auto proc = ProcOf(item.wnd)) (*proc)(item.msg);
}

}  // namespace

bool IsMainThread() { return std::this_thread::get_id() == MainThreadIdStorage(); }

HWND AllocateHWnd(TWndMethod method) {
  auto queue = ThisQueue();
  std::lock_guard<std::mutex> lock(g_windows_mu);
  HWND wnd = reinterpret_cast<HWND>(g_next_handle++);
  Windows().emplace(wnd, Window{std::move(queue), std::make_shared<TWndMethod>(std::move(method))});
  return wnd;
}

void DeallocateHWnd(HWND wnd) {
  std::shared_ptr<Queue> queue;
  {
    std::lock_guard<std::mutex> lock(g_windows_mu);
    auto it = Windows().find(wnd);
    if (it == Windows().end()) return;
    queue = std::move(it->second.queue);
    Windows().erase(it);
  }
  std::lock_guard<std::mutex> lock(queue->mu);
  std::erase_if(queue->items, [wnd](const Item& i) { return i.sync == nullptr && i.wnd == wnd; });
}

LRESULT DefWindowProc(HWND, std::uint32_t, WPARAM, LPARAM) { return 0; }

bool PostMessage(HWND wnd, std::uint32_t msg, WPARAM wparam, LPARAM lparam) {
  std::shared_ptr<Queue> queue;
  {
    std::lock_guard<std::mutex> lock(g_windows_mu);
    auto it = Windows().find(wnd);
    if (it == Windows().end()) return false;
    queue = it->second.queue;
  }
  Item item;
  item.wnd = wnd;
  item.msg.Msg = msg;
  item.msg.WParam = wparam;
  item.msg.LParam = lparam;
  queue->Push(item);
  return true;
}

bool IsWindow(HWND wnd) {
  std::lock_guard<std::mutex> lock(g_windows_mu);
  return Windows().count(wnd) != 0;
}

int ProcessMessages() {
  auto queue = ThisQueue();
  int handled = 0;
  Item item;
  while (queue->Pop(item)) {
    Dispatch(item);
    ++handled;
  }
  return handled;
}

bool WaitMessage(std::chrono::milliseconds timeout) {
  auto queue = ThisQueue();
  std::unique_lock<std::mutex> lock(queue->mu);
  queue->cv.wait_for(lock, timeout, [&] { return !queue->items.empty() || queue->woken; });
  const bool ready = !queue->items.empty() || queue->woken;
  queue->woken = false;
  return ready;
}

int HandleMessage(std::chrono::milliseconds timeout) {
  WaitMessage(timeout);
  return ProcessMessages();
}

void RunMessageLoop(const std::function<bool()>& done) {
  while (!done()) HandleMessage(std::chrono::milliseconds(100));
}

int MessageQueueFd() { return ThisQueue()->wake->Fd(); }

void WakeMainThread() {
  auto& queue = MainQueue();
  {
    std::lock_guard<std::mutex> lock(queue->mu);
    queue->woken = true;
    queue->SignalLocked();
  }
  queue->cv.notify_all();
}

namespace rtl::detail {

void RunOnMainThread(const std::function<void()>& fn) {
  if (IsMainThread()) {
    fn();
    return;
  }
  SyncRequest request(fn);
  Item item;
  item.sync = &request;
  MainQueue()->Push(item);
  request.wait();
}

int ServeSyncRequests(std::chrono::milliseconds timeout) {
  auto& queue = MainQueue();
  {
    std::unique_lock<std::mutex> lock(queue->mu);
    auto has_sync = [&] {
      for (const Item& i : queue->items)
        if (i.sync != nullptr) return true;
      return false;
    };
    queue->cv.wait_for(lock, timeout, [&] { return has_sync() || queue->woken; });
    queue->woken = false;
  }
  int handled = 0;
  Item item;
  while (queue->PopSync(item)) {
    Dispatch(item);
    ++handled;
  }
  return handled;
}

}  // namespace rtl::detail
