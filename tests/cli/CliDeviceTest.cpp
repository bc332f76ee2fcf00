// korvane-cli's device commands on the emulated device, run through the built program: the
// update against a state directory, the fault kinds, the trace, detect and reset.

#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <sstream>
#include <thread>
#include <vector>

#include "emulator/BootloaderDevice.h"
#include "tests/cli/CliRunner.h"
#include "tests/cli/HexWriter.h"

namespace korvane::cli::test {
namespace {

using emulator::BootloaderDevice;

constexpr std::string_view kSuccess = "The update was successful.";
constexpr std::string_view kFailure = "The update was not successful.";

std::uint8_t ProgramValue(std::uint32_t address) {
  return static_cast<std::uint8_t>((address * 7) ^ (address >> 8));
}
std::uint8_t DataValue(std::uint32_t address) {
  return static_cast<std::uint8_t>(0x30 + address);
}

bool StartsWith(const std::string& text, std::string_view prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}
bool EndsWith(const std::string& text, std::string_view suffix) {
  return text.size() >= suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// 16 bytes at 0x800 (one erase, one write, one read packet) and 16 in the EEPROM: with
// --eeprom the run sends packets 0 to 2 for flash, 3 to 18 EEPROM writes, 19 to 26 reads.
std::string SmallImage() {
  return DataRecords(0x800, 16, ProgramValue) + DataRecords(0xF00000, 16, DataValue) + EndOfFile();
}

TEST(CliUpdate, EmulatedStateHoldsTheImageAndTheBootBlockStaysIntact) {
  const TempDir dir;
  constexpr std::uint32_t kHighest = 0x800 + 1000 - 1;  // 0xBE7, not on a block boundary
  WriteFile(dir / "fw.hex", DataRecords(0x800, 1000, ProgramValue) +
                                DataRecords(0xF00000, 40, DataValue) + EndOfFile());
  const std::string state = (dir / "device").string();

  const CliResult r = RunCliProgram(
      {"update", (dir / "fw.hex").string(), "--emulated", "--eeprom", "--emulated-state", state});
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
  // Not a terminal: one plain line per stage, then the outcome.
  EXPECT_EQ(Lines(r.out),
            (std::vector<std::string>{"Erasing Flash...", "Writing program data...",
                                      "Verify program data...", "Write EEPROM...",
                                      "Verify EEPROM data...", std::string(kSuccess)}));

  const auto flash = ReadBytes(dir / "device" / "flash.bin");
  const auto eeprom = ReadBytes(dir / "device" / "eeprom.bin");
  ASSERT_EQ(flash.size(), 32768u);
  ASSERT_EQ(eeprom.size(), 256u);
  for (std::uint32_t a = 0; a < 0x800; ++a) {
    ASSERT_EQ(flash[a], BootloaderDevice::BootBlockPattern(a)) << "boot block byte " << a;
  }
  for (std::uint32_t a = 0x800; a <= kHighest; ++a) {
    ASSERT_EQ(flash[a], ProgramValue(a)) << "flash byte " << a;
  }
  // Above the image: the rest of the last erased block is blank, the earlier firmware beyond.
  for (std::uint32_t a = kHighest + 1; a < 0xC00; ++a) {
    ASSERT_EQ(flash[a], 0xFF) << "flash byte " << a;
  }
  for (std::uint32_t a = 0xC00; a < 0x8000; ++a) {
    ASSERT_EQ(flash[a], BootloaderDevice::EarlierFirmwarePattern(a)) << "flash byte " << a;
  }
  for (std::uint32_t a = 0; a < 256; ++a) {
    ASSERT_EQ(eeprom[a], a < 40 ? DataValue(0xF00000 + a) : 0xFF) << "EEPROM byte " << a;
  }
}

TEST(CliUpdate, SuccessiveCommandsSeeOneDevice) {
  const TempDir dir;
  WriteFile(dir / "program.hex", DataRecords(0x800, 64, ProgramValue) + EndOfFile());
  WriteFile(dir / "data.hex", DataRecords(0xF00000, 256, DataValue) + EndOfFile());
  const std::string state = (dir / "device").string();

  ASSERT_EQ(RunCliProgram(
                {"update", (dir / "program.hex").string(), "--emulated", "--emulated-state", state})
                .exitCode,
            0);
  // The second run writes only the EEPROM; the program stays from the first.
  const CliResult second = RunCliProgram({"update", (dir / "data.hex").string(), "--no-flash",
                                          "--eeprom", "--emulated", "--emulated-state", state});
  ASSERT_EQ(second.exitCode, 0) << second.err;
  EXPECT_EQ(Lines(second.out), (std::vector<std::string>{"Write EEPROM...", "Verify EEPROM data...",
                                                         std::string(kSuccess)}));
  const auto flash = ReadBytes(dir / "device" / "flash.bin");
  ASSERT_EQ(flash.size(), 32768u);
  for (std::uint32_t a = 0x800; a < 0x840; ++a) {
    ASSERT_EQ(flash[a], ProgramValue(a)) << a;
  }
  const auto eeprom = ReadBytes(dir / "device" / "eeprom.bin");
  ASSERT_EQ(eeprom.size(), 256u);
  EXPECT_EQ(eeprom[255], DataValue(0xF00000 + 255));

  // A program check against the saved device now passes for the first file and fails for
  // another, with the place of the difference.
  WriteFile(dir / "other.hex", DataRecords(0x800, 64, DataValue) + EndOfFile());
  const CliResult mismatch = RunCliProgram({"update", (dir / "other.hex").string(), "--emulated",
                                            "--emulated-state", state, "--fault", "bitflip@1"});
  EXPECT_EQ(mismatch.exitCode, 1);
  EXPECT_NE(mismatch.out.find("Error in program data found..."), std::string::npos) << mismatch.out;
  // The flipped bit is bit 0 of the first byte written at 0x800.
  const std::uint8_t expected = DataValue(0x800);
  std::ostringstream where;
  where << "Verify at 0x0800: found 0x" << std::hex << std::uppercase << ((expected ^ 1) >> 4)
        << ((expected ^ 1) & 0xF) << ", expected 0x" << (expected >> 4) << (expected & 0xF) << ".";
  EXPECT_NE(mismatch.err.find(where.str()), std::string::npos) << mismatch.err;
}

TEST(CliUpdate, EveryFaultKindFailsWithoutClaimingSuccess) {
  const TempDir dir;
  WriteFile(dir / "fw.hex", SmallImage());
  struct Case {
    std::string fault;
    int exitCode;
    std::string inStderr;
  };
  const std::vector<Case> cases = {
      {"timeout@0", 1,
       "Error Code :  121\nkorvane-cli: Erase at 0x0800: the device did not "
       "answer in time.\n"},
      {"short@1", 1, "Write at 0x0800: the reply was short."},
      {"long-count@2", 1, "Verify at 0x0800: the reply claimed too many bytes."},
      {"short-count@2", 1, "Verify at 0x0800: the device answered 0 of 16 bytes."},
      {"wrong-echo@19", 1,
       "EEPROM verify at 0x00: the reply answers another request (command 0x05, address "
       "0x000000)."},
      // More bytes than asked for: a failed exchange without a message of its own.
      {"long-reply@2", 1, "korvane-cli: Verify at 0x0800: the reply was too long."},
      {"bitflip@1", 1, "Verify at 0x0800: found 0x"},
      {"bitflip@4", 1, "EEPROM verify at 0x10: found 0x"},
      {"unplug@0", 3, "Erase at 0x0800: no device answered."},
      {"unplug@5", 1, "the device is no longer attached."},
      {"open-fail@0", 1,
       "Failed to open data pipes.\nkorvane-cli: Erase at 0x0800: the pipes "
       "did not open.\n"},
      {"write-error@20", 1,
       "Error Code :  31\nkorvane-cli: EEPROM verify at 0x20: the transfer "
       "failed (error 31).\n"},
  };
  for (const Case& c : cases) {
    const CliResult r = RunCliProgram(
        {"update", (dir / "fw.hex").string(), "--emulated", "--eeprom", "--fault", c.fault});
    EXPECT_EQ(r.exitCode, c.exitCode) << c.fault << "\n" << r.out << r.err;
    EXPECT_EQ(r.out.find(kSuccess), std::string::npos) << c.fault;
    EXPECT_NE(r.out.find(kFailure), std::string::npos) << c.fault;
    EXPECT_NE(r.err.find(c.inStderr), std::string::npos) << c.fault << "\n" << r.err;
    if (c.fault.starts_with("long-reply")) {
      EXPECT_EQ(r.err.find("Error Code"), std::string::npos) << r.err;
    }
  }
  // A fault past the last packet changes nothing.
  const CliResult late = RunCliProgram(
      {"update", (dir / "fw.hex").string(), "--emulated", "--eeprom", "--fault", "timeout@27"});
  EXPECT_EQ(late.exitCode, 0) << late.err;
  EXPECT_NE(late.out.find(kSuccess), std::string::npos);
}

TEST(CliUpdate, AFileWithoutDataIsRefusedBeforeAnyPacket) {
  const TempDir dir;
  WriteFile(dir / "empty.hex", EndOfFile());
  const std::string trace = (dir / "trace.txt").string();
  const CliResult r = RunCliProgram(
      {"update", (dir / "empty.hex").string(), "--emulated", "--eeprom", "--trace", trace});
  EXPECT_EQ(r.exitCode, 4) << r.err;
  EXPECT_NE(r.err.find("holds no data"), std::string::npos) << r.err;
  EXPECT_EQ(r.out.find(kSuccess), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(trace));
}

TEST(CliBench, ListDeviceAndAllReachEachEmulatedDeviceAndItsOwnState) {
  const TempDir dir;
  WriteFile(dir / "fw.hex", SmallImage());
  const std::string state = (dir / "bench").string();

  const CliResult list = RunCliProgram({"list", "--emulated-devices", "3"});
  EXPECT_EQ(list.exitCode, 0) << list.err;
  EXPECT_EQ(Lines(list.out), (std::vector<std::string>{"0   emulated-0  bootloader 1.12",
                                                       "1   emulated-1  bootloader 1.12",
                                                       "2   emulated-2  bootloader 1.12"}));
  const CliResult json = RunCliProgram({"list", "--emulated-devices", "2", "--json"});
  EXPECT_EQ(json.out,
            "{\"devices\":[{\"instance\":0,\"location\":\"emulated-0\",\"answered\":true,"
            "\"busy\":false,\"version\":\"1.12\",\"major\":1,\"minor\":18},{\"instance\":1,"
            "\"location\":\"emulated-1\",\"answered\":true,\"busy\":false,\"version\":\"1.12\","
            "\"major\":1,\"minor\":18}]}\n");

  // --device by instance and by place reaches that device only: its state alone changes.
  for (const std::string selector : {"1", "emulated-2"}) {
    const CliResult one = RunCliProgram({"update", (dir / "fw.hex").string(), "--emulated-devices",
                                         "3", "--emulated-state", state, "--device", selector});
    EXPECT_EQ(one.exitCode, 0) << selector << one.err;
  }
  EXPECT_FALSE(std::filesystem::exists(dir / "bench" / "0" / "flash.bin") &&
               ReadBytes(dir / "bench" / "0" / "flash.bin")[0x800] == ProgramValue(0x800));
  for (const char* device : {"1", "2"}) {
    EXPECT_EQ(ReadBytes(dir / "bench" / device / "flash.bin")[0x80F], ProgramValue(0x80F));
  }
  const CliResult absent = RunCliProgram({"detect", "--emulated-devices", "2", "--device", "5"});
  EXPECT_EQ(absent.exitCode, 3);
  EXPECT_NE(absent.err.find("no device is attached as instance 5"), std::string::npos);

  // --all: one line per device; a device that fails makes the exit code 1, the others succeed.
  const CliResult all = RunCliProgram({"update", (dir / "fw.hex").string(), "--emulated-devices",
                                       "3", "--emulated-state", state, "--all", "--eeprom"});
  EXPECT_EQ(all.exitCode, 0) << all.err;
  const auto lines = Lines(all.out);
  ASSERT_EQ(lines.size(), 5u) << all.out;
  EXPECT_EQ(lines[0], "Updating 3 devices at once");
  for (int i = 0; i < 3; ++i) {
    EXPECT_TRUE(
        StartsWith(lines[1 + i], "emulated-" + std::to_string(i) + ": " + std::string(kSuccess)))
        << lines[1 + i];
  }
  EXPECT_EQ(lines[4], "3 of 3 updated");
  const CliResult faulty = RunCliProgram({"update", (dir / "fw.hex").string(), "--emulated-devices",
                                          "2", "--all", "--fault", "timeout@1"});
  EXPECT_EQ(faulty.exitCode, 1);
  EXPECT_NE(faulty.out.find("emulated-1: The update was not successful. Write at 0x0800: the "
                            "device did not answer in time."),
            std::string::npos)
      << faulty.out;
  EXPECT_NE(faulty.out.find("0 of 2 updated"), std::string::npos) << faulty.out;
}

TEST(CliBackup, RoundTripBringsBackWhatTheDeviceHeld) {
  const TempDir dir;
  const std::string state = (dir / "device").string();
  // What the device holds to begin with: the earlier firmware, and some EEPROM data.
  WriteFile(dir / "data.hex", DataRecords(0xF00000, 256, DataValue) + EndOfFile());
  ASSERT_EQ(RunCliProgram({"update", (dir / "data.hex").string(), "--no-flash", "--eeprom",
                           "--emulated", "--emulated-state", state})
                .exitCode,
            0);
  const auto flashBefore = ReadBytes(dir / "device" / "flash.bin");
  const auto eepromBefore = ReadBytes(dir / "device" / "eeprom.bin");

  const std::string backup = (dir / "backup.hex").string();
  const CliResult saved =
      RunCliProgram({"backup", backup, "--emulated", "--emulated-state", state});
  ASSERT_EQ(saved.exitCode, 0) << saved.err;
  const std::string text = ReadFile(backup);
  // Intel HEX with CR LF, 16-byte data records, the EEPROM at 0xF00000, an end record.
  EXPECT_TRUE(StartsWith(text, ":020000040000FA\r\n:10080000")) << text.substr(0, 40);
  EXPECT_NE(text.find("\r\n:0200000400F00A\r\n:10000000"), std::string::npos);
  EXPECT_TRUE(EndsWith(text, "\r\n:00000001FF\r\n"));
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1 + 1920 + 1 + 16 + 1);
  const CliResult info = RunCliProgram({"info", backup});
  EXPECT_NE(info.out.find("Program flash: 0x000800-0x007FFF"), std::string::npos) << info.out;
  EXPECT_NE(info.out.find("EEPROM: 0xF00000-0xF000FF"), std::string::npos) << info.out;
  EXPECT_NE(info.out.find("Checksum errors: none"), std::string::npos) << info.out;

  // Something else, backed up on the way in; then the first backup back.
  WriteFile(dir / "other.hex", DataRecords(0x800, 0x2000, ProgramValue) +
                                   DataRecords(0xF00000, 16, ProgramValue) + EndOfFile());
  const std::string second = (dir / "second.hex").string();
  ASSERT_EQ(RunCliProgram({"update", (dir / "other.hex").string(), "--eeprom", "--backup", second,
                           "--emulated", "--emulated-state", state})
                .exitCode,
            0);
  EXPECT_EQ(ReadFile(second), text) << "update --backup reads before the first erase";
  EXPECT_NE(ReadBytes(dir / "device" / "flash.bin"), flashBefore);
  const CliResult restore =
      RunCliProgram({"update", backup, "--eeprom", "--emulated", "--emulated-state", state});
  ASSERT_EQ(restore.exitCode, 0) << restore.err;
  EXPECT_EQ(ReadBytes(dir / "device" / "flash.bin"), flashBefore);
  EXPECT_EQ(ReadBytes(dir / "device" / "eeprom.bin"), eepromBefore);
}

TEST(CliBackup, AFailedBackupErasesNothing) {
  const TempDir dir;
  WriteFile(dir / "fw.hex", SmallImage());
  const std::string trace = (dir / "trace.txt").string();
  struct Case {
    std::string fault;
    int exitCode;
  };
  for (const Case& c : {Case{"timeout@3", 1}, Case{"short@500", 1}, Case{"unplug@0", 3}}) {
    const CliResult r =
        RunCliProgram({"update", (dir / "fw.hex").string(), "--backup", (dir / "b.hex").string(),
                       "--emulated", "--fault", c.fault, "--trace", trace});
    EXPECT_EQ(r.exitCode, c.exitCode) << c.fault << r.err;
    EXPECT_NE(r.err.find("Backup failed, nothing was erased: Reading "), std::string::npos)
        << r.err;
    EXPECT_FALSE(std::filesystem::exists(dir / "b.hex"));
    EXPECT_EQ(ReadFile(trace).find("03 01 "), std::string::npos) << c.fault;
    const CliResult alone =
        RunCliProgram({"backup", (dir / "b.hex").string(), "--emulated", "--fault", c.fault});
    EXPECT_EQ(alone.exitCode, c.exitCode) << c.fault << alone.err;
    EXPECT_FALSE(std::filesystem::exists(dir / "b.hex"));
  }
}

TEST(CliJson, UpdateAndDetectPrintOneObjectPerLineWithTheFailureLine) {
  const TempDir dir;
  WriteFile(dir / "fw.hex", SmallImage());
  const CliResult ok =
      RunCliProgram({"update", (dir / "fw.hex").string(), "--emulated", "--eeprom", "--json"});
  EXPECT_EQ(ok.exitCode, 0) << ok.err;
  const auto lines = Lines(ok.out);
  std::vector<std::string> stages;
  for (const std::string& line : lines) {
    ASSERT_TRUE(StartsWith(line, "{\"event\":\"") && EndsWith(line, "}")) << line;
    if (StartsWith(line, "{\"event\":\"stage\"")) {
      stages.push_back(line.substr(line.find("\"stage\":\"") + 9));
    }
  }
  ASSERT_EQ(stages.size(), 5u) << ok.out;
  EXPECT_TRUE(StartsWith(stages[0], "erase\",\"text\":\"Erasing Flash...\""));
  EXPECT_TRUE(StartsWith(stages[4], "eeprom-verify\""));
  // Each stage ends at 100 before the next begins; the outcome comes last.
  EXPECT_NE(ok.out.find("\"stage\":\"erase\",\"percent\":100.00}\n{\"event\":\"stage\""),
            std::string::npos)
      << ok.out;
  EXPECT_TRUE(StartsWith(lines.back(),
                         "{\"event\":\"outcome\",\"device\":\"emulated-0\","
                         "\"success\":true,\"exit_code\":0,"))
      << lines.back();
  // The human lines go to standard error.
  EXPECT_NE(ok.err.find("Erasing Flash...\n"), std::string::npos) << ok.err;
  EXPECT_NE(ok.err.find(kSuccess), std::string::npos) << ok.err;

  const CliResult bad = RunCliProgram(
      {"update", (dir / "fw.hex").string(), "--emulated", "--json", "--fault", "bitflip@1"});
  EXPECT_EQ(bad.exitCode, 1);
  const std::string outcome = Lines(bad.out).back();
  EXPECT_NE(outcome.find("\"success\":false,\"exit_code\":1"), std::string::npos) << outcome;
  EXPECT_NE(outcome.find("\"failure\":\"mismatch\""), std::string::npos) << outcome;
  EXPECT_NE(outcome.find("\"stage\":\"verify\",\"address\":2048"), std::string::npos) << outcome;
  const std::size_t reason = outcome.find("\"reason\":\"") + 10;
  const std::string line = outcome.substr(reason, outcome.find('"', reason) - reason);
  EXPECT_TRUE(StartsWith(line, "Verify at 0x0800: found ")) << line;
  EXPECT_NE(bad.err.find("korvane-cli: " + line), std::string::npos) << bad.err;
  EXPECT_NE(bad.out.find("\"event\":\"message\",\"device\":\"emulated-0\",\"text\":\"Error "
                         "in program data found...\""),
            std::string::npos);

  const CliResult detect = RunCliProgram({"detect", "--emulated", "--json"});
  EXPECT_EQ(detect.exitCode, 0);
  EXPECT_EQ(detect.out,
            "{\"event\":\"detect\",\"device\":\"emulated-0\",\"found\":true,\"text\":"
            "\"USB-Bootloader  1. 1 2 detected \",\"version\":\"1.12\",\"major\":1,\"minor\":"
            "18,\"exit_code\":0}\n");
  const CliResult none = RunCliProgram({"detect", "--emulated", "--json", "--fault", "unplug@0"});
  EXPECT_EQ(none.exitCode, 3);
  EXPECT_EQ(none.out,
            "{\"event\":\"detect\",\"device\":\"emulated-0\",\"found\":false,"
            "\"exit_code\":3}\n");
}

#ifndef _WIN32  // Ctrl+C is sent as SIGINT
TEST(CliRepeat, TheEmulatedLineUpdatesBoardAfterBoardUntilCtrlC) {
  const TempDir dir;
  WriteFile(dir / "fw.hex", SmallImage());
  const CliResult r = RunCliProgram(
      {"update", (dir / "fw.hex").string(), "--emulated", "--wait", "--repeat", "--reset"}, {},
      [](pid_t pid) {
        // The next emulated board comes a second after the last left: two or three boards.
        std::this_thread::sleep_for(std::chrono::milliseconds(1600));
        kill(pid, SIGINT);
      });
  EXPECT_EQ(r.exitCode, 0) << r.err;
  const auto lines = Lines(r.out);
  EXPECT_TRUE(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& line) {
                              return StartsWith(line, "#2 emulated-0: The update was successful.");
                            }) == 1)
      << r.out;
  EXPECT_NE(r.out.find("#1 emulated-0: The update was successful. (0.0 s); 1 updated, 0 failed"),
            std::string::npos)
      << r.out;
  EXPECT_TRUE(EndsWith(lines.back(), " updated, 0 failed")) << r.out;
  EXPECT_TRUE(StartsWith(lines.back(), "2 devices: ") || StartsWith(lines.back(), "3 devices: "))
      << r.out;
}
#endif

