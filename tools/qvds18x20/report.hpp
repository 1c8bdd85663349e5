// The tool's messages on standard error: one line each, "qvds18x20: "
// first. When standard error is the systemd journal (a service's), each
// line starts with its priority as well (<3> an error, <4> a warning, <5>
// a notice, <6> news), which the journal takes for the entry's priority
// and removes, so that `journalctl -p warning` finds what went wrong.
#pragma once

#include <string>

namespace qvtool {

enum class Severity {
  kError,    // a failure: the command, or a round of watch, did not do its job
  kWarning,  // a result short of the whole truth, or a publisher waiting
  kNotice,   // back to normal (a broker reconnected, a file written again)
  kInfo,     // what the run does (where it serves its metrics)
};

// `line` on standard error as above, flushed at once.
void report(Severity severity, const std::string& line);

}  // namespace qvtool
