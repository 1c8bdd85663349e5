// Where an emulator tells what it does, one line per event, for a test or
// a stand-in's trace file: a callback that may be set from any thread
// while the emulator runs, fed lines formatted printf-style (at most 511
// characters each).
#pragma once

#include <functional>
#include <mutex>
#include <string>

namespace onewire::sim {

class Trace {
 public:
  using Sink = std::function<void(const std::string&)>;

  // Replaces the callback; an empty one turns the trace off.
  void set(Sink sink);
  bool on() const;
  // Formats and hands on one line; nothing while the trace is off. The
  // callback runs outside the trace's lock. The formats are C99's (%zu,
  // %llu), which MinGW's C library follows too; no format attribute says
  // so to every compiler alike (GCC's for MinGW would check Microsoft's,
  // and clang has no GNU one), so the lines go unchecked.
  void note(const char* format, ...);

 private:
  mutable std::mutex mu_;
  Sink sink_;
};

}  // namespace onewire::sim
