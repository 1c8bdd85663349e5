// The tool as systemd runs it: the journal on its standard streams
// (JOURNAL_STREAM names them), which gets each message with its priority
// and no table every interval; and the notification socket, which gets
// READY, the watchdog's pets each round and while waiting, and STOPPING.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/tool_process.hpp"

namespace {

using namespace testing_support;  // the tool as a process, its output, scratch folders

// In the child, before the tool: JOURNAL_STREAM names the stream of
// `fd`, as systemd sets it for a service whose output is the journal.
void JournalIs(int fd) {
  struct stat st {};
  if (fstat(fd, &st) != 0) _exit(125);
  const std::string stream = std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
  setenv("JOURNAL_STREAM", stream.c_str(), 1);
}

TEST(ToolService, MessagesToTheJournalCarryTheirPriority) {
  TempDir dir;
  // A sensor configured and missing (a warning), and a measurement that
  // fails (an error).
  const std::string devices = dir.File("bus.json", R"({"devices": [{"type": "DS18B20", "serial": "0416913C6BFF"}]})");
  const std::string config = dir.File("q.toml", "sim = \"" + devices + R"toml("
[sensors."28.000000C0FFEE"]
name = "attic"
)toml");
  const Result r = Tool({"read", "--config", config}, std::chrono::seconds(30), nullptr, [] { JournalIs(2); });
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.err.rfind("<4>qvds18x20: warning: sensor ", 0), 0u) << r.err;
  EXPECT_NE(r.out.find("INDEX"), std::string::npos) << "standard output is not the journal: " << r.out;
  const Result failed = Tool({"read", "--sim", dir.File("e.json", R"({"devices": []})")}, std::chrono::seconds(30),
                             nullptr, [] { JournalIs(2); });
  EXPECT_EQ(failed.code, 1);
  EXPECT_EQ(failed.err.rfind("<3>qvds18x20: measuring on COM1 failed: ", 0), 0u) << failed.err;
  const Result usage = Tool({"read", "--format", "xml"}, std::chrono::seconds(30), nullptr, [] { JournalIs(2); });
  EXPECT_EQ(usage.code, 2);
  EXPECT_EQ(usage.err.rfind("<3>qvds18x20: ", 0), 0u) << usage.err;
  // Without the journal, no priorities.
  const Result plain = Tool({"read", "--config", config});
  EXPECT_EQ(plain.err.rfind("qvds18x20: warning: ", 0), 0u) << plain.err;
}

TEST(ToolService, AWatchWhoseOutputIsTheJournalPrintsNoTableUnlessAsked) {
  TempDir dir;
  const std::string log = dir.Path("log.csv");
  const Result quiet = Tool({"watch", "--sim", "-i", "0", "-c", "2", "--log", log}, std::chrono::seconds(30), nullptr,
                            [] { JournalIs(1); });
  EXPECT_EQ(quiet.code, 0) << quiet.err;
  EXPECT_EQ(quiet.out, "");
  EXPECT_EQ(ParseCsv(ReadFile(log)).size(), 2u * 6u) << "the log still gets every round";
  // Asked for: the configuration's format, or the command line's.
  const std::string config = dir.File("q.toml", "sim = true\nformat = \"json\"\n");
  const Result asked = Tool({"watch", "--config", config, "-i", "0", "-c", "2"}, std::chrono::seconds(30), nullptr,
                            [] { JournalIs(1); });
  EXPECT_EQ(Lines(asked.out).size(), 2u) << asked.out;
  // --format none anywhere.
  const Result none = Tool({"read", "--sim", "--format", "none"});
  EXPECT_EQ(none.code, 0) << none.err;
  EXPECT_EQ(none.out, "");
}

// A datagram socket where the tool's notifications arrive, as systemd's
// NOTIFY_SOCKET is, read as they come (as systemd does: a full queue
// would hold the sender up).
class NotifySocket {
 public:
  explicit NotifySocket(const std::string& path) {
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    path.copy(a.sun_path, sizeof a.sun_path - 1);
    bound_ = fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    if (bound_) reader_ = std::thread([this] { Read(); });
  }
  ~NotifySocket() {
    stop_ = true;
    if (reader_.joinable()) reader_.join();
    if (fd_ >= 0) close(fd_);
  }
  bool bound() const { return bound_; }
  // The notifications that arrived since the last call, one message
  // each, up to `last` (waited for, 10 s at most).
  std::vector<std::string> Received(const std::string& last) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
      {
        std::lock_guard lock(mutex_);
        if (std::find(got_.begin(), got_.end(), last) != got_.end() || std::chrono::steady_clock::now() > deadline)
          return std::exchange(got_, {});
      }
      poll(nullptr, 0, 20);
    }
  }

 private:
  void Read() {
    char buf[4096];
    while (!stop_) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 50) != 1) continue;
      const ssize_t n = recv(fd_, buf, sizeof buf, 0);
      if (n <= 0) continue;
      std::lock_guard lock(mutex_);
      got_.emplace_back(buf, static_cast<std::size_t>(n));
    }
  }

  int fd_ = -1;
  bool bound_ = false;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::vector<std::string> got_;
  std::thread reader_;
};

int Count(const std::vector<std::string>& messages, const std::string& what) {
  int n = 0;
  for (const auto& m : messages) n += m.find(what) != std::string::npos;
  return n;
}

TEST(ToolService, AWatchTellsSystemdItIsReadyAliveBetweenRoundsAndStopping) {
  if (!QVDS_TOOL_NOTIFIES) GTEST_SKIP() << "this tool is built without libsystemd";
  TempDir dir;
  const std::string path = dir.Path("notify");
  NotifySocket manager(path);
  ASSERT_TRUE(manager.bound());
  // A watchdog of 0.4 s and an interval of 2 s: only pets while waiting
  // keep such a run alive.
  const Result r = Tool({"watch", "--sim", "-i", "2", "-c", "2", "-f", "none"}, std::chrono::seconds(30), nullptr,
                        [path] {
                          setenv("NOTIFY_SOCKET", path.c_str(), 1);
                          setenv("WATCHDOG_USEC", "400000", 1);
                        });
  ASSERT_EQ(r.code, 0) << r.err;
  const auto got = manager.Received("STOPPING=1");
  ASSERT_FALSE(got.empty());
  EXPECT_EQ(got.front(), "READY=1");
  EXPECT_EQ(got.back(), "STOPPING=1");
  EXPECT_GE(Count(got, "WATCHDOG=1"), 5) << "pets while it waits for the next round";
  EXPECT_EQ(Count(got, "STATUS=measured at "), 2);
  // Without a watchdog, no pets.
  const Result unwatched = Tool({"watch", "--sim", "-i", "0", "-c", "2", "-f", "none"}, std::chrono::seconds(30),
                                nullptr, [path] { setenv("NOTIFY_SOCKET", path.c_str(), 1); });
  ASSERT_EQ(unwatched.code, 0) << unwatched.err;
  const auto quiet = manager.Received("STOPPING=1");
  EXPECT_EQ(Count(quiet, "READY=1"), 1);
  EXPECT_EQ(Count(quiet, "WATCHDOG=1"), 0);
}

}  // namespace
