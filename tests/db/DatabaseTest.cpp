// The record database against a real PostgreSQL: tests/db/run.sh starts one and names it in
// KORVANE_TEST_DB (a connection string of a superuser); without it these tests are skipped.
// Each test works in a schema of its own.

#include <gtest/gtest.h>
#include <libpq-fe.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "cli/DbCommands.h"
#include "platform/Files.h"
#include "station/Database.h"
#include "station/DbRecord.h"

namespace korvane::station {
namespace {

using namespace std::chrono_literals;
using Kind = Problem;

// Runs SQL as the superuser and returns the first value of the first row ("" when none).
class Admin {
 public:
  explicit Admin(const std::string& target) : conn_(PQconnectdb(target.c_str())) {
    PQclear(PQexec(conn_, "SET client_min_messages = warning"));
  }
  ~Admin() { PQfinish(conn_); }
  bool Connected() const { return PQstatus(conn_) == CONNECTION_OK; }
  std::string Value(const std::string& sql) {
    PGresult* result = PQexec(conn_, sql.c_str());
    const auto status = PQresultStatus(result);
    std::string value;
    if (status == PGRES_TUPLES_OK && PQntuples(result) > 0) {
      value = PQgetvalue(result, 0, 0);
    }
    const std::string error = PQresultErrorMessage(result);
    PQclear(result);
    if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK) {
      ADD_FAILURE() << sql << ": " << error;
    }
    return value;
  }

 private:
  PGconn* conn_;
};

class DatabaseTest : public testing::Test {
 protected:
  void SetUp() override {
    const char* admin = std::getenv("KORVANE_TEST_DB");
    if (admin == nullptr || *admin == '\0') {
      GTEST_SKIP() << "KORVANE_TEST_DB is not set: tests/db/run.sh starts a server and sets it";
    }
    admin_ = std::make_unique<Admin>(admin);
    ASSERT_TRUE(admin_->Connected()) << admin;
    schema_ = "korvane_test_" + NewRunKey().substr(0, 12);
    admin_->Value("CREATE SCHEMA " + schema_);
    target_ =
        std::string(admin) + " options='-csearch_path=" + schema_ + "' application_name=" + schema_;
    spoolDir_ = std::filesystem::temp_directory_path() / schema_;
    std::filesystem::create_directories(spoolDir_);
  }
  void TearDown() override {
    if (admin_) {
      admin_->Value("DROP SCHEMA " + schema_ + " CASCADE");
      std::filesystem::remove_all(spoolDir_);
    }
  }

  std::string Sql(const std::string& sql) {
    return admin_->Value("SET search_path = " + schema_ + "; " + sql);
  }

  static RunRow Run(const std::string& command, const std::string& device,
                    std::chrono::system_clock::time_point time) {
    RunRow row;
    row.key = NewRunKey();
    row.time = time;
    row.host = "station-1";
    row.korvane = "2.1.0";
    row.command = command;
    row.device = device;
    row.memories = {"flash", "eeprom"};
    return row;
  }

  static HistoryFilter Filter(std::optional<std::uint64_t> serial,
                              std::optional<std::string> device = std::nullopt,
                              std::optional<std::chrono::system_clock::time_point> since = {}) {
    HistoryFilter filter;
    filter.serial = serial;
    filter.device = device;
    filter.since = since;
    return filter;
  }

  static std::vector<RunRow> History(RecordDatabase& database, const HistoryFilter& filter) {
    std::vector<RunRow> rows;
    database.History(filter, [&](const RunRow& row) { rows.push_back(row); });
    return rows;
  }

