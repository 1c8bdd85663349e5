// The hidden windows and the message queue on Windows: the public
// functions of rtl/messages.hpp over the system's own queue
// (user_queue_win32.cpp). The posted-message limit of a Windows queue
// (10000 by default) makes PostMessage fail when a thread stops serving
// its queue for that long.
#include <utility>

#include "rtl/messages.hpp"
#include "rtl/sync_requests.hpp"
#include "rtl/win32/user_queue.hpp"
#include "rtl/window_api.hpp"

namespace {

class MethodTarget final : public rtl::win32::WindowTarget {
 public:
  explicit MethodTarget(TWndMethod method) : method_(std::move(method)) {}
  std::intptr_t OnMessage(HWND__* /*wnd*/, std::uint32_t msg, std::uintptr_t wparam, std::intptr_t lparam) override {
    TMessage m;
    m.Msg = msg;
    m.WParam = wparam;
    m.LParam = lparam;
    // The method answers every message itself; what it leaves alone it
    // hands to DefWindowProc.
    if (method_) method_(m);
    return m.Result;
  }

 private:
  TWndMethod method_;
};

}  // namespace

HWND AllocateHWnd(TWndMethod method) {
  return rtl::win32::CreateBoundWindow(std::make_shared<MethodTarget>(std::move(method)));
}

void DeallocateHWnd(HWND wnd) { rtl::win32::DestroyBoundWindow(wnd); }

LRESULT DefWindowProc(HWND wnd, std::uint32_t msg, WPARAM wparam, LPARAM lparam) {
  return rtl::win32::DefaultWindowProc(wnd, msg, wparam, lparam);
}

bool PostMessage(HWND wnd, std::uint32_t msg, WPARAM wparam, LPARAM lparam) {
  return rtl::win32::PostToWindow(wnd, msg, wparam, lparam);
}

bool IsWindow(HWND wnd) { return rtl::win32::WindowExists(wnd); }

int ProcessMessages() { return rtl::win32::DispatchQueued(); }

bool WaitMessage(std::chrono::milliseconds timeout) { return rtl::win32::WaitForQueue(timeout); }

int HandleMessage(std::chrono::milliseconds timeout) {
  WaitMessage(timeout);
  return ProcessMessages();
}

void RunMessageLoop(const std::function<bool()>& done) {
  while (!done()) HandleMessage(std::chrono::milliseconds(100));
}

// Windows queues have no descriptor; an application with its own loop
// waits with MsgWaitForMultipleObjects and calls ProcessMessages.
int MessageQueueFd() { return -1; }

bool IsMainThread() { return rtl::win32::OnMainThread(); }

void WakeMainThread() { rtl::win32::WakeMain(); }

namespace rtl::detail {

void RunOnMainThread(const std::function<void()>& fn) { rtl::win32::RunOnMain(fn); }

int ServeSyncRequests(std::chrono::milliseconds timeout) { return rtl::win32::ServeMainSync(timeout); }

}  // namespace rtl::detail
