// How a command of the tool ends: its exit code, the two kinds of failure
// that decide it, and the words their messages are made of.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

namespace qvtool {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;
// read measured, and a value lies outside its sensor's bounds (shown, and
// flagged out_of_bounds); a failure (1) says more and wins.
inline constexpr int kExitOutOfBounds = 3;

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

// A value echoed in a message, cut to a length a line can hold: a file
// or an option may carry megabytes.
// The cut never splits a UTF-8 sequence.
inline std::string shorten(const std::string& text, std::size_t limit = 60) {
  if (text.size() <= limit) return text;
  std::size_t cut = limit;
  // A sequence is at most four bytes long; bytes that are not UTF-8 at all
  // are cut where the limit falls.
  for (int back = 0; back < 3 && cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80; ++back) --cut;
  return text.substr(0, cut) + "... (" + std::to_string(text.size()) + " bytes)";
}

// The choices a message offers, in words: "a, b or c".
inline std::string or_list(const std::vector<std::string>& words) {
  std::string text;
  for (std::size_t i = 0; i < words.size(); ++i) {
    if (i > 0) text += i + 1 == words.size() ? " or " : ", ";
    text += words[i];
  }
  return text;
}

}  // namespace qvtool
