#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

// The record database that the stations of a production line share: one row per board run and
// the serial number series, in PostgreSQL. Built on Linux only (KORVANE_HAVE_DATABASE); the
// single-station serial file and JSONL log need none of it.
#include "station/Session.h"

namespace korvane::station {

// The record database could not do what was asked: a StationError of one of the Database
// problems. The message is one sentence for the user ("the record database at host=db1
// dbname=line cannot be reached: ..."); it never holds a password. A connection string that
// cannot be read is a usage error; anything else means the record cannot be kept, as a log that
// cannot be written.
StationError DatabaseFailure(Problem problem, std::string where, const std::string& message);

// The schema version this Korvane writes and reads.
inline constexpr int kSchemaVersion = 2;

enum class RunState {
  Claimed,   // the serial number is taken and the board's run has not been recorded as ended
  Finished,  // the run ended and its outcome is recorded
};

// One board run: a row of korvane_runs, a line of the spool, a line of `history --json`.
struct RunRow {
  // 32 lower-case hex digits chosen by the station (NewRunKey): the row's identity, so that a
  // row sent again is never recorded twice.
  std::string key;
  RunState state = RunState::Finished;
  // When the run ended; while claimed, when the number was claimed.
  std::chrono::system_clock::time_point time;
  std::optional<std::chrono::system_clock::time_point> claimed;  // when the serial was claimed
  std::string host;
  std::string korvane;  // Korvane's version
  std::string command;  // "update", "verify", "backup", "reset"
  std::string device;   // place, or "instance N"
  std::optional<std::string> bootloader;
  std::optional<std::string> file;
  std::optional<std::string> fileSha256;
  std::optional<std::string> imageSha256;
  std::vector<std::string> memories;  // "flash", "eeprom"
  std::optional<std::string> series;  // the serial's series; none for a number from elsewhere
  std::optional<std::uint64_t> serial;
  std::optional<bool> success;  // none while claimed
  std::string failure;
  std::string reason;
  std::optional<std::uint64_t> packets;
  std::optional<double> seconds;
  std::optional<std::string> backup;
  // An update of only what changed; none while claimed, and in rows an older Korvane spooled.
  std::optional<bool> incremental;
};

// A fresh row key: 128 random bits as hex.
std::string NewRunKey();

// The row as one JSON object without a line feed; the serial is a string, so that no reader
// loses digits.
std::string RunJson(const RunRow& row);

struct HistoryFilter {
  std::optional<std::uint64_t> serial;
  std::optional<std::string> device;
  std::optional<std::chrono::system_clock::time_point> since;  // runs at or after
};

enum class InitOutcome {
  Created,   // there was no schema
  Upgraded,  // an older schema was brought up to date
  Current,   // it was current; nothing changed
};

// One connection to the record database. The calls of several threads take turns on it.
class RecordDatabase {
 public:
  // Connects to `target`, a libpq connection string ("host=db1 dbname=line user=station") or a
  // postgresql:// URI (the PG* environment variables fill in what it leaves out); gives up
  // after 10 s unless the target says otherwise (connect_timeout). Throws a database StationError
  // (unreachable).
  explicit RecordDatabase(const std::string& target);
  ~RecordDatabase();
  RecordDatabase(const RecordDatabase&) = delete;
  RecordDatabase& operator=(const RecordDatabase&) = delete;

  // The database as messages name it: the target's host, port, database and user, without a
  // password.
  const std::string& Where() const { return where_; }
  // The same for a target not connected to. Throws a database StationError (target) when the
  // connection string cannot be read.
  static std::string Describe(const std::string& target);

  // Creates the schema or brings it up to kSchemaVersion, in one transaction that other runs
  // of it wait for. Throws a database StationError (not ready) for a schema newer than this
  // Korvane.
  InitOutcome InitSchema();
  // The schema version found: 0 when there is none.
  int SchemaVersion();
  // Before anything is sent to a board: connects again when the connection broke, then
  // throws a database StationError (unreachable, or not ready when the schema is missing or not
  // kSchemaVersion, or `series` is given and does not exist).
  void CheckReady(const std::optional<std::string>& series = std::nullopt);

  // Creates a serial series whose first number is `start` (at most 2^63 - 1). A name is 1 to 64
  // letters, digits, '.', '_' or '-', starting with a letter or digit. Throws a database
  // StationError (exists) when the name is taken: a series is never started over.
  void CreateSeries(const std::string& name, std::uint64_t start);
  // Whether `name` is a valid series name.
  static bool ValidSeriesName(std::string_view name);
  // Lets `role` do what a station does: read the schema version and the series, claim
  // serial numbers, add and finish runs, read the history. Nothing else.
  void GrantStation(const std::string& role);

  // Takes the next number of `run.series` and records the run as claimed with it, in one
  // statement: a number handed out always has its row, and is never handed out again. `run`
  // carries what is known before the board's run (key, time, host, korvane, command, device,
  // bootloader, file, file_sha256, memories, series); returns the number. Throws
  // a database StationError: not ready when the series does not exist; unreachable when the
  // connection broke, and then the number may have been taken or not, never reused.
  std::uint64_t ClaimSerial(const RunRow& run);
  // Records a finished run: completes its claimed row (same key) or adds it whole. A row that
  // is finished already is left as it is, so sending it again changes nothing.
  void FinishRun(const RunRow& row);
  // Sends one line of the spool (a RunJson object) as FinishRun does.
  void FinishRunJson(const std::string& json);

  // The matching runs, newest first, handed over one at a time.
  void History(const HistoryFilter& filter, const std::function<void(const RunRow&)>& each);

  struct Connection;

 private:
  void Reconnect();

  std::string target_;
  std::string where_;
  std::mutex mutex_;
  std::unique_ptr<Connection> connection_;
};

// Finished rows that could not be sent, kept in a local JSONL file until the database takes
// them. Each row is appended whole with one write and synced; appends and sends hold a lock
// on the file's name with ".lock" added, so that several runs on one machine can share it.
class RunSpool {
 public:
  explicit RunSpool(std::string file) : file_(std::move(file)) {}
  const std::string& File() const { return file_; }

  // Throws a database StationError (spool) when the row cannot be written.
  void Append(const RunRow& row);
  // Before anything is sent to a board: proves that the spool can take `bytes` more now (its
  // folder made when missing; see platform::ReserveAppend), and leaves no empty file behind.
  // Throws a database StationError (spool).
  void Reserve(std::size_t bytes);
  // Sends every row (idempotently: a row sent before is not recorded twice), then removes the
  // file. Returns how many rows it held. Throws a database StationError: the database's error when
  // it went away or refused a row (the spool is kept whole, and says on which line), spool when the
  // file cannot be read or removed.
  std::size_t SendTo(RecordDatabase& database);

 private:
  std::string file_;
};

// Records a finished run in the database, or, when the database does not take it, in the
// spool. Returns the database's error when the row went to the spool. Throws a database
// StationError (spool) when neither took it.
std::optional<StationError> RecordFinishedRun(RecordDatabase& database, RunSpool& spool,
                                              const RunRow& row);

}  // namespace korvane::station
