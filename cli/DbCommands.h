#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "cli/Commands.h"

namespace CLI {
class App;
}

// The commands of the record database that many stations share: `db init`, `db series`,
// `db grant` and `history`.
namespace korvane::cli {

// Adds the commands to `app`; the one given on the command line sets `action`.
void AddDbCommands(CLI::App& app, std::function<int(Console&)>& action);

// "2026-12-07" (midnight) or "2026-12-07T10:45[:01[.123]]Z", in UTC; nothing for any other
// text or a date that does not exist.
std::optional<std::chrono::system_clock::time_point> ParseUtcTime(std::string_view text);

}  // namespace korvane::cli
