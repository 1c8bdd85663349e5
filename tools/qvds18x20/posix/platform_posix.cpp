#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include "qvds18x20/platform.hpp"

namespace qvtool {

bool sync_file(std::FILE* file) { return std::fflush(file) == 0 && fsync(fileno(file)) == 0; }

bool is_terminal(std::FILE* file) { return isatty(fileno(file)) != 0; }

namespace {
void (*g_handler)() = nullptr;
extern "C" void forward_signal(int) {
  if (g_handler != nullptr) g_handler();
}
}  // namespace

void on_interrupt(void (*handler)()) {
  g_handler = handler;
  struct sigaction sa {};
  sa.sa_handler = forward_signal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
}

bool path_exists(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0;
}

std::tm utc_time(std::time_t t) {
  std::tm tm{};
  gmtime_r(&t, &tm);
  return tm;
}

}  // namespace qvtool
