// The program behind main(): kept in the tool's library, so that main.cpp
// compiles in no time and the command-line parser's headers once.
#pragma once

namespace qvtool {

// Parses the command line, runs the command and returns the exit status.
int run_program(int argc, char** argv);

}  // namespace qvtool
