// What sim-usb and sim-i2c share: finding their stand-in library, and
// running the program in the tool's place with it preloaded.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace qvtool {

// --speedup's range for both. Slower than a tenth of real time, a program
// spends seconds in each transfer and answers its signals as late;
// faster than a thousand times, the emulated chips' waits are shorter
// than a system call.
inline constexpr double kSlowestSpeedup = 0.1, kFastestSpeedup = 1000.0;

// Why `value` cannot be a --speedup, in a few words; "" when it can.
std::string speedup_trouble(const std::string& value);

// The stand-in: named by the environment variable `env`, else `file`
// beside the tool (a build tree), else `installed` (where the install put
// it); "" when it is not there, or not built (`file` "").
std::string find_stand_in(const char* env, const std::string& file, const std::string& installed);

// Puts `library` ahead of what LD_PRELOAD holds already.
void preload(const std::string& library);

// A program run with a stand-in: the library preloaded and its settings in
// the environment.
struct StandInLaunch {
  const char* tool;     // the command, for messages: "sim-usb"
  std::string library;  // find_stand_in()'s
  // Variable and value; an empty value unsets the variable, so that none
  // is inherited from the tool's own environment.
  std::vector<std::pair<std::string, std::string>> settings;
  // The variable naming the trace file, and the file ("" for none). The
  // stand-in appends to it, and one it could not open would give no trace
  // and no word, so it is opened here first.
  std::string trace_variable;
  std::string trace;
};

// Runs `command` in this process's place with the stand-in. When the
// trace cannot be opened, says so on stderr in the tool's name and
// returns kExitFailed; when the program cannot run, says so and returns
// the status a shell gives such a program: 127 when it is not found, 126
// when it cannot run.
int run_with_stand_in(const StandInLaunch& launch, const std::vector<std::string>& command);

}  // namespace qvtool
