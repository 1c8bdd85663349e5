#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>
#include <vector>

#include "qvds18x20/owserver/zeroconf.hpp"

extern char** environ;

namespace qvtool::owserver {
namespace {

// The program on the search path, or "".
std::string find_program(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
  std::size_t start = 0;
  while (start <= dirs.size()) {
    const std::size_t end = dirs.find(':', start);
    const std::string dir = dirs.substr(start, end == std::string::npos ? std::string::npos : end - start);
    const std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return "";
}

class AvahiPublish final : public Announcement {
 public:
  AvahiPublish(pid_t pid, int output, std::function<void(const std::string&)> note)
      : pid_(pid), output_(output), reader_([this, note = std::move(note)] { read(note); }) {}

  ~AvahiPublish() override {
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
    reader_.join();
    close(output_);
  }

 private:
  // Its words, a line at a time, until it ends.
  void read(const std::function<void(const std::string&)>& note) {
    std::string line;
    char buf[256];
    for (;;) {
      const ssize_t n = ::read(output_, buf, sizeof buf);
      if (n <= 0) break;
      for (ssize_t i = 0; i < n; ++i) {
        if (buf[i] != '\n') {
          if (line.size() < 500) line += buf[i];
          continue;
        }
        if (!line.empty() && note) note(line);
        line.clear();
      }
    }
    if (!line.empty() && note) note(line);
  }

  pid_t pid_;
  int output_;
  std::thread reader_;
};

}  // namespace

std::unique_ptr<Announcement> announce(const std::string& name, unsigned short port,
                                       std::function<void(const std::string&)> note) {
  const std::string program = find_program("avahi-publish");
  if (program.empty()) return nullptr;
  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC) != 0) return nullptr;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], 1);
  posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], 2);
  const std::string port_text = std::to_string(port);
  std::vector<std::string> args = {program, "-s", name, "_owserver._tcp", port_text};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  const int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(pipe_fds[1]);
  if (rc != 0) {
    close(pipe_fds[0]);
    return nullptr;
  }
  return std::make_unique<AvahiPublish>(pid, pipe_fds[0], std::move(note));
}

}  // namespace qvtool::owserver
