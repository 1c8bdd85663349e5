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

}  // namespace qvtool
