// PostgreSQL through libpq: the C library every PostgreSQL ships and Debian keeps current; our
// few statements need no more than a small RAII wrapper around it.
#include "station/Database.h"

#include <libpq-fe.h>

#include <charconv>
#include <cstdio>
#include <filesystem>
#include <random>
#include <system_error>

#include "platform/Files.h"
#include "station/Json.h"
#include "station/Record.h"

namespace korvane::station {

namespace {

using Clock = std::chrono::system_clock;

// Entry N holds the statements that bring version N to N + 1; entry 0 creates the schema from
// nothing.
const char* const kSchemaSteps[] = {
    R"sql(
CREATE TABLE korvane_schema (
  only_row boolean PRIMARY KEY DEFAULT true CHECK (only_row),
  version integer NOT NULL,
  upgraded timestamptz NOT NULL DEFAULT now()
);
CREATE TABLE korvane_series (
  id bigint GENERATED ALWAYS AS IDENTITY UNIQUE,
  name text PRIMARY KEY CHECK (name ~ '^[A-Za-z0-9][A-Za-z0-9._-]{0,63}$'),
  start_value bigint NOT NULL CHECK (start_value >= 0),
  created timestamptz NOT NULL DEFAULT now()
);
CREATE TABLE korvane_runs (
  run_key text PRIMARY KEY CHECK (run_key ~ '^[0-9a-f]{32}$'),
  state text NOT NULL CHECK (state IN ('claimed', 'finished')),
  time timestamptz NOT NULL,
  claimed timestamptz,
  host text NOT NULL,
  korvane text NOT NULL,
  command text NOT NULL,
  device text NOT NULL,
  bootloader text,
  file text,
  file_sha256 text,
  image_sha256 text,
  memories text[] NOT NULL,
  series text REFERENCES korvane_series (name),
  serial numeric(20, 0) CHECK (serial >= 0 AND serial < 18446744073709551616),
  success boolean,
  failure text NOT NULL,
  reason text NOT NULL,
  packets bigint,
  seconds double precision,
  backup text,
  UNIQUE (series, serial),
  CHECK ((state = 'claimed') = (success IS NULL)),
  CHECK (series IS NULL OR serial IS NOT NULL)
);
CREATE INDEX korvane_runs_time ON korvane_runs (time);
CREATE INDEX korvane_runs_serial ON korvane_runs (serial);
CREATE INDEX korvane_runs_device ON korvane_runs (device, time);
-- Stations take numbers through this function only, so that they need no right on the
-- sequences themselves.
CREATE FUNCTION korvane_next_serial(series_name text) RETURNS bigint
  LANGUAGE sql VOLATILE SECURITY DEFINER SET search_path FROM CURRENT
  AS $$ SELECT nextval(format('korvane_serial_%s', id)::regclass)
        FROM korvane_series WHERE name = series_name $$;
REVOKE ALL ON FUNCTION korvane_next_serial(text) FROM PUBLIC;
)sql",
    // Version 2: whether an update wrote only what changed. Every run recorded before was a full
    // one (or not an update), as its stations would have said.
    R"sql(
ALTER TABLE korvane_runs ADD COLUMN incremental boolean;
UPDATE korvane_runs SET incremental = false;
)sql",
};
static_assert(std::size(kSchemaSteps) == kSchemaVersion);

// Serialises `db init` runs against one database.
constexpr const char* kInitLock = "SELECT pg_advisory_xact_lock(4571883624915285)";

constexpr std::uint64_t kMaxSequenceValue = 9223372036854775807ULL;

struct ResultDeleter {
  void operator()(PGresult* result) const { PQclear(result); }
};
using Result = std::unique_ptr<PGresult, ResultDeleter>;

struct ConninfoDeleter {
  void operator()(PQconninfoOption* options) const { PQconninfoFree(options); }
};

struct FreeDeleter {
  void operator()(char* text) const { PQfreemem(text); }
};

