// --help and --version of the window programs, answered before Qt starts, so that they work
// without a display (help2man reads them to make the manual pages).
#pragma once

#include <iosfwd>
#include <optional>
#include <span>
#include <string_view>

namespace korvane::ui {

struct ProgramDescription {
  std::string_view name;     // the program's file name, e.g. "korvane"
  std::string_view summary;  // what it is, one sentence
};

// When the arguments (argv, the program's own path first) ask for --help (-h) or --version,
// writes the answer to `out` and returns the exit code. Otherwise returns nothing and leaves every
// argument to Qt. Arguments after "--" are not looked at.
std::optional<int> AnswerInfoOptions(std::span<const char* const> arguments,
                                     const ProgramDescription& program, std::ostream& out);

}  // namespace korvane::ui
