// The tool as systemd runs it: the journal on its standard streams
// (JOURNAL_STREAM names them), which gets each message with its priority
// and no table every interval; and the notification socket, which gets
// READY, the watchdog's pets each round and while waiting, and STOPPING.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
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

}  // namespace
