// The Windows message queue and message-only windows behind the hidden
// windows of rtl/messages.hpp. The names of rtl/window_api.hpp
// (PostMessage, IsWindow, DefWindowProc) are macros or functions of
// <windows.h> too, so those functions are compiled without it and reach
// the system through these plain declarations.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

struct HWND__;

namespace rtl::win32 {

// What a window made by CreateBoundWindow runs for each message that
// reaches it; the return value is the message's result.
class WindowTarget {
 public:
  virtual ~WindowTarget() = default;
  virtual std::intptr_t OnMessage(HWND__* wnd, std::uint32_t msg, std::uintptr_t wparam, std::intptr_t lparam) = 0;
};

// A message-only window of the calling thread whose procedure calls
// `target`; null when the system refuses to make one.
HWND__* CreateBoundWindow(std::shared_ptr<WindowTarget> target);

// Puts the default procedure back, releases the target, throws away the
// messages still queued for the window and destroys it. Handles that are
// not windows of CreateBoundWindow are left alone.
void DestroyBoundWindow(HWND__* wnd);

bool WindowExists(HWND__* wnd);
bool PostToWindow(HWND__* wnd, std::uint32_t msg, std::uintptr_t wparam, std::intptr_t lparam);
std::intptr_t DefaultWindowProc(HWND__* wnd, std::uint32_t msg, std::uintptr_t wparam, std::intptr_t lparam);

// Dispatches everything queued for the calling thread; returns the number
// of messages and Synchronize requests handled (wake-ups do not count).
// An exception raised by a window's target is raised again here, after
// its message; what is still queued then stays queued.
int DispatchQueued();

// Waits until the calling thread's queue holds something or `timeout`
// passed; true when something is there.
bool WaitForQueue(std::chrono::milliseconds timeout);

bool OnMainThread();
void WakeMain();
void RunOnMain(const std::function<void()>& fn);
int ServeMainSync(std::chrono::milliseconds timeout);

}  // namespace rtl::win32
