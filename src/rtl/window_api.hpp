// The calls on the hidden windows and the queue of rtl/messages.hpp that
// keep the Windows API's names, so that the component's code reads the same
// on every platform. They belong to the library: this header is not
// installed and the calls are not exported, so a shared library on POSIX
// puts none of the Windows API's names into the programs that load it.
#pragma once

#include <chrono>
#include <cstdint>

#include "rtl/messages.hpp"

// The default window procedure: the result for messages a window does not
// handle itself.
LRESULT DefWindowProc(HWND wnd, std::uint32_t msg, WPARAM wparam, LPARAM lparam);

// Queues a message for `wnd` and returns at once. False when the window
// does not exist (never made, or destroyed).
bool PostMessage(HWND wnd, std::uint32_t msg, WPARAM wparam, LPARAM lparam);

bool IsWindow(HWND wnd);

// Waits until the calling thread's queue has something to handle or the
// timeout passes. True when something is waiting.
bool WaitMessage(std::chrono::milliseconds timeout);
