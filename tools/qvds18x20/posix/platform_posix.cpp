#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "qvds18x20/platform.hpp"

namespace qvtool {

bool sync_file(std::FILE* file) { return std::fflush(file) == 0 && fsync(fileno(file)) == 0; }

bool is_terminal(std::FILE* file) { return isatty(fileno(file)) != 0; }

bool is_journal(std::FILE* file) {
  const char* stream = std::getenv("JOURNAL_STREAM");
  struct stat st {};
  if (stream == nullptr || fstat(fileno(file), &st) != 0) return false;
  unsigned long long device = 0, inode = 0;
  char end = 0;
  return std::sscanf(stream, "%llu:%llu%c", &device, &inode, &end) == 2 &&
         device == static_cast<unsigned long long>(st.st_dev) && inode == static_cast<unsigned long long>(st.st_ino);
}

namespace {
void (*g_handler)() = nullptr;
extern "C" void forward_signal(int) {
  if (g_handler != nullptr) g_handler();
}

// Each ends the run as a termination request does: whole rounds, the
// port's settings put back, the publishers' queues delivered.
constexpr int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE};
constexpr int kIgnoredSignals[] = {SIGUSR1, SIGUSR2, SIGALRM};

void install(int signal_number) {
  struct sigaction sa {};
  sa.sa_handler = forward_signal;
  sigemptyset(&sa.sa_mask);
  sigaction(signal_number, &sa, nullptr);
}
}  // namespace

void on_interrupt(void (*handler)()) {
  g_handler = handler;
  for (int s : kEndingSignals) install(s);
  for (int s : kIgnoredSignals) signal(s, SIG_IGN);
}

void raise_interrupt() {
  if (g_handler != nullptr) g_handler();
}

void reclaim_interrupt_signals() {
  if (g_handler == nullptr) return;
  for (int s : kEndingSignals) install(s);
}

void block_broken_pipe_signal() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void ignore_file_size_signal() { signal(SIGXFSZ, SIG_IGN); }

bool path_exists(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0;
}

std::tm utc_time(std::time_t t) {
  std::tm tm{};
  gmtime_r(&t, &tm);
  return tm;
}

bool truncate_file(std::FILE* file, long size) {
  std::clearerr(file);
  return ftruncate(fileno(file), static_cast<off_t>(size)) == 0 && std::fseek(file, size, SEEK_SET) == 0;
}

long long process_id() { return static_cast<long long>(getpid()); }

std::string os_error_text(int error) { return std::strerror(error); }

std::string live_terminal_link(const std::string& path) {
  struct stat link {};
  if (lstat(path.c_str(), &link) != 0 || !S_ISLNK(link.st_mode)) return "";
  struct stat target {};
  if (stat(path.c_str(), &target) != 0 || !S_ISCHR(target.st_mode)) return "";
  char buf[4096];
  const ssize_t n = readlink(path.c_str(), buf, sizeof buf - 1);
  return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : path;
}

}  // namespace qvtool
