#include "cli/DbCommands.h"

#include <CLI/CLI.hpp>
#include <charconv>
#include <cstdint>
#include <memory>

#include "cli/Output.h"
#include "station/Database.h"
#include "station/Record.h"

namespace korvane::cli {

namespace {

struct DbChoices {
  std::string target;  // --db, or KORVANE_DB
  std::string series;
  std::string start;
  std::string role;
  std::string serial;
  std::string device;
  std::string since;
  bool json = false;
};

constexpr const char* kDbHelp =
    "The record database: a libpq connection string (\"host=db1 dbname=line user=station\") "
    "or a postgresql:// URI; default: the environment variable KORVANE_DB";

constexpr const char* kSeriesNameText =
    "a series name is 1 to 64 letters, digits, '.', '_' or '-', starting with a letter or digit: ";

void AddTargetOption(CLI::App& command, DbChoices& choices) {
  command.add_option("--db", choices.target, kDbHelp)->type_name("URL")->envname("KORVANE_DB");
}

#ifdef KORVANE_HAVE_DATABASE

std::optional<std::uint64_t> ParseDecimal(std::string_view text) {
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc{} || end != text.data() + text.size()) {
    return std::nullopt;
  }
  return value;
}

// The database's errors end the command as the station's do.
int RunWithDatabase(const DbChoices& choices,
                    const std::function<int(station::RecordDatabase&)>& body) {
  if (choices.target.empty()) {
    throw CliError(kExitUsage,
                   "--db URL (or the environment variable KORVANE_DB) names the "
                   "record database");
  }
  station::RecordDatabase database(choices.target);
  return body(database);
}

std::string HistoryLine(const station::RunRow& row) {
  std::string line =
      station::UtcTimestamp(row.time) + " " + row.host + " " + row.command + " " + row.device;
  if (row.serial) {
    line += " serial " + std::to_string(*row.serial);
    if (row.series) {
      line += " (" + *row.series + ")";
    }
  }
  if (row.state == station::RunState::Claimed) {
    line += ": unfinished, the serial number was claimed and the run never recorded its end";
  } else if (row.success.value_or(false)) {
    line += ": succeeded";
  } else {
    line += ": failed: " + (row.reason.empty() ? row.failure : row.reason);
  }
  if (row.file) {
    line += " [" + *row.file + "]";
  }
  return line + "\n";
}

int InitAction(const DbChoices& choices, Console& console) {
  return RunWithDatabase(choices, [&](station::RecordDatabase& database) {
    const station::InitOutcome outcome = database.InitSchema();
    const std::string version = std::to_string(station::kSchemaVersion);
    switch (outcome) {
      case station::InitOutcome::Created:
        console.out << "The record database at " << database.Where()
                    << " has its schema now, version " << version << ".\n";
        break;
      case station::InitOutcome::Upgraded:
        console.out << "The record database at " << database.Where()
                    << " was brought up to schema version " << version << ".\n";
        break;
      case station::InitOutcome::Current:
        console.out << "The record database at " << database.Where() << " has schema version "
                    << version << " already; nothing was changed.\n";
        break;
    }
    return kExitSuccess;
  });
}

int SeriesAction(const DbChoices& choices, Console& console) {
  const auto start = ParseDecimal(choices.start);
  if (!station::RecordDatabase::ValidSeriesName(choices.series)) {
    throw CliError(kExitUsage, kSeriesNameText + choices.series);
  }
  if (!start || *start > 9223372036854775807ULL) {
    throw CliError(kExitUsage, "--start takes a decimal number from 0 to 9223372036854775807: " +
                                   choices.start);
  }
  return RunWithDatabase(choices, [&](station::RecordDatabase& database) {
    database.CheckReady();
    database.CreateSeries(choices.series, *start);
    console.out << "Serial series \"" << choices.series << "\" created in the record database at "
                << database.Where() << "; its first number is " << *start << ".\n";
    return kExitSuccess;
  });
}

int GrantAction(const DbChoices& choices, Console& console) {
  return RunWithDatabase(choices, [&](station::RecordDatabase& database) {
    database.CheckReady();
    database.GrantStation(choices.role);
    console.out << "The role \"" << choices.role
                << "\" may now claim serial numbers, record runs and read the history in the "
                   "record database at "
                << database.Where() << ".\n";
    return kExitSuccess;
  });
}

int HistoryAction(const DbChoices& choices, Console& console) {
  station::HistoryFilter filter;
  if (!choices.serial.empty()) {
    filter.serial = ParseDecimal(choices.serial);
    if (!filter.serial) {
      throw CliError(kExitUsage, "--serial takes a decimal number: " + choices.serial);
    }
  }
  if (!choices.device.empty()) {
    filter.device = choices.device;
  }
  if (!choices.since.empty()) {
    filter.since = ParseUtcTime(choices.since);
    if (!filter.since) {
      throw CliError(kExitUsage,
                     "--since takes an ISO 8601 UTC time such as 2026-12-07 or "
                     "2026-12-07T10:45:01Z: " +
                         choices.since);
    }
  }
  return RunWithDatabase(choices, [&](station::RecordDatabase& database) {
    database.CheckReady();
    std::size_t runs = 0;
    database.History(filter, [&](const station::RunRow& row) {
      console.out << (choices.json ? station::RunJson(row) + "\n" : HistoryLine(row));
      ++runs;
    });
    if (runs == 0) {
      console.err << "No run matches.\n";
    }
    return kExitSuccess;
  });
}

#else

int NotOffered() {
  throw CliError(kExitUsage, "--db is not offered on this platform");
}

int InitAction(const DbChoices&, Console&) {
  return NotOffered();
}
int SeriesAction(const DbChoices&, Console&) {
  return NotOffered();
}
int GrantAction(const DbChoices&, Console&) {
  return NotOffered();
}
int HistoryAction(const DbChoices&, Console&) {
  return NotOffered();
}

#endif

}  // namespace

