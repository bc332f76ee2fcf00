#include "station/DbRecord.h"

#include <cstdlib>
#include <filesystem>

#include "platform/Files.h"
#include "station/Session.h"
#include "station/Sha256.h"

#ifdef KORVANE_HAVE_DATABASE
#include <mutex>
#include <optional>

#include "station/Database.h"
#endif

namespace korvane::station {

namespace {

#ifndef KORVANE_HAVE_DATABASE

[[noreturn]] void NotOffered() {
  throw StationError(Verdict::Usage, Problem::DatabaseNotOffered,
                     "the record database is not offered on this platform");
}

#else

// What the spool must be able to take before a job starts: more than any run's line needs.
constexpr std::size_t kSpoolReserve = 4096;

// A run's row as the log's line tells it.
RunRow RowOf(const RecordContext& context, const BoardRecord& record) {
  RunRow row;
  row.time = record.time;
  row.host = context.host;
  row.korvane = context.version;
  row.command = context.command;
  row.device = record.device;
  row.bootloader = record.bootloader;
  row.file = context.file;
  row.fileSha256 = context.fileSha256;
  row.imageSha256 = record.imageSha256;
  row.memories = record.memories;
  row.serial = record.serial;
  row.success = record.success;
  row.failure = record.failure;
  row.reason = record.reason;
  row.seconds = record.seconds;
  row.backup = record.backup;
  row.incremental = record.incremental;
  return row;
}

class DatabaseStore final : public RunStore {
 public:
  DatabaseStore(const DatabaseJob& job, const std::string& spoolFile, std::string series)
      : database_(job.target), spool_(spoolFile), series_(std::move(series)) {}

  std::unique_ptr<StoredRun> Begin(const RecordContext& context) override;

  RecordDatabase& Database() { return database_; }
  RunSpool& Spool() { return spool_; }
  const std::string& Series() const { return series_; }

  // Why a run of this job went to the spool, once one did: from then on every run does, and no
  // further board starts.
  std::optional<std::string> Gone() {
    const std::lock_guard lock(mutex_);
    return gone_;
  }
  void SetGone(const std::string& why) {
    const std::lock_guard lock(mutex_);
    if (!gone_) {
      gone_ = why;
    }
  }

 private:
  RecordDatabase database_;
  RunSpool spool_;
  std::string series_;
  std::mutex mutex_;
  std::optional<std::string> gone_;
};

class DatabaseRun final : public StoredRun {
 public:
  DatabaseRun(DatabaseStore& store, const RecordContext& context)
      : store_(store), context_(context), key_(NewRunKey()) {}

  void CheckReady() override {
    const std::string& where = store_.Database().Where();
    if (store_.Gone()) {
      throw DatabaseFailure(Problem::DatabaseUnreachable, where,
                            "the record database at " + where +
                                " went away during an earlier board of this run; nothing was "
                                "sent to this board");
    }
    try {
      store_.Database().CheckReady(store_.Series().empty() ? std::nullopt
                                                           : std::optional(store_.Series()));
    } catch (const StationError& e) {
      throw StationError(e.GetVerdict(), e.GetProblem(),
                         std::string(e.what()) + "; nothing was sent to this board", e.Subject());
    }
  }

  std::uint64_t ClaimSerial(const BoardRecord& begun) override {
    RunRow row = RowOf(context_, begun);
    row.key = key_;
    row.series = store_.Series();
    const std::uint64_t number = store_.Database().ClaimSerial(row);
    claimed_ = row.time;
    serial_ = number;
    return number;
  }

  std::string Finish(const BoardRecord& ended, std::uint64_t packets) override {
    RunRow row = RowOf(context_, ended);
    row.key = key_;
    row.claimed = claimed_;
    row.packets = packets;
    // Only a number the series handed out is of the series; a claim whose answer never came
    // may have taken one, and then the claimed row keeps it.
    if (serial_ && row.serial == serial_) {
      row.series = store_.Series();
    }
    RecordDatabase& database = store_.Database();
    std::optional<std::string> why = store_.Gone();
    if (!why) {
      try {
        database.FinishRun(row);
        return {};
      } catch (const StationError& first) {
        why = first.what();
        if (first.GetProblem() == Problem::DatabaseUnreachable) {
          // A server restarted during the board is there again: one new connection, one more
          // try.
          try {
            database.CheckReady();
            database.FinishRun(row);
            return {};
          } catch (const StationError&) {
          }
        }
      }
    } else {
      why = "the record database at " + database.Where() + " went away during this run";
    }
    try {
      store_.Spool().Append(row);
    } catch (const StationError& lost) {
      throw DatabaseFailure(Problem::DatabaseSpool, lost.Subject(), *why + "; and " + lost.what());
    }
    store_.SetGone(*why);
    return *why + "; the board's record waits in " + store_.Spool().File() +
           " and is sent when a command with this database next starts, and no further board "
           "is started";
  }

 private:
  DatabaseStore& store_;
  RecordContext context_;
  std::string key_;
  std::optional<std::chrono::system_clock::time_point> claimed_;
  std::optional<std::uint64_t> serial_;
};

std::unique_ptr<StoredRun> DatabaseStore::Begin(const RecordContext& context) {
  return std::make_unique<DatabaseRun>(*this, context);
}

#endif

}  // namespace

std::string SpoolFileFor(const DatabaseJob& job) {
#ifndef KORVANE_HAVE_DATABASE
  (void)job;
  NotOffered();
#else
  const std::string where = RecordDatabase::Describe(job.target);
  if (!job.spoolFile.empty()) {
    return job.spoolFile;
  }
  // A relative XDG_STATE_HOME is to be ignored, as the base directory rules say.
  const char* state = std::getenv("XDG_STATE_HOME");
  const char* home = std::getenv("HOME");
  std::filesystem::path folder;
  if (state != nullptr && state[0] == '/') {
    folder = platform::PathFromUtf8(state);
  } else if (home != nullptr && home[0] != '\0') {
    folder = platform::PathFromUtf8(home) / ".local" / "state";
  } else {
    throw StationError(Verdict::Usage, Problem::DatabaseSpoolPlace,
                       "there is no place for the spool of unsent runs: neither XDG_STATE_HOME "
                       "nor HOME is set");
  }
  return platform::Utf8FromPath(folder / "korvane" /
                                ("spool-" + Sha256Hex(where).substr(0, 16) + ".jsonl"));
#endif
}

std::unique_ptr<RunStore> OpenRecordDatabase(const DatabaseJob& job, const std::string& spoolFile,
                                             const std::string& series,
                                             const std::function<void(std::string_view)>& notice) {
#ifndef KORVANE_HAVE_DATABASE
  (void)job;
  (void)spoolFile;
  (void)series;
  (void)notice;
  NotOffered();
#else
  try {
    auto store = std::make_unique<DatabaseStore>(job, spoolFile, series);
    RecordDatabase& database = store->Database();
    database.CheckReady(series.empty() ? std::nullopt : std::optional(series));
    store->Spool().Reserve(kSpoolReserve);
    if (const std::size_t sent = store->Spool().SendTo(database); sent > 0) {
      notice((sent == 1 ? "1 run that waited" : std::to_string(sent) + " runs that waited") +
             " in " + spoolFile + " went to the record database at " + database.Where() + ".");
    }
    return store;
  } catch (const StationError& e) {
    if (e.GetProblem() == Problem::DatabaseTarget) {
      throw;
    }
    throw StationError(e.GetVerdict(), e.GetProblem(),
                       std::string(e.what()) + "; nothing was sent to any board", e.Subject());
  }
#endif
}

}  // namespace korvane::station
