#include "cli/Output.h"

#include "platform/Hex.h"

namespace korvane::cli {

void StreamLoaderHost::ShowMessage(std::string_view text) {
  // The windows' messages break lines with CR LF; a terminal wants plain LF.
  std::string line;
  line.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
      continue;
    }
    line += text[i];
  }
  err_ << line << '\n' << std::flush;
}

}  // namespace korvane::cli