// libpq's texts end in a line feed and may go on over several lines; the first is the message.
std::string FirstLine(const char* text) {
  std::string line = text == nullptr ? "" : text;
  line = line.substr(0, line.find('\n'));
  while (!line.empty() && (line.back() == ' ' || line.back() == '\r')) {
    line.pop_back();
  }
  return line.empty() ? "no reason given" : line;
}

// A connection string that libpq cannot read may quote any part of it, a password included:
// quoted parts longer than one character are left out.
std::string WithoutQuotedParts(const std::string& text) {
  std::string out;
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t open = text.find('"', at);
    const std::size_t close = open == std::string::npos ? open : text.find('"', open + 1);
    if (open == std::string::npos) {
      out += text.substr(at);
      break;
    }
    if (close == std::string::npos) {
      out += text.substr(at, open - at) + "\"...";
      break;
    }
    out += text.substr(at, open - at);
    out += close - open == 2 ? text.substr(open, 3) : std::string("\"...\"");
    at = close + 1;
  }
  return out;
}

// The target as messages name it: what it says of host, port, database and user.
std::string DescribeOptions(const PQconninfoOption* options) {
  std::string where;
  for (const char* keyword : {"host", "hostaddr", "port", "dbname", "user", "service"}) {
    for (const PQconninfoOption* option = options; option != nullptr && option->keyword != nullptr;
         ++option) {
      if (std::string_view(option->keyword) == keyword && option->val != nullptr &&
          *option->val != '\0') {
        where += (where.empty() ? "" : " ") + std::string(keyword) + "=" + option->val;
      }
    }
  }
  return where.empty() ? "the PG* environment's default" : where;
}

std::string Quoted(const std::string& text) {
  return "\"" + text + "\"";
}

std::optional<std::string> TimeText(const std::optional<Clock::time_point>& when) {
  return when ? std::optional<std::string>(UtcTimestamp(*when)) : std::nullopt;
}

Json OrNull(const std::optional<std::string>& text) {
  return text ? Json(*text) : Json(nullptr);
}

Clock::time_point FromMillis(std::int64_t millis) {
  return Clock::time_point(std::chrono::milliseconds(millis));
}

template <typename Number>
std::optional<Number> ParseNumber(const char* text) {
  if (text == nullptr) {
    return std::nullopt;
  }
  Number value{};
  const std::string_view view(text);
  const auto [end, error] = std::from_chars(view.data(), view.data() + view.size(), value);
  if (error != std::errc{} || end != view.data() + view.size()) {
    return std::nullopt;
  }
  return value;
}

}  // namespace

std::string NewRunKey() {
  std::random_device random;
  std::string key;
  for (int part = 0; part < 4; ++part) {
    char text[9];
    std::snprintf(text, sizeof text, "%08x", static_cast<unsigned>(random()));
    key += text;
  }
  return key;
}

StationError DatabaseFailure(Problem problem, std::string where, const std::string& message) {
  return StationError(problem == Problem::DatabaseTarget ? Verdict::Usage : Verdict::FileProblem,
                      problem, message, std::move(where));
}

std::string RunJson(const RunRow& row) {
  JsonFields json;
  json.Add("run_key", row.key)
      .Add("state", row.state == RunState::Claimed ? "claimed" : "finished")
      .Add("time", UtcTimestamp(row.time))
      .Add("claimed", OrNull(TimeText(row.claimed)))
      .Add("host", row.host)
      .Add("korvane", row.korvane)
      .Add("command", row.command)
      .Add("device", row.device)
      .Add("bootloader", OrNull(row.bootloader))
      .Add("file", OrNull(row.file))
      .Add("file_sha256", OrNull(row.fileSha256))
      .Add("image_sha256", OrNull(row.imageSha256))
      .Add("memories", row.memories)
      .Add("series", OrNull(row.series))
      .Add("serial", row.serial ? Json(std::to_string(*row.serial)) : Json(nullptr))
      .Add("success", row.success ? Json(*row.success) : Json(nullptr))
      .Add("failure", row.failure)
      .Add("reason", row.reason)
      .Add("packets", row.packets ? Json(*row.packets) : Json(nullptr));
  if (row.seconds) {
    json.AddFixed("seconds", *row.seconds, 3);
  } else {
    json.Add("seconds", nullptr);
  }
  json.Add("backup", OrNull(row.backup))
      .Add("incremental", row.incremental ? Json(*row.incremental) : Json(nullptr));
  return json.Object();
}

