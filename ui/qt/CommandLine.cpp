#include "ui/qt/CommandLine.h"

#include <ostream>

#ifndef KORVANE_VERSION
#define KORVANE_VERSION "unknown"
#endif

namespace korvane::ui {

std::optional<int> AnswerInfoOptions(std::span<const char* const> arguments,
                                     const ProgramDescription& program, std::ostream& out) {
  for (std::size_t i = 1; i < arguments.size(); ++i) {
    const std::string_view argument = arguments[i];
    if (argument == "--") {
      break;
    }
    if (argument == "--version") {
      out << program.name << ' ' << KORVANE_VERSION << '\n';
      return 0;
    }
    if (argument == "--help" || argument == "-h") {
      out << "Usage: " << program.name << " [OPTION]...\n"
          << program.summary << "\n\n"
          << "Options:\n"
          << "  -h, --help     Print this help and exit\n"
          << "  --version      Print the version and exit\n\n"
          << "Any other option is Qt's, e.g. -platform NAME or -style STYLE.\n";
      return 0;
    }
  }
  return std::nullopt;
}

}  // namespace korvane::ui