TEST(CliTrace, PacketSequenceOfASmallImage) {
  const TempDir dir;
  WriteFile(dir / "fw.hex", SmallImage());
  const std::string trace = (dir / "trace.txt").string();
  const CliResult r = RunCliProgram(
      {"update", (dir / "fw.hex").string(), "--emulated", "--eeprom", "--reset", "--trace", trace});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("Device reset sent."), std::string::npos);

  const std::vector<std::string> lines = Lines(ReadFile(trace));
  ASSERT_EQ(lines.size(), 28u);
  EXPECT_EQ(lines[0], "03 01 00 08 00 -> 03 [1]");
  EXPECT_EQ(lines[1], "02 10 00 08 00 08 0F 06 1D 14 2B 22 39 30 37 4E 45 5C 53 6A 61 -> 02 [1]");
  EXPECT_TRUE(StartsWith(lines[2], "01 38 00 08 00 -> 01 38 00 08 00 08 0F 06 1D")) << lines[2];
  EXPECT_TRUE(EndsWith(lines[2], " FF FF [1]")) << lines[2];
  EXPECT_EQ(lines[2].size(), std::string("01 38 00 08 00 -> ").size() + 61 * 3 - 1 + 4);
  // The whole EEPROM is written: the file's 16 bytes, then 0xFF.
  EXPECT_EQ(lines[3], "05 10 00 00 00 30 31 32 33 34 35 36 37 38 39 3A 3B 3C 3D 3E 3F -> 05 [1]");
  for (int i = 1; i < 16; ++i) {
    char offset[3];
    std::snprintf(offset, sizeof offset, "%02X", i * 16);
    EXPECT_EQ(lines[3 + i], "05 10 " + std::string(offset) +
                                " 00 00 FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF -> 05 [1]");
  }
  for (int i = 0; i < 8; ++i) {
    char offset[3];
    std::snprintf(offset, sizeof offset, "%02X", i * 32);
    EXPECT_TRUE(StartsWith(lines[19 + i], "04 20 " + std::string(offset) + " 00 00 -> 04 20 " +
                                              offset + (i == 0 ? " 00 00 30" : " 00 00 FF")))
        << lines[19 + i];
    EXPECT_TRUE(EndsWith(lines[19 + i], " [1]")) << lines[19 + i];
  }
  // The reset expects nothing back.
  EXPECT_EQ(lines[27], "FF 02 -> [1]");
}

