// The record database's commands where no database can be used: the one sentence they end with.

#include <gtest/gtest.h>

#include "tests/cli/CliRunner.h"

namespace korvane::cli::test {
namespace {

TEST(CliDb, EndsWithOneSentenceWithoutADatabase) {
  const CliResult history = RunCliProgram({"history", "--db", "", "--serial", "7"});
  const CliResult init =
      RunCliProgram({"db", "init", "--db", "host=/nonexistent-korvane connect_timeout=5"});
#ifdef KORVANE_HAVE_DATABASE
  EXPECT_EQ(history.exitCode, 2);
  EXPECT_EQ(history.err,
            "korvane-cli: --db URL (or the environment variable KORVANE_DB) names the record "
            "database\n");
  EXPECT_EQ(init.exitCode, 4);
  EXPECT_EQ(init.err.rfind("korvane-cli: the record database at host=/nonexistent-korvane cannot "
                           "be reached: ",
                           0),
            0u)
      << init.err;
  EXPECT_EQ(Lines(init.err).size(), 1u) << init.err;
#else
  for (const CliResult& result : {history, init}) {
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_EQ(result.err, "korvane-cli: --db is not offered on this platform\n");
  }
#endif
  EXPECT_EQ(history.out + init.out, "");
}

}  // namespace
}  // namespace korvane::cli::test