std::optional<std::chrono::system_clock::time_point> ParseUtcTime(std::string_view text) {
  using namespace std::chrono;
  const auto number = [&](std::size_t at, std::size_t digits) -> std::optional<int> {
    if (at + digits > text.size()) {
      return std::nullopt;
    }
    int value = 0;
    for (std::size_t i = at; i < at + digits; ++i) {
      if (text[i] < '0' || text[i] > '9') {
        return std::nullopt;
      }
      value = value * 10 + (text[i] - '0');
    }
    return value;
  };
  const auto year = number(0, 4);
  const auto month = number(5, 2);
  const auto day = number(8, 2);
  if (text.size() < 10 || !year || !month || !day || text[4] != '-' || text[7] != '-') {
    return std::nullopt;
  }
  const year_month_day date{std::chrono::year(*year), std::chrono::month(*month),
                            std::chrono::day(*day)};
  if (!date.ok()) {
    return std::nullopt;
  }
  system_clock::time_point when = sys_days(date);
  if (text.size() == 10) {
    return when;
  }
  const auto hour = number(11, 2);
  const auto minute = number(14, 2);
  if (text[10] != 'T' || !hour || !minute || text[13] != ':' || *hour > 23 || *minute > 59 ||
      text.back() != 'Z') {
    return std::nullopt;
  }
  when += hours(*hour) + minutes(*minute);
  std::size_t at = 16;
  if (at < text.size() - 1) {
    const auto second = number(17, 2);
    if (text[16] != ':' || !second || *second > 59) {
      return std::nullopt;
    }
    when += seconds(*second);
    at = 19;
    if (at < text.size() - 1) {
      // A fraction of a second: milliseconds count, further digits are dropped.
      if (text[at] != '.' || at + 1 == text.size() - 1) {
        return std::nullopt;
      }
      int millis = 0;
      int scale = 100;
      for (std::size_t i = at + 1; i < text.size() - 1; ++i) {
        if (text[i] < '0' || text[i] > '9') {
          return std::nullopt;
        }
        millis += (text[i] - '0') * scale;
        scale /= 10;
      }
      when += milliseconds(millis);
      at = text.size() - 1;
    }
  }
  return at == text.size() - 1 ? std::optional(when) : std::nullopt;
}

void AddRecordDatabaseOptions(CLI::App& command, RecordDbChoices& choices) {
  command
      .add_option(
          "--db", choices.target,
          "Record every device's run in the record database that many stations share, besides "
          "--log if given (PostgreSQL; Linux): a libpq connection string (\"host=db1 "
          "dbname=line user=station\") or a postgresql:// URI; default: the environment variable "
          "KORVANE_DB. Before any packet the command connects, checks the schema, and sends the "
          "runs that wait in the spool (see --db-spool); when that fails nothing is sent to any "
          "device (exit 4). A device's run is recorded before the device is called done; when "
          "the database goes away, the device in progress finishes, its run waits in the spool, "
          "and no further device is started (exit 4)")
      ->type_name("URL")
      ->envname("KORVANE_DB");
  command
      .add_option("--db-spool", choices.spool,
                  "With --db: where runs wait that the record database did not take (JSON lines, "
                  "appended whole and synced; sent, and the file removed, when a command with "
                  "--db next starts). Default: $XDG_STATE_HOME/korvane/spool-HASH.jsonl (or "
                  "~/.local/state/korvane/...), HASH naming the database by host, port, database "
                  "and user")
      ->type_name("FILE");
}

