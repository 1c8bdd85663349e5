// What sim-usb and sim-i2c share: finding their stand-in library, and
// running the program in the tool's place with it preloaded.
#pragma once

#include <string>
#include <vector>

namespace qvtool {

// The stand-in: named by the environment variable `env`, else `file`
// beside the tool (a build tree), else `installed` (where the install put
// it); "" when it is not there, or not built (`file` "").
std::string find_stand_in(const char* env, const std::string& file, const std::string& installed);

// Puts `library` ahead of what LD_PRELOAD holds already.
void preload(const std::string& library);

// Runs `command` in this process's place; returns only when it could not,
// with the errno of the failure.
int exec_in_place(const std::vector<std::string>& command);

// Runs `command` in this process's place; when it cannot, says so on
// stderr in `tool`'s name ("sim-usb") and returns the status a shell
// gives such a program: 127 when it is not found, 126 when it cannot run.
int run_in_place(const std::vector<std::string>& command, const char* tool);

// Names the trace file to the stand-in in the environment variable `env`
// (unset for none). The stand-in appends to it, and one it could not open
// would give no trace and no word, so it is opened here first; false,
// said on stderr in `tool`'s name, when it cannot be.
bool pass_trace(const char* env, const std::string& trace, const char* tool);

}  // namespace qvtool