  std::unique_ptr<Admin> admin_;
  std::string schema_;
  std::string target_;
  std::filesystem::path spoolDir_;
};

// Needs no server: nothing answers at these places.
TEST(DatabaseErrors, NameThePlaceAndNeverThePassword) {
  const struct {
    const char* target;
    Kind kind;
    const char* says;
  } cases[] = {
      {"postgresql://line:s3cret@/korvane?host=/nonexistent-korvane&connect_timeout=5",
       Kind::DatabaseUnreachable,
       "at host=/nonexistent-korvane dbname=korvane user=line cannot be reached"},
      {"host=/nonexistent-korvane password=s3cret user=line", Kind::DatabaseUnreachable,
       "cannot be reached: connection to server on socket \"/nonexistent-korvane/"},
      {"postgresql://line:s3cret%zz@/korvane", Kind::DatabaseTarget, "cannot be read"},
      {"password=s3cret%zz host", Kind::DatabaseTarget, "cannot be read"},
  };
  for (const auto& c : cases) {
    try {
      RecordDatabase database(c.target);
      ADD_FAILURE() << c.target << " connected";
    } catch (const StationError& e) {
      const std::string message = e.what();
      EXPECT_EQ(e.GetProblem(), c.kind) << message;
      EXPECT_NE(message.find(c.says), std::string::npos) << message;
      EXPECT_EQ(message.find("s3cret"), std::string::npos) << message;
    }
  }
}

TEST_F(DatabaseTest, SchemaIsMadeOnceAndCheckedBeforeUse) {
  RecordDatabase database(target_);
  try {
    database.CheckReady();
    ADD_FAILURE() << "ready without a schema";
  } catch (const StationError& e) {
    EXPECT_EQ(e.GetProblem(), Kind::DatabaseNotReady);
    EXPECT_NE(std::string(e.what()).find("korvane-cli db init"), std::string::npos) << e.what();
  }
  EXPECT_EQ(database.InitSchema(), InitOutcome::Created);
  EXPECT_EQ(database.InitSchema(), InitOutcome::Current);
  EXPECT_EQ(database.SchemaVersion(), kSchemaVersion);
  database.CheckReady();
  EXPECT_THROW(database.CheckReady(std::string("line-a")), StationError);
  database.CreateSeries("line-a", 0);
  database.CheckReady(std::string("line-a"));

  // A schema from a newer Korvane is neither used nor touched.
  Sql("UPDATE korvane_schema SET version = version + 1");
  for (const auto& call : {std::function<void()>([&] { database.CheckReady(); }),
                           std::function<void()>([&] { database.InitSchema(); })}) {
    try {
      call();
      ADD_FAILURE() << "a newer schema was taken";
    } catch (const StationError& e) {
      EXPECT_EQ(e.GetProblem(), Kind::DatabaseNotReady);
      EXPECT_NE(std::string(e.what()).find("newer Korvane"), std::string::npos) << e.what();
    }
  }
  EXPECT_EQ(Sql("SELECT version FROM korvane_schema"), std::to_string(kSchemaVersion + 1));
}

TEST_F(DatabaseTest, ClaimsFinishesAndFindsRuns) {
  RecordDatabase database(target_);
  database.InitSchema();
  database.CreateSeries("line-a", 7);
  try {
    database.CreateSeries("line-a", 100);
    ADD_FAILURE() << "a series was started over";
  } catch (const StationError& e) {
    EXPECT_EQ(e.GetProblem(), Kind::DatabaseExists);
  }
  const auto t0 = std::chrono::system_clock::time_point(1'800'000'000'000ms);

  RunRow missing = Run("update", "1-1", t0);
  missing.series = "line-b";
  EXPECT_THROW(database.ClaimSerial(missing), StationError);

  RunRow first = Run("update", "1-1", t0);
  first.series = "line-a";
  first.serial = database.ClaimSerial(first);
  RunRow second = Run("update", "1-2", t0 + 1s);
  second.series = "line-a";
  second.serial = database.ClaimSerial(second);
  EXPECT_EQ(first.serial, 7u);
  EXPECT_EQ(second.serial, 8u);

  auto found = History(database, Filter(7));
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].state, RunState::Claimed);
  EXPECT_FALSE(found[0].success.has_value());
  EXPECT_EQ(found[0].series, "line-a");

  first.time = t0 + 5s;
  first.success = true;
  first.imageSha256 = std::string(64, 'a');
  first.packets = 520;
  first.seconds = 4.5;
  database.FinishRun(first);
  // Sent again with another outcome: the finished row stays as it was.
  RunRow again = first;
  again.success = false;
  again.reason = "late";
  database.FinishRun(again);

  // A run without a claim is added whole; serial numbers keep all their digits.
  RunRow verify = Run("verify", "1-2", t0 + 10s);
  verify.serial = std::numeric_limits<std::uint64_t>::max();
  verify.success = false;
  verify.failure = "mismatch";
  verify.reason = "Verify at 0x0840: found 0x00, expected 0xFF.";
  database.FinishRun(verify);

  found = History(database, Filter(7));
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].state, RunState::Finished);
  EXPECT_EQ(found[0].success, true);
  EXPECT_EQ(found[0].time, t0 + 5s);
  EXPECT_EQ(found[0].claimed, t0);
  EXPECT_EQ(found[0].packets, 520u);
  EXPECT_EQ(found[0].imageSha256, first.imageSha256);
  EXPECT_EQ(found[0].memories, first.memories);
  EXPECT_EQ(found[0].reason, "");

  found = History(database, Filter(verify.serial));
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].reason, verify.reason);
  EXPECT_NE(RunJson(found[0]).find("\"serial\":\"18446744073709551615\""), std::string::npos);

  // Newest first; by place; from a time on.
  found = History(database, {});
  ASSERT_EQ(found.size(), 3u);
  EXPECT_EQ(found[0].key, verify.key);
  EXPECT_EQ(found[1].key, first.key);
  EXPECT_EQ(found[2].key, second.key);
  EXPECT_EQ(History(database, Filter(std::nullopt, "1-2")).size(), 2u);
  found = History(database, Filter(std::nullopt, std::nullopt, t0 + 5s));
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[1].key, first.key);
}

