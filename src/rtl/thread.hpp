// Worker threads with the host framework's life cycle: created suspended,
// started by Resume, Execute on the new thread, then the OnTerminate
// handler on the main thread, then (with FreeOnTerminate) the object frees
// itself.
#pragma once

#include "qvds18x20/export.hpp"

#include <chrono>
#include <functional>
#include <memory>

#include "rtl/classes.hpp"

namespace rtl::detail {
struct ThreadState;
}

// On the main thread: waits up to `timeout` for Synchronize requests of
// worker threads (termination handlers included) and runs those waiting,
// leaving posted window messages queued. Returns the number run. Elsewhere
// it returns 0 at once.
QVDS_API int CheckSynchronize(std::chrono::milliseconds timeout = std::chrono::milliseconds(0));

class QVDS_API TThread : public TObject {
 public:
  // The thread body does not start before Resume: the creator first sets
  // its fields and handlers. A thread not created suspended still starts at
  // Resume (or Start), since a C++ base cannot start a body that the
  // derived class has not finished constructing.
  explicit TThread(bool CreateSuspended = true);
  // Waits for a started thread that has not finished (never from the
  // thread itself: FreeOnTerminate deletes on the worker after it is done).
  ~TThread() override;

  void Resume();
  void Start() { Resume(); }

  // Set before Resume. With it, the object deletes itself on its own thread
  // once Execute has returned and the OnTerminate handler has run; nobody
  // may use the object after that.
  bool FreeOnTerminate = false;
  // Runs on the main thread after Execute returns, with this thread as the
  // sender.
  TNotifyEvent OnTerminate;

  // Asks Execute to stop; Execute decides whether to look.
  void Terminate();
  bool Terminated() const;

  // Blocks until the thread has finished, including its OnTerminate
  // handler. On the main thread it keeps serving Synchronize requests (the
  // termination handler among them), so a destructor waiting for a worker
  // cannot deadlock with it; posted window messages stay queued. Safe to call
  // on a FreeOnTerminate thread as long as the object is alive at the call.
  void WaitFor();

  // Sleeps through the run-time layer's clock (rtl::GetClock).
  static void Sleep(unsigned milliseconds);

  // Number of TThread bodies still running in the process.
  static int RunningCount();

 protected:
  virtual void Execute() = 0;

  // Runs `method` on the main thread while this thread waits for it to
  // finish; an exception it raises is raised again here.
  void Synchronize(const std::function<void()>& method);

 private:
  void Body();
  std::shared_ptr<rtl::detail::ThreadState> state_;
};
