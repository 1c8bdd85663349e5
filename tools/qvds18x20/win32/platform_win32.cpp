#include <io.h>
#include <windows.h>

#include <filesystem>

#include "qvds18x20/platform.hpp"

namespace qvtool {

bool sync_file(std::FILE* file) { return std::fflush(file) == 0 && _commit(_fileno(file)) == 0; }

bool is_terminal(std::FILE* file) { return _isatty(_fileno(file)) != 0; }

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

}  // namespace qvtool
