#include "shim_common/shim_support.hpp"

#include <cstdarg>
#include <cstdlib>

namespace qvshim {

void TraceLog::open_from_env(const char* env) {
  if (const char* path = std::getenv(env); path != nullptr && *path != 0) file_ = std::fopen(path, "a");
}

void TraceLog::log(const char* format, ...) {
  if (file_ == nullptr) return;
  std::lock_guard lock(mu_);
  va_list args;
  va_start(args, format);
  std::vfprintf(file_, format, args);
  va_end(args);
  std::fputc('\n', file_);
  std::fflush(file_);
}

std::unique_ptr<rtl::Clock> emulator_clock(double speedup) {
  if (speedup > 0 && speedup != 1.0) return std::make_unique<rtl::ScaledClock>(speedup);
  return std::make_unique<rtl::RealClock>();
}

}  // namespace qvshim
