// Hidden notification windows and the per-thread message queue.
//
// A window made by AllocateHWnd belongs to the thread that made it: posted
// messages reach its procedure on that thread only, one at a time and in
// posting order, when that thread runs ProcessMessages, HandleMessage or
// RunMessageLoop. The main thread's queue also carries Synchronize requests
// of worker threads (see thread.hpp), in order with the messages.
//
// Posting never blocks. After DeallocateHWnd nothing reaches the window's
// procedure, including messages that were queued before.
//
// The calls that keep the Windows API's names (PostMessage, IsWindow,
// DefWindowProc, WaitMessage) are the component's own, in
// rtl/window_api.hpp, which is not installed.
#pragma once

#include "qvds18x20/export.hpp"

#include <chrono>
#include <cstdint>
#include <functional>

// The same type as the platform's strict window handle where there is one.
struct HWND__;
using HWND = HWND__*;
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using LRESULT = std::intptr_t;

struct QVDS_API TMessage {
  std::uint32_t Msg = 0;
  WPARAM WParam = 0;
  LPARAM LParam = 0;
  LRESULT Result = 0;
};

using TWndMethod = std::function<void(TMessage&)>;

// Makes a hidden window whose procedure is `method`, owned by the calling
// thread.
QVDS_API HWND AllocateHWnd(TWndMethod method);

// Detaches the procedure, discards the queued messages and destroys the
// window. Call it on the owning thread. A null or unknown handle is ignored.
QVDS_API void DeallocateHWnd(HWND wnd);

// Handles everything waiting in the calling thread's queue (messages and,
// on the main thread, Synchronize requests) and returns. Returns the number
// of items handled. Items that arrive while it runs are handled too.
QVDS_API int ProcessMessages();

// Waits for one item (up to the timeout) and handles everything waiting.
// Returns the number handled.
QVDS_API int HandleMessage(std::chrono::milliseconds timeout);

// Serves the calling thread's queue until `done` returns true. `done` is
// tested before each wait and after each round.
QVDS_API void RunMessageLoop(const std::function<bool()>& done);

// A descriptor that becomes readable while the calling thread's queue has
// something to handle, so another event loop (poll, select, epoll) can
// drive the queue: when it is readable, call ProcessMessages. Repeated
// posts merge into one wake-up. -1 where the platform has none.
QVDS_API int MessageQueueFd();

// True on the thread that the run-time layer treats as the application's
// main thread (the one that loaded it).
QVDS_API bool IsMainThread();

// Wakes the main thread's queue without queueing anything.
QVDS_API void WakeMainThread();