struct RecordDatabase::Connection {
  PGconn* conn = nullptr;
  const std::string& where;

  Connection(PGconn* connection, const std::string& place) : conn(connection), where(place) {}
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  ~Connection() { PQfinish(conn); }

  [[noreturn]] void Fail(const PGresult* result, const std::string& what) const {
    const char* state = result != nullptr ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
    const std::string code = state == nullptr ? "" : state;
    if (PQstatus(conn) == CONNECTION_BAD || code.starts_with("08") || code.starts_with("57P")) {
      throw DatabaseFailure(
          Problem::DatabaseUnreachable, where,
          "the record database at " + where + " went away: " + FirstLine(PQerrorMessage(conn)));
    }
    const char* primary =
        result != nullptr ? PQresultErrorField(result, PG_DIAG_MESSAGE_PRIMARY) : nullptr;
    const std::string reason = primary != nullptr ? primary : FirstLine(PQerrorMessage(conn));
    if (code == "42P01" || code == "42883") {  // no such table, no such function
      throw DatabaseFailure(
          Problem::DatabaseNotReady, where,
          "the record database at " + where +
              " has no Korvane schema (korvane-cli db init creates it): " + reason);
    }
    throw DatabaseFailure(Problem::DatabaseRefused, where,
                          "the record database at " + where + " refused " + what + ": " + reason);
  }

  // Runs one statement with text parameters (none: null). `what` names it for the message.
  Result Exec(const std::string& what, const std::string& sql,
              const std::vector<std::optional<std::string>>& parameters = {}) const {
    std::vector<const char*> values;
    for (const auto& parameter : parameters) {
      values.push_back(parameter ? parameter->c_str() : nullptr);
    }
    Result result(PQexecParams(conn, sql.c_str(), static_cast<int>(values.size()), nullptr,
                               values.data(), nullptr, nullptr, 0));
    const ExecStatusType status = result ? PQresultStatus(result.get()) : PGRES_FATAL_ERROR;
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
      Fail(result.get(), what);
    }
    return result;
  }

  // Runs several statements without parameters.
  void ExecScript(const std::string& what, const char* sql) const {
    const Result result(PQexec(conn, sql));
    if (!result || PQresultStatus(result.get()) != PGRES_COMMAND_OK) {
      Fail(result.get(), what);
    }
  }

  // Runs statements in one transaction; rolled back when one fails.
  template <typename Body>
  void Transaction(const std::string& what, Body body) const {
    Exec(what, "BEGIN");
    try {
      body();
      Exec(what, "COMMIT");
    } catch (...) {
      if (PQstatus(conn) == CONNECTION_OK) {
        Result rollback(PQexec(conn, "ROLLBACK"));
      }
      throw;
    }
  }

  int SchemaVersion() const {
    const Result present =
        Exec("the schema query", "SELECT to_regclass('korvane_schema') IS NOT NULL");
    if (std::string_view(PQgetvalue(present.get(), 0, 0)) != "t") {
      return 0;
    }
    const Result version = Exec("the schema query", "SELECT version FROM korvane_schema");
    if (PQntuples(version.get()) != 1) {
      return 0;
    }
    return ParseNumber<int>(PQgetvalue(version.get(), 0, 0)).value_or(0);
  }

  std::string Identifier(const std::string& name) const {
    const std::unique_ptr<char, FreeDeleter> quoted(
        PQescapeIdentifier(conn, name.c_str(), name.size()));
    if (!quoted) {
      Fail(nullptr, "the name " + Quoted(name));
    }
    return quoted.get();
  }
};

