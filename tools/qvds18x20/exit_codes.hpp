// How a command of the tool ends: its exit code, and the two kinds of
// failure that decide it.
#pragma once

#include <stdexcept>

namespace qvtool {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

// An option value the command cannot use: exit code kExitUsage.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The command could not do its job: exit code kExitFailed.
class Failure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace qvtool
