// A cross-thread wake-up that another event loop can wait on. Repeated
// signals merge into one readable state; Clear returns it to idle.
// Implemented per platform (posix/, linux/, win32/).
#pragma once

#include <memory>

namespace rtl::detail {

class WakeSignal {
 public:
  virtual ~WakeSignal() = default;
  virtual void Signal() = 0;
  virtual void Clear() = 0;
  // Readable while signalled; -1 when the platform has no such descriptor.
  virtual int Fd() const = 0;

  static std::unique_ptr<WakeSignal> Create();
};

}  // namespace rtl::detail