TEST_F(DatabaseTest, RowsTheDatabaseMissedAreSpooledAndSentOnce) {
  RecordDatabase database(target_);
  database.InitSchema();
  database.CreateSeries("line-a", 1);
  RunRow board = Run("update", "1-1", std::chrono::system_clock::now());
  board.series = "line-a";
  board.serial = database.ClaimSerial(board);

  // The server drops the station's connection while the board is being written.
  Sql("SELECT pg_terminate_backend(pid, 10000) FROM pg_stat_activity WHERE application_name = '" +
      schema_ + "'");
  board.success = true;
  // Neither takes it: both reasons are told.
  RunSpool nowhere((spoolDir_ / "missing" / "spool.jsonl").string());
  try {
    RecordFinishedRun(database, nowhere, board);
    ADD_FAILURE() << "a run neither database nor spool took was called recorded";
  } catch (const StationError& e) {
    EXPECT_EQ(e.GetProblem(), Kind::DatabaseSpool);
    const std::string message = e.what();
    EXPECT_NE(message.find("went away"), std::string::npos) << message;
    EXPECT_NE(message.find("the spool of unsent runs"), std::string::npos) << message;
  }
  RunSpool spool((spoolDir_ / "spool.jsonl").string());
  const auto missed = RecordFinishedRun(database, spool, board);
  ASSERT_TRUE(missed.has_value());
  EXPECT_EQ(missed->GetProblem(), Kind::DatabaseUnreachable);
  const std::string line = platform::ReadFile(spool.File());
  EXPECT_EQ(Sql("SELECT state FROM korvane_runs"), "claimed");

  database.CheckReady();
  EXPECT_EQ(spool.SendTo(database), 1u);
  EXPECT_FALSE(std::filesystem::exists(spool.File()));
  EXPECT_EQ(Sql("SELECT state || ' ' || success FROM korvane_runs"), "finished true");

  // The same line once more (a spool sent before its removal was lost), after one that no
  // database takes: nothing is doubled, and the damaged line stops the spool, which is kept.
  std::ofstream(spool.File(), std::ios::binary) << "{\"run_key\":\"torn\n" << line;
  try {
    spool.SendTo(database);
    ADD_FAILURE() << "a damaged line was sent";
  } catch (const StationError& e) {
    EXPECT_EQ(e.GetProblem(), Kind::DatabaseRefused);
    EXPECT_NE(std::string(e.what()).find("line 1 of the spool"), std::string::npos) << e.what();
  }
  EXPECT_TRUE(std::filesystem::exists(spool.File()));
  std::ofstream(spool.File(), std::ios::binary) << line;
  EXPECT_EQ(spool.SendTo(database), 1u);
  EXPECT_EQ(Sql("SELECT count(*) FROM korvane_runs"), "1");
}

TEST_F(DatabaseTest, SchemaOneIsUpgradedWithItsRuns) {
  RecordDatabase database(target_);
  database.InitSchema();
  database.CreateSeries("line-a", 5);
  RunRow board = Run("update", "1-1", std::chrono::system_clock::now());
  board.series = "line-a";
  board.serial = database.ClaimSerial(board);
  board.success = true;
  database.FinishRun(board);
  // The schema as a Korvane of version 1 left it.
  Sql("ALTER TABLE korvane_runs DROP COLUMN incremental; UPDATE korvane_schema SET version = 1");
  try {
    database.CheckReady();
    ADD_FAILURE() << "an older schema was taken";
  } catch (const StationError& e) {
    EXPECT_NE(std::string(e.what()).find("db init upgrades it"), std::string::npos) << e.what();
  }

  EXPECT_EQ(database.InitSchema(), InitOutcome::Upgraded);
  EXPECT_EQ(database.InitSchema(), InitOutcome::Current);
  database.CheckReady(std::string("line-a"));
  const auto found = History(database, Filter(5));
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].success, true);
  EXPECT_EQ(found[0].incremental, false);
  RunRow next = Run("update", "1-2", std::chrono::system_clock::now());
  next.series = "line-a";
  EXPECT_EQ(database.ClaimSerial(next), 6u);
}

