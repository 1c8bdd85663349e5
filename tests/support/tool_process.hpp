// The qvds18x20 tool run as a process, as a user runs it, for the tool's
// suites: a run with both streams collected and a deadline, the lines and
// CSV rows of its output and its JSON entry of a sensor, a scratch folder,
// and a virtual adapter of the tool itself. QVDS_TOOL_PATH names the built
// program.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

namespace testing_support {

struct Result {
  int code = -1;  // exit status; -1 when killed by a signal or the deadline
  int signal = 0;
  std::string out, err;
};

// Runs the tool with `args`, collecting both streams; kills it after
// `limit` so that a hang fails the test instead of stalling the suite.
// `on_output` sees the standard output collected so far after each read,
// with the process id, to act on a running tool; `in_child` runs in the
// child before the tool.
inline Result Tool(const std::vector<std::string>& args, std::chrono::seconds limit = std::chrono::seconds(30),
            const std::function<void(pid_t, const std::string&)>& on_output = nullptr,
            const std::function<void()>& in_child = nullptr) {
  int out_pipe[2], err_pipe[2];
  if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0) return {};
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(out_pipe[1], 1);
    dup2(err_pipe[1], 2);
    close(out_pipe[0]);
    close(err_pipe[0]);
    if (in_child) in_child();
    std::vector<char*> argv;
    std::string tool = QVDS_TOOL_PATH;
    argv.push_back(tool.data());
    std::vector<std::string> copy = args;
    for (auto& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(out_pipe[1]);
  close(err_pipe[1]);
  Result r;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
  int open_streams = 2;
  while (open_streams > 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      kill(pid, SIGKILL);
      ADD_FAILURE() << "tool did not finish within " << limit.count() << " s";
      break;
    }
    if (poll(fds, 2, static_cast<int>(left.count())) <= 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || (fds[i].revents & (POLLIN | POLLHUP)) == 0) continue;
      char buf[4096];
      const ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n <= 0) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open_streams;
      } else {
        (i == 0 ? r.out : r.err).append(buf, static_cast<std::size_t>(n));
        if (i == 0 && on_output) on_output(pid, r.out);
      }
    }
  }
  for (auto& f : fds)
    if (f.fd >= 0) close(f.fd);
  int status = 0;
  waitpid(pid, &status, 0);
  r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  r.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  return r;
}

inline std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// A CSV reader for the tool's output: quoted fields with doubled quotes.
inline std::vector<std::map<std::string, std::string>> ParseCsv(const std::string& text) {
  auto split = [](const std::string& line) {
    std::vector<std::string> fields(1);
    bool quoted = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
      const char c = line[i];
      if (quoted) {
        if (c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
          fields.back() += '"';
          ++i;
        } else if (c == '"') {
          quoted = false;
        } else {
          fields.back() += c;
        }
      } else if (c == '"') {
        quoted = true;
      } else if (c == ',') {
        fields.emplace_back();
      } else {
        fields.back() += c;
      }
    }
    return fields;
  };
  const auto lines = Lines(text);
  std::vector<std::map<std::string, std::string>> rows;
  if (lines.empty()) return rows;
  const auto header = split(lines[0]);
  for (std::size_t i = 1; i < lines.size(); ++i) {
    const auto f = split(lines[i]);
    EXPECT_EQ(f.size(), header.size()) << lines[i];
    std::map<std::string, std::string> row;
    for (std::size_t k = 0; k < header.size() && k < f.size(); ++k) row[header[k]] = f[k];
    rows.push_back(row);
  }
  return rows;
}

// The entry of `rom` among the "sensors" of the tool's JSON output `j`;
// null, and a failure, when it is not there.
inline const nlohmann::json& SensorEntry(const nlohmann::json& j, const std::string& rom) {
  for (const auto& s : j["sensors"])
    if (s["rom"] == rom) return s;
  static const nlohmann::json none;
  ADD_FAILURE() << rom << " not in " << j.dump();
  return none;
}

class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/qvds-tool-XXXXXX";
    path_ = mkdtemp(tmpl);
  }
  ~TempDir() { std::filesystem::remove_all(path_); }
  std::string File(const std::string& name, const std::string& content) const {
    const std::string p = path_ + "/" + name;
    std::ofstream(p, std::ios::binary) << content;
    return p;
  }
  std::string Path(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// A virtual adapter of the tool itself, on a pseudo-terminal reached
// through `link`; stopped (SIGSTOP) it is an adapter that stalls. `type`
// is sim-adapter's (ds2480b or passive), `devices` its device file (the
// demonstration devices when empty).
class VirtualAdapter {
 public:
  explicit VirtualAdapter(const std::string& link, const std::string& type = "ds2480b",
                          const std::string& devices = "")
      : link_(link) {
    int out[2];
    if (pipe(out) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], 1);
      close(out[0]);
      if (devices.empty())
        execl(QVDS_TOOL_PATH, QVDS_TOOL_PATH, "sim-adapter", "--type", type.c_str(), "--link", link.c_str(), nullptr);
      else
        execl(QVDS_TOOL_PATH, QVDS_TOOL_PATH, "sim-adapter", "--type", type.c_str(), "--link", link.c_str(), "--devices",
              devices.c_str(), nullptr);
      _exit(127);
    }
    close(out[1]);
    // Its one line says it is ready.
    pollfd p{out[0], POLLIN, 0};
    if (poll(&p, 1, 20000) == 1) {
      char buf[256];
      const ssize_t n = read(out[0], buf, sizeof buf);
      ready_ = n > 0;
    }
    close(out[0]);
  }
  ~VirtualAdapter() {
    if (pid_ <= 0) return;
    kill(pid_, SIGCONT);
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
  bool ready() const { return ready_; }
  void stall() { kill(pid_, SIGSTOP); }
  // Unplugged: the adapter and its pseudo-terminal are gone.
  void unplug() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  const std::string& link() const { return link_; }

 private:
  std::string link_;
  pid_t pid_ = -1;
  bool ready_ = false;
};

inline std::string DevicesFile(const TempDir& dir, const std::string& name, int count) {
  std::string text = R"({"devices": [)";
  for (int i = 0; i < count; ++i) {
    char serial[16];
    std::snprintf(serial, sizeof serial, "%012X", 0x100 + i);
    text += std::string(i ? "," : "") + R"({"type": "DS18B20", "serial": ")" + serial + R"(", "celsius": 20})";
  }
  return dir.File(name, text + "]}");
}

}  // namespace testing_support
