// What the tool needs of the operating system, per platform.
#pragma once

#include <cstdio>
#include <ctime>
#include <functional>
#include <string>

namespace qvtool {

// Pushes what was written to `file` down to the storage device, so that a
// crash or power loss loses at most what comes after.
bool sync_file(std::FILE* file);

bool is_terminal(std::FILE* file);

// Calls `on_interrupt` (from a signal context: it may only set atomics)
// on Ctrl-C and on a termination request.
void on_interrupt(void (*on_interrupt)());

bool path_exists(const std::string& path);

std::tm utc_time(std::time_t t);

}  // namespace qvtool