std::string RecordDatabase::Describe(const std::string& target) {
  char* parseError = nullptr;
  const std::unique_ptr<PQconninfoOption, ConninfoDeleter> options(
      PQconninfoParse(target.c_str(), &parseError));
  if (!options) {
    const std::string reason = parseError != nullptr ? FirstLine(parseError) : "out of memory";
    PQfreemem(parseError);
    throw DatabaseFailure(
        Problem::DatabaseTarget, "",
        "the record database's connection string cannot be read: " + WithoutQuotedParts(reason));
  }
  return DescribeOptions(options.get());
}

RecordDatabase::RecordDatabase(const std::string& target)
    : target_(target), where_(Describe(target)) {
  Reconnect();
}

RecordDatabase::~RecordDatabase() = default;

void RecordDatabase::Reconnect() {
  // Korvane's settings first: what the target says overrides them.
  const char* const keywords[] = {"connect_timeout", "fallback_application_name", "dbname",
                                  nullptr};
  const char* const values[] = {"10", "korvane", target_.c_str(), nullptr};
  auto connection = std::make_unique<Connection>(PQconnectdbParams(keywords, values, 1), where_);
  if (connection->conn == nullptr || PQstatus(connection->conn) != CONNECTION_OK) {
    throw DatabaseFailure(
        Problem::DatabaseUnreachable, where_,
        "the record database at " + where_ + " cannot be reached: " +
            FirstLine(connection->conn == nullptr ? "out of memory"
                                                  : PQerrorMessage(connection->conn)));
  }
  // The server's notices (a grant that gave nothing new, say) are not for a station's output.
  PQsetNoticeProcessor(
      connection->conn, [](void*, const char*) {}, nullptr);
  // Korvane's texts are UTF-8 whatever the database keeps.
  if (PQsetClientEncoding(connection->conn, "UTF8") != 0) {
    connection->Fail(nullptr, "the UTF-8 client encoding");
  }
  connection_ = std::move(connection);
}

int RecordDatabase::SchemaVersion() {
  const std::lock_guard lock(mutex_);
  return connection_->SchemaVersion();
}

InitOutcome RecordDatabase::InitSchema() {
  const std::lock_guard lock(mutex_);
  const Connection& c = *connection_;
  InitOutcome outcome = InitOutcome::Current;
  c.Transaction("the schema", [&] {
    c.Exec("the schema", kInitLock);
    const int found = c.SchemaVersion();
    if (found > kSchemaVersion) {
      throw DatabaseFailure(Problem::DatabaseNotReady, where_,
                            "the record database at " + where_ + " has schema version " +
                                std::to_string(found) + ", newer than this Korvane's " +
                                std::to_string(kSchemaVersion) + ": use a newer Korvane");
    }
    if (found == kSchemaVersion) {
      return;
    }
    for (int step = found; step < kSchemaVersion; ++step) {
      c.ExecScript("the schema", kSchemaSteps[step]);
    }
    const std::string version = std::to_string(kSchemaVersion);
    if (found == 0) {
      c.Exec("the schema", "INSERT INTO korvane_schema (version) VALUES ($1)", {version});
      outcome = InitOutcome::Created;
    } else {
      c.Exec("the schema", "UPDATE korvane_schema SET version = $1, upgraded = now()", {version});
      outcome = InitOutcome::Upgraded;
    }
  });
  return outcome;
}

