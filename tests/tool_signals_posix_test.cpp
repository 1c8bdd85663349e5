// The tool and the signals a shell, a terminal or a service manager sends
// it: a hang-up, a quit and a reader of its output that goes away end a
// run as a termination request does (whole rounds, the port's settings
// put back, status 0 once a round was measured); the signals that mean
// nothing to it leave it running.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "support/tool_process.hpp"
#include "support/user_port_settings_posix.hpp"

namespace {

using namespace testing_support;  // the tool as a process, its output, scratch folders

// Whole rounds of the six demonstration devices, at least one.
void ExpectWholeRounds(const std::string& csv) {
  const auto rows = ParseCsv(csv);
  EXPECT_GT(rows.size(), 0u);
  EXPECT_EQ(rows.size() % 6, 0u) << csv;
}

TEST(ToolSignals, AHangUpEndsAWatchAsTerminationDoesAndPutsThePortBack) {
  TempDir dir;
  VirtualAdapter adapter(dir.Path("adapter"));
  ASSERT_TRUE(adapter.ready());
  const int fd = open(adapter.link().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(fd, 0);
  termios before{};
  ASSERT_TRUE(leave_user_settings(fd, before));
  const std::string log = dir.Path("log.csv");
  bool sent = false;
  const Result r = Tool({"watch", "--interval", "0.2", "--port", adapter.link(), "--format", "csv", "--log", log},
                        std::chrono::seconds(30), [&](pid_t pid, const std::string& out) {
                          if (sent || Lines(out).size() < 7) return;  // the header and a round
                          sent = true;
                          kill(pid, SIGHUP);
                        });
  ASSERT_TRUE(sent);
  EXPECT_EQ(r.signal, 0) << "killed by the hang-up";
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.err, "");
  expect_user_settings_back(fd, before);
  close(fd);
  ExpectWholeRounds(ReadFile(log));
  EXPECT_EQ(ParseCsv(ReadFile(log)).size(), ParseCsv(r.out).size());
}

// `qvds18x20 watch ... | head -2`: the reader takes two lines and goes.
TEST(ToolSignals, AReaderThatGoesAwayEndsTheWatchWithWholeRounds) {
  TempDir dir;
  const std::string log = dir.Path("log.csv");
  int out[2];
  ASSERT_EQ(pipe(out), 0);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], 1);
    close(out[0]);
    close(out[1]);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, 2);
    execl(QVDS_TOOL_PATH, QVDS_TOOL_PATH, "watch", "--interval", "0.1", "--format", "csv", "--log", log.c_str(),
          nullptr);
    _exit(127);
  }
  close(out[1]);
  std::string taken;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (Lines(taken).size() < 2 && std::chrono::steady_clock::now() < deadline) {
    pollfd p{out[0], POLLIN, 0};
    if (poll(&p, 1, 100) != 1) continue;
    char buf[256];
    const ssize_t n = read(out[0], buf, sizeof buf);
    if (n <= 0) break;
    taken.append(buf, static_cast<std::size_t>(n));
  }
  close(out[0]);
  ASSERT_GE(Lines(taken).size(), 2u) << taken;
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      FAIL() << "the watch went on after its reader went away";
    }
    poll(nullptr, 0, 20);
  }
  EXPECT_FALSE(WIFSIGNALED(status)) << "killed by signal " << WTERMSIG(status);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  ExpectWholeRounds(ReadFile(log));
}

TEST(ToolSignals, SignalsThatMeanNothingToTheToolLeaveItRunning) {
  bool sent = false;
  const Result ignored = Tool({"watch", "--interval", "0.1", "--count", "4", "--format", "csv"},
                              std::chrono::seconds(30), [&](pid_t pid, const std::string& out) {
                                if (sent || Lines(out).size() < 7) return;
                                sent = true;
                                for (int s : {SIGUSR1, SIGUSR2, SIGALRM}) kill(pid, s);
                              });
  ASSERT_TRUE(sent);
  EXPECT_EQ(ignored.signal, 0);
  EXPECT_EQ(ignored.code, 0) << ignored.err;
  EXPECT_EQ(ParseCsv(ignored.out).size(), 4u * 6u);
}

TEST(ToolSignals, AQuitOrABrokenPipeSentByHandEndsTheWatch) {
  for (int s : {SIGQUIT, SIGPIPE}) {
    SCOPED_TRACE(strsignal(s));
    bool ended = false;
    const Result r = Tool({"watch", "--interval", "0.1", "--count", "1000", "--format", "csv"},
                          std::chrono::seconds(30), [&](pid_t pid, const std::string& out) {
                            if (ended || Lines(out).size() < 7) return;
                            ended = true;
                            kill(pid, s);
                          });
    ASSERT_TRUE(ended);
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.code, 0) << r.err;
    ExpectWholeRounds(r.out);
    EXPECT_LT(ParseCsv(r.out).size(), 1000u * 6u);
  }
}

}  // namespace
