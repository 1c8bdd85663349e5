#include "qvds18x20/report.hpp"

#include <cstdio>

#include "qvds18x20/platform.hpp"

namespace qvtool {

void report(Severity severity, const std::string& line) {
  // Asked once: the stream does not change during a run.
  static const bool journal = is_journal(stderr);
  const char* priority = "";
  if (journal) {
    switch (severity) {
      case Severity::kError:
        priority = "<3>";
        break;
      case Severity::kWarning:
        priority = "<4>";
        break;
      case Severity::kNotice:
        priority = "<5>";
        break;
      case Severity::kInfo:
        priority = "<6>";
        break;
    }
  }
  // One call, so that lines of two threads do not interleave.
  std::fprintf(stderr, "%sqvds18x20: %s\n", priority, line.c_str());
  std::fflush(stderr);
}

}  // namespace qvtool
