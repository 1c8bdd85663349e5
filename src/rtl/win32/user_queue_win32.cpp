// Hidden windows are real message-only windows (parent HWND_MESSAGE): the
// system queues their posted messages per thread, in posting order, and
// delivers them only on the thread that made them.
//
// Synchronize requests and wake-ups of the main thread travel through the
// same queue, as messages to a window that the main thread makes when the
// library is loaded, so they keep their order with the component's
// messages and still run while a modal loop (a message box, a menu) owns
// the queue. CheckSynchronize must take only those requests, which a
// window filter on PeekMessageW gives; it waits on an event that every
// request and wake-up sets, since the queue itself wakes a waiter for any
// new message.
#include "rtl/win32/windows.hpp"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <stdexcept>
#include <utility>

#include "rtl/clock.hpp"
#include "rtl/sync_requests.hpp"
#include "rtl/win32/user_queue.hpp"

namespace rtl::win32 {
namespace {

// Private to the main thread's own window, so any numbers of the
// application range do.
constexpr UINT kSyncMessage = WM_APP + 0x3A0;  // lParam: the SyncRequest
constexpr UINT kWakeMessage = WM_APP + 0x3A1;

using Binding = std::shared_ptr<WindowTarget>;

// A target that raised while the system was calling its window procedure:
// the exception cannot pass through the system's frames, so it is kept
// here and raised again once DispatchMessageW has returned.
thread_local std::exception_ptr t_pending_error;

HINSTANCE OwnModule() {
  HMODULE module = nullptr;
  // The module holding this code, so the class belongs to it also when the
  // library is linked into a DLL.
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCWSTR>(&OwnModule), &module);
  return module;
}

ATOM WindowClass() {
  static const ATOM atom = [] {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    // The class procedure is the default one; AllocateHWnd puts the
    // window's own in place once the window exists, so creation messages
    // never reach the component.
    wc.lpfnWndProc = DefWindowProcW;
    wc.hInstance = OwnModule();
    wc.lpszClassName = L"QvRtlHiddenWindow";
    return RegisterClassExW(&wc);
  }();
  return atom;
}

bool IsOurs(HWND wnd) {
  if (wnd == nullptr || !IsWindow(wnd)) return false;
  DWORD pid = 0;
  GetWindowThreadProcessId(wnd, &pid);
  return pid == GetCurrentProcessId() && static_cast<ATOM>(GetClassLongPtrW(wnd, GCW_ATOM)) == WindowClass();
}

LRESULT CALLBACK BoundProc(HWND wnd, UINT msg, WPARAM wparam, LPARAM lparam) {
  auto* slot = reinterpret_cast<Binding*>(GetWindowLongPtrW(wnd, GWLP_USERDATA));
  if (slot == nullptr) return DefWindowProcW(wnd, msg, wparam, lparam);
  // A copy: the target may deallocate its own window while it runs.
  const Binding target = *slot;
  try {
    return target->OnMessage(wnd, msg, wparam, lparam);
  } catch (...) {
    if (!t_pending_error) t_pending_error = std::current_exception();
    return 0;
  }
}

void RaisePending() {
  if (t_pending_error) std::rethrow_exception(std::exchange(t_pending_error, nullptr));
}

DWORD TimeoutMs(std::chrono::milliseconds timeout) {
  const auto ms = std::clamp<std::chrono::milliseconds::rep>(timeout.count(), 0, INFINITE - 1);
  return static_cast<DWORD>(ms);
}

using rtl::detail::SyncRequest;

struct MainState {
  DWORD thread_id = GetCurrentThreadId();
  HWND window = nullptr;
  // Auto-reset; a stale signal only costs CheckSynchronize one more look.
  HANDLE sync_event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  std::atomic<bool> woken{false};
  // One wake-up message in the queue at a time: repeated wake-ups merge.
  std::atomic<bool> wake_posted{false};
};

MainState& Main();

class MainTarget final : public WindowTarget {
 public:
  std::intptr_t OnMessage(HWND__* wnd, std::uint32_t msg, std::uintptr_t wparam, std::intptr_t lparam) override {
    if (msg == kSyncMessage) {
      reinterpret_cast<SyncRequest*>(lparam)->run();
      return 0;
    }
    if (msg == kWakeMessage) {
      Main().wake_posted.store(false, std::memory_order_release);
      Main().woken.store(false, std::memory_order_release);
      return 0;
    }
    return DefWindowProcW(wnd, msg, wparam, lparam);
  }
};

MainState& Main() {
  // Never destroyed: worker threads may still wake the main thread while
  // static objects go away at exit.
  static MainState* state = [] {
    auto* s = new MainState;
    s->window = CreateBoundWindow(std::make_shared<MainTarget>());
    return s;
  }();
  return *state;
}

// The loading thread is the main thread: made during static
// initialisation, before any worker can exist.
[[maybe_unused]] const bool g_main_ready = (Main(), true);

bool IsWakeMessage(const MSG& m) { return m.message == kWakeMessage && m.hwnd == Main().window; }

}  // namespace

