#include <io.h>
#include <windows.h>

#include <cstring>
#include <filesystem>

#include "qvds18x20/platform.hpp"

namespace qvtool {

bool sync_file(std::FILE* file) { return std::fflush(file) == 0 && _commit(_fileno(file)) == 0; }

bool is_terminal(std::FILE* file) { return _isatty(_fileno(file)) != 0; }

// Windows has no systemd journal.
bool is_journal(std::FILE*) { return false; }

namespace {
void (*g_handler)() = nullptr;
BOOL WINAPI forward_ctrl(DWORD type) {
  if (type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT || type == CTRL_CLOSE_EVENT) {
    if (g_handler != nullptr) g_handler();
    return TRUE;
  }
  return FALSE;
}
}  // namespace

void on_interrupt(void (*handler)()) {
  g_handler = handler;
  SetConsoleCtrlHandler(forward_ctrl, TRUE);
}

void raise_interrupt() {
  if (g_handler != nullptr) g_handler();
}

// Windows has no signals for a library to take, nor SIGPIPE.
void reclaim_interrupt_signals() {}
void block_broken_pipe_signal() {}

long long process_id() { return static_cast<long long>(GetCurrentProcessId()); }

// Windows has no such signal.
void ignore_file_size_signal() {}

bool path_exists(const std::string& path) {
  // Device paths (\\.\COM3) are not files; opening them tells.
  if (path.rfind("\\\\.\\", 0) == 0) return true;
  std::error_code ec;
  return std::filesystem::exists(path, ec);
}

std::tm utc_time(std::time_t t) {
  std::tm tm{};
  gmtime_s(&tm, &t);
  return tm;
}

bool truncate_file(std::FILE* file, long size) {
  std::clearerr(file);
  return _chsize(_fileno(file), size) == 0 && std::fseek(file, size, SEEK_SET) == 0;
}

std::string os_error_text(int error) { return std::strerror(error); }

// Windows has no pseudo-terminals for the virtual adapter to link.
std::string live_terminal_link(const std::string&) { return ""; }

}  // namespace qvtool
