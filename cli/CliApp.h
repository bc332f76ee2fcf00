#pragma once

#include <ostream>

namespace korvane::cli {

// Runs korvane-cli on a command line and returns the exit code. `terminal` tells whether
// standard output is a terminal (progress bar) or not (plain lines).
int RunCli(int argc, const char* const* argv, std::ostream& out, std::ostream& err, bool terminal);

}  // namespace korvane::cli
