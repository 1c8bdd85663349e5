// How Synchronize reaches the main thread: the run-time layer's own
// plumbing between threads and the main thread's queue, not for
// applications.
#pragma once

#include <chrono>
#include <functional>

namespace rtl::detail {
// Main-thread work item used by Synchronize. Runs `fn` on the main thread
// while the caller waits; rethrows what it raised. From the main thread
// itself `fn` runs at once.
void RunOnMainThread(const std::function<void()>& fn);
// Main thread only: waits up to `timeout` for Synchronize requests or a
// wake-up, runs the requests waiting and returns their number.
int ServeSyncRequests(std::chrono::milliseconds timeout);
}  // namespace rtl::detail
