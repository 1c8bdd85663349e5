// --config FILE on the command line: the file's options become the
// command line's where it gives none of its own, so that one parser checks
// both alike and the command line wins.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "qvds18x20/config_file.hpp"

namespace CLI {
class App;
}

namespace qvtool {

struct ExpandedArgs {
  std::vector<std::string> args;               // the command line with the file's options in it
  bool has_config = false;
  ConfigFile config;                           // the file read, when there was one
  std::map<std::string, std::string> origins;  // "--interval" -> "FILE:LINE:COLUMN" for what came from the file
};

// Reads the file that `--config FILE` (or --config=FILE) names in the
// command's arguments. A key that is an option of the command goes in as
// --key=value (true for a flag: --key; false: left out) unless the command
// line gives that option itself; a key that is an option of another of
// `commands` is left for that command; any other key is an error. Throws
// ConfigError (with the file, line and column) for a file that cannot be
// read or used: nothing of it is applied then.
ExpandedArgs expand_config(CLI::App& app, int argc, char** argv, const std::vector<std::string>& commands);

// `message` with where the option it begins with came from, when that was
// the configuration file.
std::string with_origin(const std::string& message, const std::map<std::string, std::string>& origins);

}  // namespace qvtool
