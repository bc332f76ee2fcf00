// update --only-changed through the built program: a board that holds the file is only read, a
// changed block is all that is written, a fault is never a success, the serial number is part of
// what is compared, and the record and the JSON outcome say what the run did.

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tests/cli/CliRunner.h"
#include "tests/cli/HexWriter.h"

#ifndef _WIN32
#include <signal.h>
#endif

namespace korvane::cli::test {
namespace {

// Program flash 0x800-0xFFF (32 blocks, read in 37 packets) and the whole EEPROM.
constexpr std::uint32_t kLastFlash = 0xFFF;

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// The JSON line of the given event.
std::string EventLine(const std::string& out, const std::string& event) {
  for (const std::string& line : Lines(out)) {
    if (Has(line, "\"event\":\"" + event + "\"")) {
      return line;
    }
  }
  return {};
}

// Turns the 64 bytes of program flash at `block` in the emulated device's saved memory into
// something else.
void ChangeBlock(const std::filesystem::path& state, std::uint32_t block) {
  std::string flash = ReadFile(state / "flash.bin");
  ASSERT_EQ(flash.size(), 32768u);
  for (std::uint32_t a = block; a < block + 64; ++a) {
    flash[a] = static_cast<char>(~flash[a]);
  }
  WriteFile(state / "flash.bin", flash);
}

TEST(CliOnlyChanged, ReadsABoardThatHoldsTheFileAndWritesOnlyWhatDiffers) {
  const TempDir dir;
  const std::string file = (dir / "fw.hex").string();
  WriteFile(file, FirmwareHex(kLastFlash, true));
  const std::string state = (dir / "device").string();
  const std::vector<std::string> update = {
      "update", file, "--eeprom", "--only-changed", "--emulated", "--emulated-state", state};
  const auto with = [&update](std::vector<std::string> more) {
    more.insert(more.begin(), update.begin(), update.end());
    return more;
  };
  ASSERT_EQ(
      RunCliProgram({"update", file, "--eeprom", "--emulated", "--emulated-state", state}).exitCode,
      0);

  // The board holds the file: every packet is a read (program flash 0x01, EEPROM 0x04).
  const std::string trace = (dir / "trace.txt").string();
  const CliResult same = RunCliProgram(with({"--trace", trace}));
  ASSERT_EQ(same.exitCode, 0) << same.out << same.err;
  EXPECT_EQ(Lines(same.out),
            (std::vector<std::string>{
                "Reading program data...", "Reading EEPROM data...", "The update was successful.",
                "Only what changed: nothing differed, 45 packets (all reads)."}));
  const std::vector<std::string> packets = Lines(ReadFile(trace));
  EXPECT_EQ(packets.size(), 45u);
  for (const std::string& packet : packets) {
    EXPECT_TRUE(packet.starts_with("01 ") || packet.starts_with("04 ")) << packet;
  }

  // One block changed: it alone is erased, written and read back, and the board holds the file.
  ChangeBlock(state, 0xC00);
  const CliResult one = RunCliProgram(with({"--json"}));
  ASSERT_EQ(one.exitCode, 0) << one.err;
  const std::string outcome = EventLine(one.out, "outcome");
  EXPECT_TRUE(Has(outcome,
                  "\"packets\":52,\"incremental\":true,\"blocks_erased\":1,"
                  "\"flash_rows_written\":4,\"eeprom_rows_written\":0,\"updated\":true"))
      << outcome;
  EXPECT_TRUE(Has(one.err, "Only what changed: 1 block erased, 4 rows written, 52 packets.\n"))
      << one.err;
  EXPECT_TRUE(Has(one.out, "\"stage\":\"read\"")) << one.out;
  EXPECT_TRUE(Has(one.out, "\"stage\":\"eeprom-read\"")) << one.out;
  const CliResult check =
      RunCliProgram({"verify", file, "--eeprom", "--emulated", "--emulated-state", state});
  EXPECT_EQ(check.exitCode, 0) << check.out << check.err;

  // A write the device took wrongly is found by the read back: never a success. Packets 0-36
  // read, 37 erases 0xC00, 38 writes its first row.
  ChangeBlock(state, 0xC00);
  const CliResult failed = RunCliProgram(with({"--json", "--fault", "bitflip@38"}));
  EXPECT_EQ(failed.exitCode, 1) << failed.err;
  const std::string line = EventLine(failed.out, "outcome");
  EXPECT_TRUE(Has(line, "\"success\":false")) << line;
  EXPECT_TRUE(Has(line, "\"failure\":\"mismatch\"")) << line;
  EXPECT_TRUE(Has(line, "\"updated\":false")) << line;
  EXPECT_TRUE(
      Has(failed.err, "The update was not successful.\nOnly what changed: 1 block erased, "))
      << failed.err;
  EXPECT_TRUE(Has(failed.err, "Verify at 0x0C00: found ")) << failed.err;
}

TEST(CliOnlyChanged, ComparesTheNumberedImageAndRecordsTheRunAsIncremental) {
  const TempDir dir;
  const std::string file = (dir / "fw.hex").string();
  WriteFile(file, FirmwareHex(kLastFlash, false));
  WriteFile(dir / "next.txt", "1000\n");
  const std::string log = (dir / "line.jsonl").string();
  const std::vector<std::string> update = {
      "update", file, "--emulated",    "--emulated-state",          (dir / "device").string(),
      "--log",  log,  "--serial-file", (dir / "next.txt").string(), "--serial-at",
      "0x900"};
  ASSERT_EQ(RunCliProgram(update).exitCode, 0);

  // The board holds the file with number 1000: only the block of the new number differs.
  std::vector<std::string> again = update;
  again.push_back("--only-changed");
  const CliResult second = RunCliProgram(again);
  ASSERT_EQ(second.exitCode, 0) << second.err;
  EXPECT_TRUE(Has(second.out, "Only what changed: 1 block erased, 4 rows written, ")) << second.out;
  EXPECT_TRUE(Has(second.out, "Serial number 1001 written.")) << second.out;
  const CliResult check = RunCliProgram({"verify", file, "--emulated", "--emulated-state",
                                         (dir / "device").string(), "--serial-at", "0x900"});
  EXPECT_EQ(check.exitCode, 0) << check.out << check.err;
  EXPECT_TRUE(Has(check.out, "Serial number 1001 found.")) << check.out;

  const std::vector<std::string> records = Lines(ReadFile(log));
  ASSERT_EQ(records.size(), 2u);
  EXPECT_TRUE(records[0].ends_with(",\"backup\":null,\"incremental\":false}")) << records[0];
  EXPECT_TRUE(records[1].ends_with(",\"backup\":null,\"incremental\":true}")) << records[1];
  EXPECT_TRUE(Has(records[1], "\"serial\":\"1001\"")) << records[1];
}

TEST(CliOnlyChanged, AllBoardsAndTheProductionLoopTakeIt) {
  const TempDir dir;
  const std::string file = (dir / "fw.hex").string();
  WriteFile(file, FirmwareHex(kLastFlash, false));
  const std::string bench = (dir / "bench").string();
  ASSERT_EQ(RunCliProgram({"update", file, "--emulated-devices", "2", "--emulated-state", bench,
                           "--device", "0"})
                .exitCode,
            0);

  // Device 0 holds the file, device 1 the earlier firmware.
  const CliResult all = RunCliProgram({"update", file, "--emulated-devices", "2",
                                       "--emulated-state", bench, "--all", "--only-changed"});
  ASSERT_EQ(all.exitCode, 0) << all.err;
  const std::vector<std::string> lines = Lines(all.out);
  ASSERT_EQ(lines.size(), 4u) << all.out;
  EXPECT_TRUE(
      lines[1].starts_with("emulated-0: The update was successful. Only what changed: "
                           "nothing differed, 37 packets (all reads)."))
      << lines[1];
  EXPECT_TRUE(lines[2].starts_with(
      "emulated-1: The update was successful. Only what changed: 32 blocks erased, "))
      << lines[2];

#ifndef _WIN32
  const std::string log = (dir / "loop.jsonl").string();
  const CliResult loop = RunCliProgram(
      {"update", file, "--emulated", "--wait", "--repeat", "--only-changed", "--log", log}, {},
      [&log](pid_t pid) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        // A whole record (before the run the log holds, for a moment, a reservation of blanks).
        while (!Has(ReadFile(log), "\"device\"") && std::chrono::steady_clock::now() < end) {
          std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        kill(pid, SIGINT);
      });
  EXPECT_EQ(loop.exitCode, 0) << loop.err;
  EXPECT_TRUE(Has(loop.out, "#1 emulated-0: The update was successful. Only what changed: "))
      << loop.out;
  const std::vector<std::string> records = Lines(ReadFile(log));
  ASSERT_FALSE(records.empty());
  EXPECT_TRUE(records[0].ends_with("\"incremental\":true}")) << records[0];
#endif
}

}  // namespace
}  // namespace korvane::cli::test
