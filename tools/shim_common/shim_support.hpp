// What the libusb and i2c-dev stand-ins share: their trace file and the
// clock their emulator runs on.
#pragma once

#include <cstdio>
#include <memory>
#include <mutex>

#include "rtl/clock.hpp"

namespace qvshim {

// The trace a stand-in appends every call and transfer to: one line each,
// flushed at once, since the program may end at any moment. Threads of
// the program may log at the same time.
class TraceLog {
 public:
  // Appends to the file named by the environment variable `env`; unset or
  // empty, or not to be opened: no trace.
  void open_from_env(const char* env);
  bool on() const { return file_ != nullptr; }
  void log(const char* format, ...) __attribute__((format(printf, 2, 3)));

 private:
  std::FILE* file_ = nullptr;
  std::mutex mu_;
};

// Real time, or `speedup` times faster (a factor above 0 and not 1).
std::unique_ptr<rtl::Clock> emulator_clock(double speedup);

}  // namespace qvshim
