// The production record: a log line per board that several loops share without tearing, and
// serial numbers that no two boards share.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
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
#include <sys/resource.h>
#endif

namespace korvane::cli::test {
namespace {

std::uint32_t LittleEndian(const std::vector<std::uint8_t>& bytes, std::size_t at) {
  return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 |
         static_cast<std::uint32_t>(bytes[at + 3]) << 24;
}

// `text` in double quotes, as a JSON string of plain characters stands.
std::string Quoted(const std::string& text) {
  std::string quoted(1, '"');
  quoted.append(text);
  quoted.push_back('"');
  return quoted;
}

// The text of a field of a JSON line as it stands ("\"258\"", "true", "null").
std::string Field(const std::string& line, const std::string& name) {
  const std::size_t at = line.find("\"" + name + "\":");
  if (at == std::string::npos) {
    return {};
  }
  const std::size_t start = at + name.size() + 3;
  const std::size_t end =
      line[start] == '"' ? line.find('"', start + 1) + 1 : line.find_first_of(",}", start);
  return line.substr(start, end - start);
}

#ifndef _WIN32
// Waits (at most a minute) until `ready` holds for the file's text.
bool WaitForText(const std::filesystem::path& file,
                 const std::function<bool(const std::string&)>& ready) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!ready(ReadFile(file))) {
    if (std::chrono::steady_clock::now() > end) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// True once the child has ended (it waits to be reaped).
bool Exited(pid_t pid) {
  const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
  const std::size_t end = stat.rfind(") ");
  return end == std::string::npos || stat[end + 2] == 'Z';
}
#endif

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
    const std::size_t at = line.find("\"serial\":\"");
    ASSERT_NE(at, std::string::npos) << line;
    const std::uint32_t serial = static_cast<std::uint32_t>(std::stoul(line.substr(at + 10)));
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

// The number's bytes on the device are those its format names; verify reads them back, compares
// everything else, and its record carries the same image hash as the update's: the hash of the
// device's bytes from 0x800 to the file's highest address, then its EEPROM.
TEST(CliRecord, SerialBytesLandAsTheirFormatSaysAndVerifyMatchesTheUpdatesRecord) {
  const TempDir dir;
  WriteFile(dir / "fw.hex", FirmwareHex(0x8FF, true));
  struct Case {
    std::string format;
    std::string at;
    std::string bytes;
    std::string first;
    std::vector<std::uint8_t> expected;
  };
  const std::vector<Case> cases = {
      {"be", "0x8F0", "3", "258", {0x00, 0x01, 0x02}},
      {"ascii", "15728880", "8", "1234567", {'0', '1', '2', '3', '4', '5', '6', '7'}},  // 0xF000F0
      {"le",
       "0xf000f8",
       "8",
       "18446744073709551614",  // 2^64 - 2: digits no double keeps
       {0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
  };
  for (const Case& c : cases) {
    const std::string state = (dir / c.format).string();
    const std::string log = (dir / (c.format + ".jsonl")).string();
    WriteFile(dir / "next.txt", c.first + "\n");
    const std::vector<std::string> place = {"--serial-at",     c.at,    "--serial-bytes", c.bytes,
                                            "--serial-format", c.format};
    std::vector<std::string> update = {"update",
                                       (dir / "fw.hex").string(),
                                       "--eeprom",
                                       "--emulated",
                                       "--emulated-state",
                                       state,
                                       "--log",
                                       log,
                                       "--serial-file",
                                       (dir / "next.txt").string()};
    update.insert(update.end(), place.begin(), place.end());
    const CliResult written = RunCliProgram(update);
    ASSERT_EQ(written.exitCode, 0) << c.format << written.err;

    const std::vector<std::uint8_t> flash = ReadBytes(dir / c.format / "flash.bin");
    const std::vector<std::uint8_t> eeprom = ReadBytes(dir / c.format / "eeprom.bin");
    ASSERT_EQ(flash.size(), 0x8000u);
    ASSERT_EQ(eeprom.size(), 256u);
    const bool inEeprom = c.at != "0x8F0";
    const std::size_t offset = inEeprom ? std::stoul(c.at, nullptr, 0) - 0xF00000 : 0x8F0;
    const std::vector<std::uint8_t>& memory = inEeprom ? eeprom : flash;
    EXPECT_EQ(std::vector<std::uint8_t>(
                  memory.begin() + static_cast<std::ptrdiff_t>(offset),
                  memory.begin() + static_cast<std::ptrdiff_t>(offset + c.expected.size())),
              c.expected)
        << c.format;

    std::vector<std::string> verify = {"verify",
                                       (dir / "fw.hex").string(),
                                       "--eeprom",
                                       "--emulated",
                                       "--emulated-state",
                                       state,
                                       "--log",
                                       log,
                                       "--json"};
    verify.insert(verify.end(), place.begin(), place.end());
    const CliResult checked = RunCliProgram(verify);
    EXPECT_EQ(checked.exitCode, 0) << c.format << checked.err;
    EXPECT_NE(checked.err.find("Serial number " + c.first + " found."), std::string::npos)
        << checked.err;
    EXPECT_EQ(Field(Lines(checked.out).back(), "serial"), Quoted(c.first)) << checked.out;

    const std::string written8 =
        std::string(reinterpret_cast<const char*>(flash.data()) + 0x800, 0x100) +
        std::string(reinterpret_cast<const char*>(eeprom.data()), 256);
    const std::vector<std::string> lines = Lines(ReadFile(log));
    ASSERT_EQ(lines.size(), 2u) << ReadFile(log);
    for (const std::string& line : lines) {
      EXPECT_EQ(Field(line, "image_sha256"), Quoted(station::Sha256Hex(written8))) << line;
      EXPECT_EQ(Field(line, "serial"), Quoted(c.first)) << line;
      EXPECT_EQ(Field(line, "success"), "true") << line;
    }
  }
  // A leading zero is no octal number: refused.
  const CliResult octal =
      RunCliProgram({"verify", (dir / "fw.hex").string(), "--emulated", "--serial-at", "04000"});
  EXPECT_EQ(octal.exitCode, 2) << octal.err;
}

// The serial number's bytes count only as they were read back: a reply that answers another
// request, or whose count leaves them out, fails the verify as it fails any other read.
TEST(CliRecord, VerifyTrustsTheSerialNumberOnlyFromAReplyThatReadIt) {
  const TempDir dir;
  WriteFile(dir / "fw.hex", FirmwareHex(0x8FF, true));
  const std::vector<std::pair<std::string, std::string>> faults = {
      {"wrong-echo@0", "wrong-echo"}, {"short-count@0", "short-count"}};
  for (const auto& [fault, failure] : faults) {
    const CliResult checked =
        RunCliProgram({"verify", (dir / "fw.hex").string(), "--eeprom", "--emulated", "--fault",
                       fault, "--serial-at", "0xF000F0", "--json"});
    EXPECT_EQ(checked.exitCode, 1) << fault << checked.err;
    const std::string outcome = Lines(checked.out).back();
    EXPECT_EQ(Field(outcome, "failure"), Quoted(failure)) << outcome;
    EXPECT_NE(checked.err.find("Reading the serial number at 0xF000F0: "), std::string::npos)
        << checked.err;
  }
}

// A serial number goes only to a board that answered the version query.
TEST(CliRecord, NoNumberIsTakenWhenNoDeviceAnswers) {
  const TempDir dir;
  WriteFile(dir / "fw.hex", FirmwareHex(0x8FF, false));
  WriteFile(dir / "next.txt", "5\n");
  for (const auto& [fault, code] : {std::pair{"unplug@0", 3}, std::pair{"timeout@0", 1}}) {
    const CliResult r =
        RunCliProgram({"update", (dir / "fw.hex").string(), "--emulated", "--fault", fault,
                       "--serial-file", (dir / "next.txt").string(), "--serial-at", "0x800"});
    EXPECT_EQ(r.exitCode, code) << fault << r.err;
    EXPECT_NE(r.err.find("No serial number was taken, and nothing was written."), std::string::npos)
        << r.err;
  }
  EXPECT_EQ(ReadFile(dir / "next.txt"), "5\n");
}

#ifndef _WIN32
// SIGTERM (timeout, systemctl stop) ends a run as Ctrl+C does: the packet in flight finishes,
// the board is recorded as aborted with its number, the serial file is whole.
TEST(CliRecord, ARunEndedBySigtermIsRecordedAsAborted) {
  const TempDir dir;
  WriteFile(dir / "fw.hex", FirmwareHex(0x7FFF, true));
  WriteFile(dir / "next.txt", "100\n");
  const std::string log = (dir / "line.jsonl").string();
  const std::string trace = (dir / "trace.txt").string();
  const CliResult r =
      RunCliProgram({"update", (dir / "fw.hex").string(), "--eeprom", "--emulated-timing",
                     "--trace", trace, "--log", log, "--json", "--serial-file",
                     (dir / "next.txt").string(), "--serial-at", "0xF000F0"},
                    {}, [&](pid_t pid) {
                      // Once the erase is under way.
                      EXPECT_TRUE(WaitForText(trace, [](const std::string& text) {
                        return std::count(text.begin(), text.end(), '\n') >= 20;
                      }));
                      kill(pid, SIGTERM);
                    });
  EXPECT_EQ(r.exitCode, 1) << r.err;
  EXPECT_NE(r.err.find("The update was not successful."), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("stopped by the user."), std::string::npos) << r.err;
  EXPECT_EQ(ReadFile(dir / "next.txt"), "101\n");
  const std::vector<std::string> lines = Lines(ReadFile(log));
  ASSERT_EQ(lines.size(), 1u) << ReadFile(log);
  EXPECT_EQ(Field(lines[0], "failure"), "\"aborted\"") << lines[0];
  EXPECT_EQ(Field(lines[0], "serial"), "\"100\"") << lines[0];
  const std::string outcome = Lines(r.out).back();
  EXPECT_EQ(Field(outcome, "exit_code"), "1") << outcome;
  EXPECT_EQ(Field(outcome, "failure"), "\"aborted\"") << outcome;

  // SIGHUP (a closed SSH session) ends the production loop between boards, with its summary.
  const CliResult loop = RunCliProgram(
      {"update", (dir / "fw.hex").string(), "--emulated", "--wait", "--repeat", "--log", log}, {},
      [&](pid_t pid) {
        EXPECT_TRUE(WaitForText(log, [](const std::string& text) {
          return text.find("\"device\"") != text.rfind("\"device\"");  // a second record
        }));
        kill(pid, SIGHUP);
      });
  EXPECT_EQ(loop.exitCode, 0) << loop.err;
  EXPECT_NE(loop.out.find(" updated, 0 failed\n"), std::string::npos) << loop.out;
}

// The disk runs full after the first board of a production loop: the second board's record
// cannot be written, and the loop stops there (no third board, no third number), with the log
// as it was and the outcome saying exit 4 as the process does.
TEST(CliRecord, ARecordThatCannotBeWrittenStopsTheLine) {
  const TempDir dir;
  WriteFile(dir / "fw.hex", FirmwareHex(0x8FF, true));
  WriteFile(dir / "next.txt", "1\n");
  const std::string log = (dir / "line.jsonl").string();
  // Earlier days' lines: more than the command's own output will ever be.
  std::string earlier;
  while (earlier.size() < 65536) {
    earlier += "{\"earlier\":true}\n";
  }
  WriteFile(log, earlier);
  std::string full;  // the log when the disk ran full
  const CliResult r = RunCliProgram(
      {"update", (dir / "fw.hex").string(), "--eeprom", "--emulated", "--wait", "--repeat",
       "--reset", "--json", "--log", log, "--serial-file", (dir / "next.txt").string(),
       "--serial-at", "0xF000F0"},
      {}, [&](pid_t pid) {
        EXPECT_TRUE(WaitForText(log, [](const std::string& text) {
          return text.find("\"device\"") != std::string::npos;
        }));
        // The loop is held still while the disk fills up to the log's end.
        kill(pid, SIGSTOP);
        full = ReadFile(log);
        const rlimit limit{full.size() + 64, RLIM_INFINITY};
        EXPECT_EQ(prlimit(pid, RLIMIT_FSIZE, &limit, nullptr), 0);
        kill(pid, SIGCONT);
        // A loop that goes on regardless is ended once a later board has taken a number.
        const std::size_t taken = Lines(full).size() - Lines(earlier).size();
        const std::string later = std::to_string(taken + 3) + "\n";
        const bool ended = WaitForText(dir / "next.txt", [&](const std::string& next) {
          return next == later || Exited(pid);
        });
        if (!ended || !Exited(pid)) {
          kill(pid, SIGINT);
          kill(pid, SIGINT);
        }
      });
  // The boards recorded before the disk ran full, and the one whose record was lost.
  const std::size_t recorded = Lines(full).size() - Lines(earlier).size();
  ASSERT_GE(recorded, 1u);
  EXPECT_EQ(r.exitCode, 4) << r.err;
  EXPECT_TRUE(ReadFile(log) == full) << "the log changed after the disk ran full";
  EXPECT_EQ(ReadFile(dir / "next.txt"), std::to_string(recorded + 2) + "\n");
  EXPECT_NE(r.err.find("emulated-0: the record was not written: cannot append to " + log),
            std::string::npos)
      << r.err;
  const std::string boards = std::to_string(recorded + 1);
  EXPECT_NE(r.err.find(boards + " devices: " + boards + " updated, 0 failed"), std::string::npos)
      << r.err;
  std::vector<std::string> outcomes;
  for (const std::string& line : Lines(r.out)) {
    if (line.find("\"event\":\"outcome\"") != std::string::npos) {
      outcomes.push_back(line);
    }
  }
  ASSERT_EQ(outcomes.size(), recorded + 1) << r.out;
  EXPECT_EQ(Field(outcomes.back(), "exit_code"), "4") << outcomes.back();
  EXPECT_EQ(Field(outcomes.back(), "success"), "false") << outcomes.back();
  EXPECT_EQ(Field(outcomes.back(), "failure"), "\"record-failed\"") << outcomes.back();
  EXPECT_EQ(Field(outcomes.back(), "updated"), "true") << outcomes.back();
  EXPECT_EQ(Field(Lines(r.out).back(), "exit_code"), "4") << r.out;
}
#endif

}  // namespace
}  // namespace korvane::cli::test
