#include "qvds18x20/posix/stand_in_launch.hpp"

#include <csignal>

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "qvds18x20/exit_codes.hpp"
#include "qvds18x20/platform.hpp"

namespace qvtool {

namespace {

std::string folder_of_tool() {
  std::vector<char> buf(4096);
  const ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size() - 1);
  if (n <= 0) return ".";
  std::string path(buf.data(), static_cast<std::size_t>(n));
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

// Runs `command` in this process's place; returns only when it could not,
// with the errno of the failure.
int exec_in_place(const std::vector<std::string>& command) {
  std::vector<char*> argv;
  for (const auto& a : command) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::fflush(nullptr);
  // The program gets the signal dispositions the tool was given, not the
  // tool's own (it ignores SIGXFSZ to report a full disk itself; an
  // ignored signal would stay ignored across exec).
  signal(SIGXFSZ, SIG_DFL);
  // The program takes this process's place: signals sent to the tool
  // reach it directly.
  execvp(argv[0], argv.data());
  return errno;
}

}  // namespace

std::string speedup_trouble(const std::string& value) {
  char* end = nullptr;
  const double factor = std::strtod(value.c_str(), &end);
  if (end != value.c_str() && *end == 0 && factor >= kSlowestSpeedup && factor <= kFastestSpeedup) return "";
  return "out of range: takes 0.1 to 1000, not \"" + shorten(value) + "\"";
}

std::string find_stand_in(const char* env, const std::string& file, const std::string& installed) {
  if (const char* named = std::getenv(env); named != nullptr && *named != 0) return named;
  if (file.empty()) return "";
  const std::string beside = folder_of_tool() + "/" + file;
  if (path_exists(beside)) return beside;
  if (path_exists(installed)) return installed;
  return "";
}

void preload(const std::string& library) {
  std::string preload = library;
  if (const char* old = std::getenv("LD_PRELOAD"); old != nullptr && *old != 0) preload += std::string(":") + old;
  setenv("LD_PRELOAD", preload.c_str(), 1);
  // A program built with AddressSanitizer insists on its runtime coming
  // first; the stand-in is preloaded ahead of it, which is harmless.
  std::string asan = "verify_asan_link_order=0";
  if (const char* old = std::getenv("ASAN_OPTIONS"); old != nullptr && *old != 0) asan = std::string(old) + ":" + asan;
  setenv("ASAN_OPTIONS", asan.c_str(), 1);
}

int run_with_stand_in(const StandInLaunch& launch, const std::vector<std::string>& command) {
  if (!launch.trace.empty()) {
    std::FILE* f = std::fopen(launch.trace.c_str(), "a");
    if (f == nullptr) {
      std::fprintf(stderr, "qvds18x20 %s: --trace %s: cannot be opened for appending (%s)\n", launch.tool,
                   shorten(launch.trace, 200).c_str(), os_error_text(errno).c_str());
      return kExitFailed;
    }
    std::fclose(f);
  }
  preload(launch.library);
  auto settings = launch.settings;
  settings.emplace_back(launch.trace_variable, launch.trace);
  for (const auto& [name, value] : settings) {
    if (value.empty())
      unsetenv(name.c_str());
    else
      setenv(name.c_str(), value.c_str(), 1);
  }
  const int error = exec_in_place(command);
  std::fprintf(stderr, "qvds18x20 %s: cannot run %s (%s)\n", launch.tool, shorten(command[0], 200).c_str(),
               os_error_text(error).c_str());
  return error == ENOENT ? 127 : 126;
}

}  // namespace qvtool
