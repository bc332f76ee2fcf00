// The production record: a log line per board that several loops share without tearing, and
// serial numbers that no two boards share.

#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "station/Sha256.h"
#include "tests/cli/CliRunner.h"
#include "tests/cli/HexWriter.h"

#ifndef _WIN32
#include <signal.h>
#endif

namespace korvane::cli::test {
namespace {

std::uint32_t LittleEndian(const std::vector<std::uint8_t>& bytes, std::size_t at) {
  return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 |
         static_cast<std::uint32_t>(bytes[at + 3]) << 24;
}

TEST(CliVerify, TellsWhetherTheDeviceHoldsTheFile) {
  const TempDir dir;
  WriteFile(dir / "fw.hex", FirmwareHex(0x9FF, true, 1));
  WriteFile(dir / "other.hex", FirmwareHex(0x9FF, true, 2));
  const std::string state = (dir / "device").string();
  ASSERT_EQ(RunCliProgram({"update", (dir / "fw.hex").string(), "--eeprom", "--emulated",
                           "--emulated-state", state})
                .exitCode,
            0);
  const CliResult same = RunCliProgram(
      {"verify", (dir / "fw.hex").string(), "--eeprom", "--emulated", "--emulated-state", state});
  EXPECT_EQ(same.exitCode, 0) << same.err;
  EXPECT_NE(same.out.find("The device matches the file."), std::string::npos) << same.out;
  const CliResult other = RunCliProgram(
      {"verify", (dir / "other.hex").string(), "--emulated", "--emulated-state", state, "--json"});
  EXPECT_EQ(other.exitCode, 1) << other.err;
  EXPECT_NE(other.out.find("\"differing\":512"), std::string::npos) << other.out;
  EXPECT_NE(other.err.find("Verify at 0x0800: found "), std::string::npos) << other.err;
  const CliResult gone =
      RunCliProgram({"verify", (dir / "fw.hex").string(), "--emulated", "--fault", "unplug@0"});
  EXPECT_EQ(gone.exitCode, 3) << gone.err;
}

#ifndef _WIN32
TEST(CliRecord, TwoProductionLoopsShareOneLogLineByLine) {
  const TempDir dir;
  WriteFile(dir / "fw.hex", FirmwareHex(0x8FF, true));
  const std::string log = (dir / "line.jsonl").string();
  const std::vector<std::string> loop = {"update",     (dir / "fw.hex").string(),
                                         "--eeprom",   "--reset",
                                         "--emulated", "--wait",
                                         "--repeat",   "--log",
                                         log};
  CliResult second;
  const CliResult first = RunCliProgram(loop, {}, [&](pid_t firstPid) {
    second = RunCliProgram(loop, {}, [firstPid](pid_t secondPid) {
      // The next emulated board comes a second after the last: two or three boards each.
      std::this_thread::sleep_for(std::chrono::milliseconds(2500));
      kill(secondPid, SIGINT);
      kill(firstPid, SIGINT);
    });
  });
  ASSERT_EQ(first.exitCode, 0) << first.err;
  ASSERT_EQ(second.exitCode, 0) << second.err;

  const std::string fileHash = station::Sha256Hex(ReadFile(dir / "fw.hex"));
  const std::vector<std::string> lines = Lines(ReadFile(log));
  EXPECT_GE(lines.size(), 4u);
  for (const std::string& line : lines) {
    ASSERT_FALSE(line.empty());
    EXPECT_EQ(line.front(), '{') << line;
    EXPECT_EQ(line.back(), '}') << line;
    EXPECT_NE(line.find("\"file_sha256\":\"" + fileHash + "\""), std::string::npos) << line;
    EXPECT_NE(line.find("\"command\":\"update\",\"device\":\"emulated-0\",\"bootloader\":\"1.12\""),
              std::string::npos)
        << line;
    EXPECT_NE(line.find("\"memories\":[\"flash\",\"eeprom\"]"), std::string::npos) << line;
    EXPECT_NE(line.find("\"success\":true"), std::string::npos) << line;
  }
}
#endif

TEST(CliRecord, EveryBoardGetsANumberOfItsOwnAndAFailedBoardsNumberIsNotReused) {
  const TempDir dir;
  WriteFile(dir / "fw.hex", FirmwareHex(0x8FF, true));
  WriteFile(dir / "next.txt", "1000\n");
  const std::string log = (dir / "line.jsonl").string();
  const CliResult r =
      RunCliProgram({"update", (dir / "fw.hex").string(), "--eeprom", "--all", "--json",
                     "--emulated-devices", "3", "--emulated-state", (dir / "bench").string(),
                     "--serial-file", (dir / "next.txt").string(), "--serial-at", "0xF000F0",
                     "--log", log, "--fault", "2:timeout@40"});
  EXPECT_EQ(r.exitCode, 1) << r.err;
  EXPECT_EQ(ReadFile(dir / "next.txt"), "1003\n");

  // The two boards that succeeded hold two different numbers; the third number went to the
  // board that failed, and the log says so.
  std::set<std::uint32_t> numbers;
  for (const char* board : {"0", "1"}) {
    numbers.insert(LittleEndian(ReadBytes(dir / "bench" / board / "eeprom.bin"), 0xF0));
  }
  EXPECT_EQ(numbers.size(), 2u);
  const std::vector<std::string> lines = Lines(ReadFile(log));
  ASSERT_EQ(lines.size(), 3u) << ReadFile(log);
  for (const std::string& line : lines) {
    const std::size_t at = line.find("\"serial\":");
    ASSERT_NE(at, std::string::npos) << line;
    const std::uint32_t serial = static_cast<std::uint32_t>(std::stoul(line.substr(at + 9)));
    EXPECT_TRUE(serial >= 1000 && serial <= 1002) << line;
    const bool failed = line.find("\"device\":\"emulated-2\"") != std::string::npos;
    EXPECT_NE(line.find(failed ? "\"success\":false" : "\"success\":true"), std::string::npos)
        << line;
    if (!failed) {
      EXPECT_EQ(numbers.count(serial), 1u) << line;
    } else {
      EXPECT_EQ(numbers.count(serial), 0u) << line;
    }
  }

  // A number that would not be written is refused before any board takes one.
  for (const std::vector<std::string>& refused :
       {std::vector<std::string>{"--serial-at", "0xF000F0"},  // EEPROM not chosen
        std::vector<std::string>{"--serial-at", "0x700"},     // the boot block
        std::vector<std::string>{"--serial-at", "0x8FE"},     // past the data
        std::vector<std::string>{"--serial-at", "0x800", "--serial-bytes", "9"}}) {
    std::vector<std::string> args{"update", (dir / "fw.hex").string(), "--emulated",
                                  "--serial-file", (dir / "next.txt").string()};
    args.insert(args.end(), refused.begin(), refused.end());
    const CliResult refusal = RunCliProgram(args);
    EXPECT_EQ(refusal.exitCode, 2) << refused[1] << refusal.err;
  }
  EXPECT_EQ(ReadFile(dir / "next.txt"), "1003\n");
}

}  // namespace
}  // namespace korvane::cli::test
