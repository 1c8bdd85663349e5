#include "onewire/sim/trace.hpp"

#include <cstdarg>
#include <cstdio>
#include <utility>

namespace onewire::sim {

void Trace::set(Sink sink) {
  std::lock_guard lock(mu_);
  sink_ = std::move(sink);
}

bool Trace::on() const {
  std::lock_guard lock(mu_);
  return static_cast<bool>(sink_);
}

void Trace::note(const char* format, ...) {
  Sink sink;
  {
    std::lock_guard lock(mu_);
    sink = sink_;
  }
  if (!sink) return;
  char line[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  sink(line);
}

}  // namespace onewire::sim