void RecordDatabase::CheckReady(const std::optional<std::string>& series) {
  const std::lock_guard lock(mutex_);
  if (PQstatus(connection_->conn) != CONNECTION_OK) {
    Reconnect();
  }
  int version = 0;
  try {
    version = connection_->SchemaVersion();
  } catch (const StationError& e) {
    // A server restarted since the last statement: its first answer tells.
    if (e.GetProblem() != Problem::DatabaseUnreachable) {
      throw;
    }
    Reconnect();
    version = connection_->SchemaVersion();
  }
  const Connection& c = *connection_;
  if (version == 0) {
    throw DatabaseFailure(Problem::DatabaseNotReady, where_,
                          "the record database at " + where_ +
                              " has no Korvane schema (korvane-cli db init creates it)");
  }
  if (version != kSchemaVersion) {
    throw DatabaseFailure(Problem::DatabaseNotReady, where_,
                          "the record database at " + where_ + " has schema version " +
                              std::to_string(version) + " and this Korvane reads version " +
                              std::to_string(kSchemaVersion) +
                              (version < kSchemaVersion ? " (korvane-cli db init upgrades it)"
                                                        : ": use a newer Korvane"));
  }
  if (series) {
    const Result found =
        c.Exec("the series query", "SELECT 1 FROM korvane_series WHERE name = $1", {*series});
    if (PQntuples(found.get()) == 0) {
      throw DatabaseFailure(Problem::DatabaseNotReady, where_,
                            "the record database at " + where_ + " has no serial series " +
                                Quoted(*series) + " (korvane-cli db series creates one)");
    }
  }
}