HWND__* CreateBoundWindow(std::shared_ptr<WindowTarget> target) {
  const ATOM atom = WindowClass();
  if (atom == 0) return nullptr;
  HWND wnd = CreateWindowExW(0, reinterpret_cast<LPCWSTR>(static_cast<ULONG_PTR>(atom)), L"", 0, 0, 0, 0, 0,
                             HWND_MESSAGE, nullptr, OwnModule(), nullptr);
  if (wnd == nullptr) return nullptr;
  SetWindowLongPtrW(wnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(new Binding(std::move(target))));
  SetWindowLongPtrW(wnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&BoundProc));
  return wnd;
}

void DestroyBoundWindow(HWND__* wnd) {
  if (!IsOurs(wnd) || wnd == Main().window) return;
  // The procedure goes first: from here on nothing reaches the target,
  // not even the messages DestroyWindow sends.
  if (GetWindowLongPtrW(wnd, GWLP_WNDPROC) != reinterpret_cast<LONG_PTR>(&DefWindowProcW))
    SetWindowLongPtrW(wnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&DefWindowProcW));
  auto* slot = reinterpret_cast<Binding*>(SetWindowLongPtrW(wnd, GWLP_USERDATA, 0));
  delete slot;
  // Some Windows versions keep a destroyed window's posted messages until
  // someone reads them; take them out now.
  MSG m;
  while (PeekMessageW(&m, wnd, 0, 0, PM_REMOVE | PM_NOYIELD)) {
    if (m.message == WM_QUIT) {
      PostQuitMessage(static_cast<int>(m.wParam));
      break;
    }
  }
  DestroyWindow(wnd);
}

bool WindowExists(HWND__* wnd) { return wnd != nullptr && IsWindow(wnd) != FALSE; }

bool PostToWindow(HWND__* wnd, std::uint32_t msg, std::uintptr_t wparam, std::intptr_t lparam) {
  return wnd != nullptr && PostMessageW(wnd, msg, wparam, lparam) != FALSE;
}

std::intptr_t DefaultWindowProc(HWND__* wnd, std::uint32_t msg, std::uintptr_t wparam, std::intptr_t lparam) {
  return DefWindowProcW(wnd, msg, wparam, lparam);
}

int DispatchQueued() {
  int handled = 0;
  MSG m;
  while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
    if (m.message == WM_QUIT) {
      // The application's own loop ends on it; leave it for that loop.
      PostQuitMessage(static_cast<int>(m.wParam));
      break;
    }
    TranslateMessage(&m);
    DispatchMessageW(&m);
    if (!IsWakeMessage(m)) ++handled;
    RaisePending();
  }
  return handled;
}

bool WaitForQueue(std::chrono::milliseconds timeout) {
  MSG m;
  if (PeekMessageW(&m, nullptr, 0, 0, PM_NOREMOVE)) return true;
  // MWMO_INPUTAVAILABLE: messages that were already queued count too, not
  // only those that arrived since the last look.
  return MsgWaitForMultipleObjectsEx(0, nullptr, TimeoutMs(timeout), QS_ALLINPUT, MWMO_INPUTAVAILABLE) == WAIT_OBJECT_0;
}

bool OnMainThread() { return GetCurrentThreadId() == Main().thread_id; }

void WakeMain() {
  MainState& s = Main();
  s.woken.store(true, std::memory_order_release);
  if (!s.wake_posted.exchange(true, std::memory_order_acq_rel) && PostMessageW(s.window, kWakeMessage, 0, 0) == FALSE)
    s.wake_posted.store(false, std::memory_order_release);
  SetEvent(s.sync_event);
}

void RunOnMain(const std::function<void()>& fn) {
  if (OnMainThread()) {
    fn();
    return;
  }
  MainState& s = Main();
  SyncRequest request(fn);
  while (PostMessageW(s.window, kSyncMessage, 0, reinterpret_cast<LPARAM>(&request)) == FALSE) {
    // Only a full queue is worth another try: it drains as the main
    // thread serves it.
    if (GetLastError() != ERROR_NOT_ENOUGH_QUOTA)
      throw std::runtime_error("Synchronize: the main thread's window is gone");
    rtl::GetClock().sleep_for(std::chrono::milliseconds(1));
  }
  SetEvent(s.sync_event);
  request.wait();
}

int ServeMainSync(std::chrono::milliseconds timeout) {
  MainState& s = Main();
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  int handled = 0;
  for (;;) {
    MSG m;
    // The window filter leaves every other window's messages queued.
    while (PeekMessageW(&m, s.window, kSyncMessage, kWakeMessage, PM_REMOVE | PM_NOYIELD)) {
      if (m.message == kSyncMessage) {
        reinterpret_cast<SyncRequest*>(m.lParam)->run();
        ++handled;
      } else if (m.message == kWakeMessage) {
        s.wake_posted.store(false, std::memory_order_release);
      }
    }
    const bool woke = s.woken.exchange(false, std::memory_order_acq_rel);
    if (handled > 0 || woke) return handled;
    const auto left = deadline - std::chrono::steady_clock::now();
    if (left <= std::chrono::steady_clock::duration::zero()) return 0;
    WaitForSingleObject(s.sync_event, TimeoutMs(std::chrono::ceil<std::chrono::milliseconds>(left)));
  }
}

}  // namespace rtl::win32