TEST(CliTrace, FailedShortAndUnsentPacketsAreMarked) {
  const TempDir dir;
  WriteFile(dir / "fw.hex", SmallImage());
  const std::string trace = (dir / "trace.txt").string();

  ASSERT_EQ(RunCliProgram({"update", (dir / "fw.hex").string(), "--emulated", "--fault", "short@1",
                           "--trace", trace})
                .exitCode,
            1);
  std::vector<std::string> lines = Lines(ReadFile(trace));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1].substr(lines[1].size() - 4), " [2]") << lines[1];

  ASSERT_EQ(RunCliProgram({"update", (dir / "fw.hex").string(), "--emulated", "--fault",
                           "timeout@0", "--trace", trace})
                .exitCode,
            1);
  lines = Lines(ReadFile(trace));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "03 01 00 08 00 -> [0]");

  const CliResult detect =
      RunCliProgram({"detect", "--emulated", "--fault", "unplug@0", "--trace", trace});
  EXPECT_EQ(detect.exitCode, 3);
  EXPECT_EQ(detect.out, "");
  EXPECT_NE(detect.err.find("Unable to find an Dextrel device."), std::string::npos);
  EXPECT_EQ(ReadFile(trace), "00 02 -> not sent\n");
}

TEST(CliDetectAndReset, VersionTextAndExitCodes) {
  const CliResult found = RunCliProgram({"detect", "--emulated"});
  EXPECT_EQ(found.exitCode, 0) << found.err;
  // Version 1.12 as the search window shows it: blanks of the number text, one at the end.
  EXPECT_EQ(found.out, "USB-Bootloader  1. 1 2 detected \n");

  // A short version reply is no bootloader.
  const CliResult shortReply = RunCliProgram({"detect", "--emulated", "--fault", "short@0"});
  EXPECT_EQ(shortReply.exitCode, 3);
  EXPECT_EQ(shortReply.out, "");

  const CliResult reset = RunCliProgram({"reset", "--emulated"});
  EXPECT_EQ(reset.exitCode, 0) << reset.err;
  const CliResult resetNobody = RunCliProgram({"reset", "--emulated", "--fault", "unplug@0"});
  EXPECT_EQ(resetNobody.exitCode, 3);

  // The emulated timing model slows the device down but answers the same.
  const CliResult timed = RunCliProgram({"detect", "--emulated-timing"});
  EXPECT_EQ(timed.exitCode, 0);
  EXPECT_EQ(timed.out, found.out);
}

TEST(CliDetectAndReset, BrokenStateFileExitsWithFour) {
  const TempDir dir;
  std::filesystem::create_directories(dir / "device");
  WriteFile(dir / "device" / "flash.bin", "too short");
  const CliResult r =
      RunCliProgram({"detect", "--emulated", "--emulated-state", (dir / "device").string()});
  EXPECT_EQ(r.exitCode, 4);
  EXPECT_NE(r.err.find("flash.bin"), std::string::npos) << r.err;
  EXPECT_EQ(ReadFile(dir / "device" / "flash.bin"), "too short");
}

}  // namespace
}  // namespace korvane::cli::test
