// The record database where no database can be used: the one sentence the commands end with,
// and no packet to any board.

#include <gtest/gtest.h>

#include "tests/cli/CliRunner.h"
#include "tests/cli/HexWriter.h"

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

TEST(CliDb, BoardsGetNothingWithoutTheirDatabase) {
  const TempDir dir;
  WriteFile(dir / "fw.hex", FirmwareHex(0x0FFF, true));
  const std::string fw = (dir / "fw.hex").string();
  const std::string nowhere = "host=/nonexistent-korvane connect_timeout=5";
  const struct {
    std::vector<std::string> args;
    const char* says;
  } refused[] = {
      {{"--serial-series", "line-a", "--serial-at", "0xF000F0"},
       "update: --serial-series takes numbers from the record database: give --db URL (or the "
       "environment variable KORVANE_DB)"},
      {{"--db", nowhere, "--serial-series", "line-a", "--serial-file", "next.txt", "--serial-at",
        "0xF000F0"},
       "update: --serial-file and --serial-series are two sources of serial numbers; give one"},
      {{"--db", nowhere, "--serial-series", "line-a"},
       "update: --serial-series and --serial-at go together"},
      {{"--db-spool", "spool.jsonl"}, "update: --db-spool goes with --db"},
  };
  for (const auto& c : refused) {
    std::vector<std::string> args = {"update", fw, "--eeprom", "--emulated"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const CliResult result = RunCliProgram(args);
    EXPECT_EQ(result.exitCode, 2) << c.says;
    EXPECT_EQ(result.err, "korvane-cli: " + std::string(c.says) + "\n");
  }

  const std::filesystem::path board = dir / "board";
  const CliResult update =
      RunCliProgram({"update", fw, "--eeprom", "--emulated", "--emulated-state", board.string(),
                     "--db", nowhere, "--serial-series", "line-a", "--serial-at", "0xF000F0"},
                    {"XDG_STATE_HOME=" + (dir / "state").string()});
#ifdef KORVANE_HAVE_DATABASE
  EXPECT_EQ(update.exitCode, 4);
  EXPECT_EQ(update.err.rfind("korvane-cli: the record database at host=/nonexistent-korvane "
                             "cannot be reached: ",
                             0),
            0u)
      << update.err;
  EXPECT_TRUE(update.err.ends_with("; nothing was sent to any board\n")) << update.err;
  EXPECT_EQ(Lines(update.err).size(), 1u) << update.err;
#else
  EXPECT_EQ(update.exitCode, 2);
  EXPECT_EQ(update.err, "korvane-cli: --db is not offered on this platform\n");
#endif
  EXPECT_FALSE(std::filesystem::exists(board)) << "the emulated board was written";
}

}  // namespace
}  // namespace korvane::cli::test
