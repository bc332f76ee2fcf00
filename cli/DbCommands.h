#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "cli/Commands.h"
#include "station/DbRecord.h"

namespace CLI {
class App;
}

// The commands of the record database that many stations share: `db init`, `db series`,
// `db grant` and `history`.
namespace korvane::cli {

// Adds the commands to `app`; the one given on the command line sets `action`.
void AddDbCommands(CLI::App& app, std::function<int(Console&)>& action);

// --db and --db-spool, for update, verify, backup and reset.
void AddRecordDatabaseOptions(CLI::App& command, RecordDbChoices& choices);
// --serial-series, for update.
void AddSerialSeriesOption(CLI::App& command, std::string& series);
// The record database's part of `command`'s job: nothing without --db (or KORVANE_DB). Throws
// CliError (usage) for --db-spool or --serial-series without --db, and a series name that
// cannot be one.
std::optional<station::DatabaseJob> DatabaseJobOf(const std::string& command,
                                                  const RecordDbChoices& choices,
                                                  const std::string& series = {});

// "2026-12-07" (midnight) or "2026-12-07T10:45[:01[.123]]Z", in UTC; nothing for any other
// text or a date that does not exist.
std::optional<std::chrono::system_clock::time_point> ParseUtcTime(std::string_view text);

}  // namespace korvane::cli
