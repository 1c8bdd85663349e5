// <windows.h> as the library's Windows files, its driver library, its
// Windows suites and the Win32 form include it: without the min and max
// macros, which would break std::min and std::max, and without the parts
// of the API none of them uses.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