void AddSerialSeriesOption(CLI::App& command, std::string& series) {
  command
      .add_option("--serial-series", series,
                  "With --db, instead of --serial-file: take the numbers from this series of the "
                  "record database (korvane-cli db series creates one). A board takes its number "
                  "once it has answered the version query, recorded with the board's run in one "
                  "statement: never handed out again, also when the station dies (the run stays "
                  "unfinished in the history). A number that does not fit --serial-bytes and "
                  "--serial-format fails the board before its first erase (exit 4). Needs "
                  "--serial-at")
      ->type_name("NAME");
}

std::optional<station::DatabaseJob> DatabaseJobOf(const std::string& command,
                                                  const RecordDbChoices& choices,
                                                  const std::string& series) {
  if (choices.target.empty()) {
    if (!choices.spool.empty()) {
      throw CliError(kExitUsage, command + ": --db-spool goes with --db");
    }
    if (!series.empty()) {
      throw CliError(kExitUsage, command +
                                     ": --serial-series takes numbers from the record database: "
                                     "give --db URL (or the environment variable KORVANE_DB)");
    }
    return std::nullopt;
  }
#ifdef KORVANE_HAVE_DATABASE
  if (!series.empty() && !station::RecordDatabase::ValidSeriesName(series)) {
    throw CliError(kExitUsage, "--serial-series: " + std::string(kSeriesNameText) + series);
  }
#endif
  return station::DatabaseJob{choices.target, choices.spool};
}

void AddDbCommands(CLI::App& app, std::function<int(Console&)>& action) {
  auto choices = std::make_shared<DbChoices>();

  auto* db = app.add_subcommand(
      "db", "Set up the record database that many stations share (PostgreSQL; Linux)");
  db->require_subcommand(1);

  auto* init = db->add_subcommand(
      "init",
      "Create the tables of the record database, or bring them up to this Korvane's version; "
      "a second run changes nothing");
  AddTargetOption(*init, *choices);
  init->callback(
      [&action, choices] { action = [choices](Console& c) { return InitAction(*choices, c); }; });

  auto* series = db->add_subcommand(
      "series",
      "Create a serial number series that stations take numbers from; an existing series is "
      "never started over (exit 4)");
  series->add_option("NAME", choices->series, "The series' name: letters, digits, '.', '_', '-'")
      ->required();
  series->add_option("--start", choices->start, "Its first number")->type_name("N")->required();
  AddTargetOption(*series, *choices);
  series->callback(
      [&action, choices] { action = [choices](Console& c) { return SeriesAction(*choices, c); }; });

  auto* grant = db->add_subcommand(
      "grant",
      "Let a database role do what a station does: claim serial numbers, record runs, read the "
      "history (run it as the role that ran db init)");
  grant->add_option("ROLE", choices->role, "The station's role")->required();
  AddTargetOption(*grant, *choices);
  grant->callback(
      [&action, choices] { action = [choices](Console& c) { return GrantAction(*choices, c); }; });

  auto* history = app.add_subcommand(
      "history",
      "The runs in the record database that match, newest first: what went into a board");
  AddTargetOption(*history, *choices);
  history->add_option("--serial", choices->serial, "Only the runs of this serial number")
      ->type_name("N");
  history->add_option("--device", choices->device, "Only the runs at this place")
      ->type_name("PLACE");
  history
      ->add_option("--since", choices->since,
                   "Only runs at or after TIME, ISO 8601 in UTC (2026-12-07 or "
                   "2026-12-07T10:45:01Z)")
      ->type_name("TIME");
  history->add_flag("--json", choices->json,
                    "One JSON object per run, with the fields of the log plus run_key, state "
                    "(claimed or finished), claimed, series and packets; serial numbers as "
                    "strings");
  history->callback([&action, choices] {
    action = [choices](Console& c) { return HistoryAction(*choices, c); };
  });
}

}  // namespace korvane::cli