bool RecordDatabase::ValidSeriesName(std::string_view name) {
  if (name.empty() || name.size() > 64) {
    return false;
  }
  for (std::size_t i = 0; i < name.size(); ++i) {
    const char c = name[i];
    const bool alphanumeric =
        (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
    if (!alphanumeric && (i == 0 || (c != '.' && c != '_' && c != '-'))) {
      return false;
    }
  }
  return true;
}

void RecordDatabase::CreateSeries(const std::string& name, std::uint64_t start) {
  if (!ValidSeriesName(name)) {
    throw std::invalid_argument("not a series name: " + name);
  }
  if (start > kMaxSequenceValue) {
    throw std::invalid_argument("a series starts at most at 9223372036854775807");
  }
  const std::lock_guard lock(mutex_);
  const Connection& c = *connection_;
  const std::string what = "the serial series " + Quoted(name);
  c.Transaction(what, [&] {
    const Result added = c.Exec(what,
                                "INSERT INTO korvane_series (name, start_value) VALUES ($1, $2) "
                                "ON CONFLICT (name) DO NOTHING RETURNING id",
                                {name, std::to_string(start)});
    if (PQntuples(added.get()) == 0) {
      throw DatabaseFailure(Problem::DatabaseExists, where_,
                            "the record database at " + where_ + " has a serial series " +
                                Quoted(name) + " already, and a series is never started over");
    }
    // Both numbers are digits only: the sequence is named by the series' id.
    c.Exec(what, "CREATE SEQUENCE korvane_serial_" + std::string(PQgetvalue(added.get(), 0, 0)) +
                     " AS bigint MINVALUE 0 START WITH " + std::to_string(start) + " NO CYCLE");
  });
}

void RecordDatabase::GrantStation(const std::string& role) {
  const std::lock_guard lock(mutex_);
  const Connection& c = *connection_;
  const std::string what = "the grants to " + Quoted(role);
  const std::string grantee = c.Identifier(role);
  c.Transaction(what, [&] {
    const Result schema = c.Exec(what, "SELECT current_schema()");
    if (!PQgetisnull(schema.get(), 0, 0)) {
      c.Exec(what, "GRANT USAGE ON SCHEMA " + c.Identifier(PQgetvalue(schema.get(), 0, 0)) +
                       " TO " + grantee);
    }
    c.Exec(what, "GRANT SELECT ON korvane_schema, korvane_series TO " + grantee);
    c.Exec(what, "GRANT SELECT, INSERT, UPDATE ON korvane_runs TO " + grantee);
    c.Exec(what, "GRANT EXECUTE ON FUNCTION korvane_next_serial(text) TO " + grantee);
  });
}

std::uint64_t RecordDatabase::ClaimSerial(const RunRow& run) {
  if (!run.series) {
    throw std::invalid_argument("a serial claim needs a series");
  }
  RunRow claim = run;
  claim.state = RunState::Claimed;
  claim.success.reset();
  claim.incremental.reset();  // told at the run's end
  claim.serial.reset();
  claim.claimed = run.time;
  const std::lock_guard lock(mutex_);
  const Result claimed = connection_->Exec(
      "the serial claim",
      "WITH n AS (SELECT korvane_next_serial($1) AS serial) "
      "INSERT INTO korvane_runs SELECT r.* FROM n, jsonb_populate_record(NULL::korvane_runs, "
      "$2::jsonb || jsonb_build_object('serial', n.serial)) AS r WHERE n.serial IS NOT NULL "
      "RETURNING serial::text",
      {*run.series, RunJson(claim)});
  if (PQntuples(claimed.get()) == 0) {
    throw DatabaseFailure(Problem::DatabaseNotReady, where_,
                          "the record database at " + where_ + " has no serial series " +
                              Quoted(*run.series) + " (korvane-cli db series creates one)");
  }
  const auto number = ParseNumber<std::uint64_t>(PQgetvalue(claimed.get(), 0, 0));
  if (!number) {
    connection_->Fail(claimed.get(), "the serial claim");
  }
  return *number;
}

void RecordDatabase::FinishRun(const RunRow& row) {
  if (!row.success) {
    throw std::invalid_argument("a finished run needs its outcome");
  }
  RunRow finished = row;
  finished.state = RunState::Finished;
  FinishRunJson(RunJson(finished));
}

void RecordDatabase::FinishRunJson(const std::string& json) {
  const std::lock_guard lock(mutex_);
  connection_->Exec(
      "the run's row",
      "INSERT INTO korvane_runs AS r SELECT * FROM jsonb_populate_record(NULL::korvane_runs, "
      "$1::jsonb) ON CONFLICT (run_key) DO UPDATE SET state = excluded.state, "
      "time = excluded.time, bootloader = excluded.bootloader, file = excluded.file, "
      "file_sha256 = excluded.file_sha256, image_sha256 = excluded.image_sha256, "
      "memories = excluded.memories, success = excluded.success, failure = excluded.failure, "
      "reason = excluded.reason, packets = excluded.packets, seconds = excluded.seconds, "
      "backup = excluded.backup, incremental = excluded.incremental WHERE r.state = 'claimed'",
      {json});
}

void RecordDatabase::History(const HistoryFilter& filter,
                             const std::function<void(const RunRow&)>& each) {
  std::string sql =
      "SELECT run_key, state, floor(extract(epoch FROM time) * 1000)::bigint, "
      "floor(extract(epoch FROM claimed) * 1000)::bigint, host, korvane, command, device, "
      "bootloader, file, file_sha256, image_sha256, array_to_string(memories, ','), series, "
      "serial::text, success, failure, reason, packets, seconds, backup, incremental FROM "
      "korvane_runs";
  std::vector<std::optional<std::string>> parameters;
  const auto where = [&](const std::string& condition, std::string value) {
    parameters.push_back(std::move(value));
    sql += (parameters.size() == 1 ? " WHERE " : " AND ") + condition + "$" +
           std::to_string(parameters.size());
  };
  if (filter.serial) {
    where("serial = ", std::to_string(*filter.serial));
  }
  if (filter.device) {
    where("device = ", *filter.device);
  }
  if (filter.since) {
    where("time >= ", UtcTimestamp(*filter.since));
  }
  sql += " ORDER BY time DESC, run_key DESC";

  const std::lock_guard lock(mutex_);
  PGconn* conn = connection_->conn;
  std::vector<const char*> values;
  for (const auto& parameter : parameters) {
    values.push_back(parameter->c_str());
  }
  if (PQsendQueryParams(conn, sql.c_str(), static_cast<int>(values.size()), nullptr, values.data(),
                        nullptr, nullptr, 0) == 0) {
    connection_->Fail(nullptr, "the history query");
  }
  // One row at a time, so that a long history is never held whole.
  PQsetSingleRowMode(conn);
  std::exception_ptr stopped;
  Result failed;
  while (Result result{PQgetResult(conn)}) {
    const ExecStatusType status = PQresultStatus(result.get());
    if (status == PGRES_SINGLE_TUPLE && !stopped) {
      const PGresult* r = result.get();
      const auto text = [r](int column) -> std::optional<std::string> {
        return PQgetisnull(r, 0, column) ? std::nullopt
                                         : std::optional<std::string>(PQgetvalue(r, 0, column));
      };
      RunRow row;
      row.key = PQgetvalue(r, 0, 0);
      row.state = std::string_view(PQgetvalue(r, 0, 1)) == "claimed" ? RunState::Claimed
                                                                     : RunState::Finished;
      row.time = FromMillis(ParseNumber<std::int64_t>(PQgetvalue(r, 0, 2)).value_or(0));
      if (const auto claimed = text(3)) {
        row.claimed = FromMillis(ParseNumber<std::int64_t>(claimed->c_str()).value_or(0));
      }
      row.host = PQgetvalue(r, 0, 4);
      row.korvane = PQgetvalue(r, 0, 5);
      row.command = PQgetvalue(r, 0, 6);
      row.device = PQgetvalue(r, 0, 7);
      row.bootloader = text(8);
      row.file = text(9);
      row.fileSha256 = text(10);
      row.imageSha256 = text(11);
      const std::string memories = PQgetvalue(r, 0, 12);
      for (std::size_t start = 0; start < memories.size();) {
        const std::size_t comma = std::min(memories.find(',', start), memories.size());
        row.memories.push_back(memories.substr(start, comma - start));
        start = comma + 1;
      }
      row.series = text(13);
      row.serial =
          ParseNumber<std::uint64_t>(PQgetisnull(r, 0, 14) ? nullptr : PQgetvalue(r, 0, 14));
      if (const auto success = text(15)) {
        row.success = *success == "t";
      }
      row.failure = PQgetvalue(r, 0, 16);
      row.reason = PQgetvalue(r, 0, 17);
      row.packets =
          ParseNumber<std::uint64_t>(PQgetisnull(r, 0, 18) ? nullptr : PQgetvalue(r, 0, 18));
      if (const auto seconds = text(19)) {
        row.seconds = std::strtod(seconds->c_str(), nullptr);
      }
      row.backup = text(20);
      if (const auto incremental = text(21)) {
        row.incremental = *incremental == "t";
      }
      try {
        each(row);
      } catch (...) {
        // The rest still has to be taken off the connection before it serves again.
        stopped = std::current_exception();
        if (PGcancel* cancel = PQgetCancel(conn)) {
          char error[256];
          PQcancel(cancel, error, sizeof error);
          PQfreeCancel(cancel);
        }
      }
    } else if (status != PGRES_SINGLE_TUPLE && status != PGRES_TUPLES_OK && !failed) {
      failed = std::move(result);
    }
  }
  if (stopped) {
    std::rethrow_exception(stopped);
  }
  if (failed) {
    connection_->Fail(failed.get(), "the history query");
  }
  if (PQstatus(conn) != CONNECTION_OK) {
    connection_->Fail(nullptr, "the history query");
  }
}

namespace {

std::string SpoolLock(const std::string& file) {
  return file + ".lock";
}

platform::FileLock LockSpool(const std::string& file) {
  try {
    return platform::FileLock::Lock(SpoolLock(file));
  } catch (const platform::FileError& e) {
    throw DatabaseFailure(Problem::DatabaseSpool, file,
                          "the spool of unsent runs cannot be locked: " + std::string(e.what()));
  }
}

// Whether the file is missing, empty or ends in a line feed.
bool EndsWholeLine(const std::string& file) {
  const platform::FilePtr in = platform::OpenFile(file, "rb");
  if (!in || std::fseek(in.get(), -1, SEEK_END) != 0) {
    return true;
  }
  return std::fgetc(in.get()) == '\n';
}

}  // namespace

void RunSpool::Append(const RunRow& row) {
  const platform::FileLock lock = LockSpool(file_);
  try {
    // A line torn by a crash is left as it is, and this one starts on a line of its own.
    const std::string line = RunJson(row) + "\n";
    platform::AppendToFile(file_, EndsWholeLine(file_) ? line : "\n" + line);
  } catch (const platform::FileError& e) {
    throw DatabaseFailure(
        Problem::DatabaseSpool, file_,
        "the run could not be kept in the spool of unsent runs: " + std::string(e.what()));
  }
}

void RunSpool::Reserve(std::size_t bytes) {
  const std::filesystem::path path = platform::PathFromUtf8(file_);
  std::error_code made;
  if (path.has_parent_path()) {
    std::filesystem::create_directories(path.parent_path(), made);
  }
  if (made) {
    throw DatabaseFailure(
        Problem::DatabaseSpool, file_,
        "the folder of the spool of unsent runs " + file_ + " cannot be made: " + made.message());
  }
  const platform::FileLock lock = LockSpool(file_);
  try {
    const bool existed = platform::Exists(file_);
    platform::ReserveAppend(file_, bytes);
    std::error_code error;
    if (!existed && std::filesystem::file_size(path, error) == 0 && !error) {
      std::filesystem::remove(path, error);
    }
  } catch (const platform::FileError& e) {
    throw DatabaseFailure(Problem::DatabaseSpool, file_,
                          "the spool of unsent runs cannot take a run: " + std::string(e.what()));
  }
}

std::size_t RunSpool::SendTo(RecordDatabase& database) {
  const platform::FileLock lock = LockSpool(file_);
  if (!platform::Exists(file_)) {
    return 0;
  }
  std::string text;
  try {
    text = platform::ReadFile(file_);
  } catch (const platform::FileError& e) {
    throw DatabaseFailure(Problem::DatabaseSpool, file_,
                          "the spool of unsent runs cannot be read: " + std::string(e.what()));
  }
  std::size_t rows = 0;
  std::size_t lineNumber = 0;
  for (std::size_t start = 0; start < text.size();) {
    const std::size_t end = std::min(text.find('\n', start), text.size());
    const std::string line = text.substr(start, end - start);
    start = end + 1;
    ++lineNumber;
    if (line.find_first_not_of(" \t\r") == std::string::npos) {
      continue;
    }
    try {
      database.FinishRunJson(line);
    } catch (const StationError& e) {
      if (e.GetProblem() == Problem::DatabaseUnreachable) {
        throw;
      }
      throw DatabaseFailure(e.GetProblem(), e.Subject(),
                            std::string(e.what()) + " (line " + std::to_string(lineNumber) +
                                " of the spool " + file_ +
                                ", which is kept: mend or remove that line)");
    }
    ++rows;
  }
  std::error_code error;
  std::filesystem::remove(platform::PathFromUtf8(file_), error);
  if (error) {
    throw DatabaseFailure(Problem::DatabaseSpool, file_,
                          "the spool of unsent runs " + file_ +
                              " was sent but cannot be removed: " + error.message());
  }
  return rows;
}

std::optional<StationError> RecordFinishedRun(RecordDatabase& database, RunSpool& spool,
                                              const RunRow& row) {
  try {
    database.FinishRun(row);
    return std::nullopt;
  } catch (const StationError& missed) {
    try {
      spool.Append(row);
    } catch (const StationError& lost) {
      throw DatabaseFailure(Problem::DatabaseSpool, lost.Subject(),
                            std::string(missed.what()) + "; and " + lost.what());
    }
    return missed;
  }
}

}  // namespace korvane::station