// A job's boards: recorded over a new connection when the server restarted during a board, else
// kept in the spool once the database is gone, and then no further board may start.
TEST_F(DatabaseTest, BoardsOfAJobAreRecordedOrWaitInTheSpool) {
  RecordDatabase admin(target_);
  admin.InitSchema();
  admin.CreateSeries("line-a", 1);
  // The station logs in as a role of its own, which can be shut out.
  Sql("CREATE ROLE " + schema_ + " LOGIN SUPERUSER");
  const auto dropConnections = [&] {
    Sql("SELECT pg_terminate_backend(pid, 10000) FROM pg_stat_activity WHERE usename = '" +
        schema_ + "'");
  };
  const DatabaseJob job{target_ + " user=" + schema_, ""};
  const std::string spool = (spoolDir_ / "state" / "spool.jsonl").string();
  std::vector<std::string> notices;
  const auto notice = [&](std::string_view text) { notices.emplace_back(text); };
  std::unique_ptr<RunStore> store = OpenRecordDatabase(job, spool, "line-a", notice);
  EXPECT_TRUE(notices.empty());
  EXPECT_TRUE(std::filesystem::is_directory(spoolDir_ / "state"));
  EXPECT_FALSE(std::filesystem::exists(spool));

  const RecordContext context{"station-1", "2.1.0", "update", "fw.hex", std::string(64, 'f')};
  BoardRecord board;
  board.time = std::chrono::system_clock::now();
  board.device = "1-1";
  board.memories = {"flash"};
  const auto boardRun = [&] {
    std::unique_ptr<StoredRun> run = store->Begin(context);
    run->CheckReady();
    BoardRecord ended = board;
    ended.serial = run->ClaimSerial(board);
    ended.success = true;
    return std::pair(std::move(run), ended);
  };

  auto [restarted, first] = boardRun();
  dropConnections();
  EXPECT_EQ(restarted->Finish(first, 360), "");
  EXPECT_EQ(Sql("SELECT state || ' ' || packets FROM korvane_runs WHERE serial = 1"),
            "finished 360");

  auto [gone, second] = boardRun();
  Sql("ALTER ROLE " + schema_ + " NOLOGIN");
  dropConnections();
  const std::string why = gone->Finish(second, 360);
  EXPECT_NE(why.find("record waits in " + spool), std::string::npos) << why;
  std::unique_ptr<StoredRun> next = store->Begin(context);
  try {
    next->CheckReady();
    ADD_FAILURE() << "a board started without the database";
  } catch (const StationError& e) {
    EXPECT_NE(std::string(e.what()).find("nothing was sent to this board"), std::string::npos)
        << e.what();
  }
  BoardRecord notStarted = board;
  EXPECT_NE(next->Finish(notStarted, 0), "");
  EXPECT_EQ(Sql("SELECT count(*) FROM korvane_runs WHERE state = 'finished'"), "1");

  Sql("ALTER ROLE " + schema_ + " LOGIN");
  store = OpenRecordDatabase(job, spool, "", notice);
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_NE(notices[0].find("2 runs that waited in " + spool), std::string::npos) << notices[0];
  EXPECT_EQ(Sql("SELECT string_agg(coalesce(series || ' ' || serial, '-') || ' ' || success, ', ' "
                "ORDER BY serial) FROM korvane_runs"),
            "line-a 1 true, line-a 2 true, - false");
  store.reset();
  dropConnections();
  Sql("DROP ROLE " + schema_);
}

TEST(HistorySince, TakesUtcDatesAndTimesOnly) {
  using std::chrono::system_clock;
  const auto day =
      system_clock::time_point(std::chrono::sys_days(std::chrono::year(2026) / 12 / 7));
  EXPECT_EQ(cli::ParseUtcTime("2026-12-07"), day);
  EXPECT_EQ(cli::ParseUtcTime("2026-12-07T10:45Z"), day + 10h + 45min);
  EXPECT_EQ(cli::ParseUtcTime("2026-12-07T10:45:01.1239Z"), day + 10h + 45min + 1s + 123ms);
  for (const char* bad : {"2026-02-30", "2026-12-07T24:00Z", "2026-12-07T10:45", "2026-12-7",
                          "2026-12-07T10:45:01+01:00", "2026-12-07T10:45:01.Z", "yesterday"}) {
    EXPECT_FALSE(cli::ParseUtcTime(bad).has_value()) << bad;
  }
}

}  // namespace
}  // namespace korvane::station
