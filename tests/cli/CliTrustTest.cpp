// What korvane-cli reports is true, and the backups it makes are there when they are needed:
// backups never overwrite and never stay half written, a run refuses a file it would spoil the
// device with, waits mean what they say, two runs never share a device, and a closed pipe does
// not stop a run half way.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "station/Json.h"
#include "tests/cli/CliRunner.h"
#include "tests/cli/HexWriter.h"

namespace korvane::cli::test {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> Entries(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// A device in a state folder that holds `firmware` (flash and EEPROM) already.
void Provision(const TempDir& dir, const std::string& firmware, const std::string& state) {
  WriteFile(dir / "old.hex", firmware);
  const CliResult r = RunCliProgram({"update", (dir / "old.hex").string(), "--eeprom", "--emulated",
                                     "--emulated-state", (dir / state).string()});
  ASSERT_EQ(r.exitCode, 0) << r.err;
}

TEST(CliBackupsAreNeverLost, AnExistingNameIsRefusedBeforeAnyPacket) {
  const TempDir dir;
  Provision(dir, FirmwareHex(0x9FF, true, 1), "device");
  const std::vector<std::uint8_t> flashBefore = ReadBytes(dir / "device" / "flash.bin");
  WriteFile(dir / "fw.hex", FirmwareHex(0xFFF, true, 2));
  WriteFile(dir / "taken.hex", "yesterday's backup");
  const std::string trace = (dir / "trace.txt").string();

  const CliResult update = RunCliProgram(
      {"update", (dir / "fw.hex").string(), "--backup", (dir / "taken.hex").string(), "--emulated",
       "--emulated-state", (dir / "device").string(), "--trace", trace});
  EXPECT_EQ(update.exitCode, 4) << update.err;
  EXPECT_NE(update.err.find((dir / "taken.hex").string()), std::string::npos) << update.err;
  EXPECT_FALSE(fs::exists(trace)) << "a packet went out";
  const CliResult alone = RunCliProgram({"backup", (dir / "taken.hex").string(), "--emulated"});
  EXPECT_EQ(alone.exitCode, 4) << alone.err;
  EXPECT_NE(alone.err.find("never overwrites"), std::string::npos) << alone.err;

  EXPECT_EQ(ReadFile(dir / "taken.hex"), "yesterday's backup");
  EXPECT_EQ(ReadBytes(dir / "device" / "flash.bin"), flashBefore);
}

// Every file a command writes is compared with the files it reads and the other files it
// writes, whatever their names, before any packet: a clash names both and changes nothing.
TEST(CliNoOutputReplacesAnInput, AClashIsRefusedNamingBothFiles) {
  const TempDir dir;
  Provision(dir, FirmwareHex(0x9FF, true, 1), "device");
  const std::vector<std::uint8_t> flashBefore = ReadBytes(dir / "device" / "flash.bin");
  const std::string fw = (dir / "fw.hex").string();
  const std::string log = (dir / "line.jsonl").string();
  const std::string state = (dir / "device").string();
  const std::string flashState = (dir / "device" / "flash.bin").string();
  const std::string notes = (dir / "notes.txt").string();
  const std::string sameFw = (dir / "." / "fw.hex").string();
  WriteFile(fw, FirmwareHex(0xFFF, true, 2));
  WriteFile(log, "{\"earlier\":true}\n");
  WriteFile(dir / "next.txt", "7\n");
  WriteFile(notes, "not a trace\n");
  struct Case {
    std::vector<std::string> args;
    int exitCode;
    std::string said;
  };
  const std::vector<Case> cases = {
      {{"update", fw, "--trace", fw}, 2, "the trace file " + fw + " and the update file " + fw},
      {{"update", fw, "--backup", sameFw}, 2, "the backup " + sameFw + " and the update file"},
      {{"verify", fw, "--log", sameFw}, 2, "the log " + sameFw + " and the update file"},
      {{"update", fw, "--log", log, "--trace", log}, 2, "the log " + log + " and the trace file"},
      {{"update", fw, "--trace", flashState},
       2,
       "the trace file " + flashState + " and the emulated device's memory"},
      {{"update", fw, "--eeprom", "--serial-at", "0xF000F0", "--serial-file", log, "--log", log},
       2,
       "and the serial number file " + log},
      {{"backup", (dir / "new.hex").string(), "--log", (dir / "." / "new.hex").string()},
       2,
       "the backup " + (dir / "new.hex").string() + " and the log"},
      {{"reset", "--log", log, "--trace", log}, 2, "the trace file " + log},
      {{"detect", "--trace", notes}, 4, "the trace file " + notes + " already exists and is not"},
      {{"export", fw, "--eeprom", sameFw}, 2, "the --eeprom file " + sameFw},
      {{"scramble", fw, sameFw}, 2, "the output file " + sameFw + " and the input file " + fw},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = c.args;
    if (args[0] != "export" && args[0] != "scramble") {
      args.insert(args.end(), {"--emulated", "--emulated-state", state});
    }
    const CliResult r = RunCliProgram(args);
    EXPECT_EQ(r.exitCode, c.exitCode) << args[0] << " " << args[2] << "\n" << r.err;
    EXPECT_NE(r.err.find(c.said), std::string::npos) << c.said << "\n" << r.err;
  }
  EXPECT_EQ(ReadFile(fw), FirmwareHex(0xFFF, true, 2));
  EXPECT_EQ(ReadFile(log), "{\"earlier\":true}\n");
  EXPECT_EQ(ReadFile(dir / "next.txt"), "7\n");
  EXPECT_EQ(ReadFile(notes), "not a trace\n");
  EXPECT_FALSE(fs::exists(dir / "new.hex"));
  EXPECT_EQ(ReadBytes(dir / "device" / "flash.bin"), flashBefore);
}

#ifndef _WIN32
// The file system runs full while the backup is written (a size limit makes the kernel refuse
// the write the same way): no file, whole or partial, carries a name, and nothing is erased.
TEST(CliBackupsAreNeverLost, ABackupThatCannotBeWrittenWholeLeavesNothingAndErasesNothing) {
  const TempDir dir;
  Provision(dir, FirmwareHex(0x7FFF, true, 1), "device");
  const std::vector<std::uint8_t> flashBefore = ReadBytes(dir / "device" / "flash.bin");
  WriteFile(dir / "fw.hex", FirmwareHex(0xFFF, true, 2));
  fs::create_directory(dir / "backups");

  // 64 KiB: room for the device's 32 KiB memory file, not for the backup's 86 KiB of text.
  const CliResult r = RunProgram(
      "/bin/bash", {"-c", "ulimit -f 64; exec \"$0\" \"$@\"", KORVANE_CLI_BINARY, "update",
                    (dir / "fw.hex").string(), "--backup", (dir / "backups" / "b.hex").string(),
                    "--emulated", "--emulated-state", (dir / "device").string()});
  EXPECT_EQ(r.exitCode, 4) << r.err;
  EXPECT_NE(r.err.find("Backup failed, nothing was erased: cannot write"), std::string::npos)
      << r.err;
  EXPECT_TRUE(Entries(dir / "backups").empty());
  EXPECT_EQ(ReadBytes(dir / "device" / "flash.bin"), flashBefore);
}
#endif

TEST(CliBackupsAreNeverLost, SeveralBoardsGetNamesOfTheirOwnThatTheOutcomeNames) {
  const TempDir dir;
  WriteFile(dir / "fw.hex", FirmwareHex(0x8FF, true));
  const CliResult r =
      RunCliProgram({"update", (dir / "fw.hex").string(), "--eeprom", "--all", "--json",
                     "--emulated-devices", "2", "--backup", (dir / "before.hex").string()});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const std::vector<std::string> names = Entries(dir.Path());
  const std::regex backupName(R"(before-emulated-([01])-([12])-\d{8}T\d{6}Z\.hex)");
  int backups = 0;
  for (const std::string& name : names) {
    std::smatch match;
    if (std::regex_match(name, match, backupName)) {
      ++backups;
      EXPECT_EQ(std::stoi(match[1]) + 1, std::stoi(match[2])) << name;
      EXPECT_NE(r.out.find("\"backup\":" + station::JsonText((dir / name).string())),
                std::string::npos)
          << r.out;
      EXPECT_NE(r.err.find("Backup written to " + (dir / name).string()), std::string::npos);
    }
  }
  EXPECT_EQ(backups, 2) << r.out;
}

TEST(CliReportsAreTrue, AFileWithoutDataForAChosenMemoryOrWithDamageIsRefused) {
  const TempDir dir;
  Provision(dir, FirmwareHex(0x9FF, true, 1), "device");
  const std::vector<std::uint8_t> flashBefore = ReadBytes(dir / "device" / "flash.bin");
  const std::vector<std::uint8_t> eepromBefore = ReadBytes(dir / "device" / "eeprom.bin");
  const auto value = [](std::uint32_t a) { return static_cast<std::uint8_t>(a); };
  // The first data record (line 2) with a wrong checksum.
  std::string damaged = FirmwareHex(0xFFF, true, 2);
  char& checksum = damaged[damaged.find("\r\n", damaged.find(":10080000")) - 1];
  checksum = checksum == '0' ? '1' : '0';
  struct Case {
    std::string name;
    std::string text;
    std::vector<std::string> options;
    std::string said;
  };
  const std::vector<Case> cases = {
      {"eeprom-only.hex", DataRecords(0xF00000, 16, value) + EndOfFile(), {}, "no program data"},
      {"flash-only.hex", FirmwareHex(0xFFF, false), {"--eeprom"}, "no EEPROM data"},
      {"boot-block.hex",
       DataRecords(0x700, 16, value) + EndOfFile(),
       {"--eeprom"},
       "no program data"},
      {"boot-block-eeprom.hex",
       DataRecords(0x700, 16, value) + EndOfFile(),
       {"--no-flash", "--eeprom"},
       "no EEPROM data"},
      {"damaged.hex", damaged, {"--eeprom"}, "1 checksum error (line 2)"},
  };
  for (const Case& c : cases) {
    WriteFile(dir / c.name, c.text);
    std::vector<std::string> args{"update",           (dir / c.name).string(),   "--emulated",
                                  "--emulated-state", (dir / "device").string(), "--reset"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    for (const bool all : {false, true}) {
      std::vector<std::string> run = args;
      if (all) {
        run.push_back("--all");
      }
      const CliResult r = RunCliProgram(run);
      EXPECT_EQ(r.exitCode, 4) << c.name << r.err;
      EXPECT_NE(r.err.find(c.said), std::string::npos) << c.name << r.err;
      EXPECT_EQ(r.out.find("successful"), std::string::npos) << c.name << r.out;
    }
  }
  EXPECT_EQ(ReadBytes(dir / "device" / "flash.bin"), flashBefore);
  EXPECT_EQ(ReadBytes(dir / "device" / "eeprom.bin"), eepromBefore);

  // --force writes a damaged file as it was loaded, never one without data.
  const CliResult forced = RunCliProgram(
      {"update", (dir / "damaged.hex").string(), "--eeprom", "--force", "--emulated"});
  EXPECT_EQ(forced.exitCode, 0) << forced.err;
  const CliResult empty =
      RunCliProgram({"update", (dir / "eeprom-only.hex").string(), "--force", "--emulated"});
  EXPECT_EQ(empty.exitCode, 4) << empty.err;
}

TEST(CliReportsAreTrue, AResetThatDidNotGoOutAndAMixedBenchAreFailures) {
  const TempDir dir;
  WriteFile(dir / "fw.hex", FirmwareHex(0x80F, true));  // 1 erase, 1 write, 1 read, 16 + 8
  const CliResult reset =
      RunCliProgram({"reset", "--json", "--emulated", "--fault", "write-error@0"});
  EXPECT_EQ(reset.exitCode, 1) << reset.err;
  EXPECT_EQ(reset.out.find("Device reset sent."), std::string::npos);
  EXPECT_NE(reset.out.find("\"reset\":false"), std::string::npos) << reset.out;
  EXPECT_NE(reset.err.find("the reset was not sent"), std::string::npos) << reset.err;

  // The update succeeds, its reset (packet 27) does not go out: the command failed, and both
  // are said.
  for (const char* fault : {"write-error@27", "unplug@27"}) {
    const CliResult update = RunCliProgram({"update", (dir / "fw.hex").string(), "--eeprom",
                                            "--reset", "--json", "--emulated", "--fault", fault});
    EXPECT_EQ(update.exitCode, 1) << fault << update.err;
    const std::string outcome = Lines(update.out).back();
    for (const char* field :
         {"\"success\":false,\"exit_code\":1,\"text\":\"The update was successful.\"",
          "\"failure\":\"reset-not-sent\"", "\"updated\":true", "\"reset\":false"}) {
      EXPECT_NE(outcome.find(field), std::string::npos) << field << "\n" << outcome;
    }
    const std::size_t said = update.err.find("The update was successful.\n");
    EXPECT_NE(said, std::string::npos) << update.err;
    EXPECT_GT(update.err.find("korvane-cli: the reset was not sent: "), said) << update.err;
  }
  const CliResult nobody = RunCliProgram({"update", (dir / "fw.hex").string(), "--eeprom",
                                          "--reset", "--emulated", "--fault", "unplug@27"});
  EXPECT_NE(nobody.err.find("the reset was not sent: no device answered"), std::string::npos)
      << nobody.err;

  // One board of two fails: so does the bench. A board whose reset did not go out is updated.
  const CliResult bench = RunCliProgram({"update", (dir / "fw.hex").string(), "--eeprom", "--all",
                                         "--reset", "--emulated-devices", "3", "--fault",
                                         "1:timeout@5", "--fault", "2:unplug@27"});
  EXPECT_EQ(bench.exitCode, 1) << bench.out << bench.err;
  EXPECT_NE(bench.out.find("emulated-0: The update was successful. ("), std::string::npos)
      << bench.out;
  EXPECT_NE(bench.out.find("emulated-1: The update was not successful."), std::string::npos)
      << bench.out;
  EXPECT_NE(bench.out.find("emulated-2: The update was successful. the reset was not sent: no "
                           "device answered."),
            std::string::npos)
      << bench.out;
  EXPECT_NE(bench.out.find("\n2 of 3 updated, the reset of 1 was not sent\n"), std::string::npos)
      << bench.out;
}

#ifndef _WIN32
// The trace cannot be written whole after the board is done (a file-size limit stands for a
// full disk): the outcome and the backup's name are told all the same, with exit 4 in both.
TEST(CliReportsAreTrue, AnOutputLostAfterTheBoardStillTellsItsOutcome) {
  const TempDir dir;
  WriteFile(dir / "fw.hex", FirmwareHex(0x8FF, true));
  // 100 KiB: room for the backup (86 KiB), not for the trace of its 600 reads.
  const CliResult r = RunProgram(
      "/bin/bash", {"-c", "ulimit -f 100; exec \"$0\" \"$@\"", KORVANE_CLI_BINARY, "update",
                    (dir / "fw.hex").string(), "--eeprom", "--emulated", "--json", "--backup",
                    (dir / "before.hex").string(), "--trace", (dir / "trace.txt").string()});
  EXPECT_EQ(r.exitCode, 4) << r.err;
  EXPECT_NE(r.err.find("The update was successful."), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("Backup written to " + (dir / "before.hex").string()), std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("korvane-cli: cannot write the trace file"), std::string::npos) << r.err;
  const std::string outcome = Lines(r.out).back();
  for (const std::string& field :
       {std::string("\"success\":false,\"exit_code\":4"),
        std::string("\"failure\":\"output-failed\""), std::string("\"updated\":true"),
        "\"backup\":" + station::JsonText((dir / "before.hex").string())}) {
    EXPECT_NE(outcome.find(field), std::string::npos) << field << "\n" << outcome;
  }
}
#endif

TEST(CliWaitsMeanWhatTheySay, WaitsAreFiniteAndLastAsLongAsAsked) {
  for (const char* wait : {"--wait=inf", "--wait=nan", "--wait=-1", "--wait=1e10"}) {
    const CliResult r = RunCliProgram({"detect", wait, "--emulated"});
    EXPECT_EQ(r.exitCode, 2) << wait << r.err;
  }
  // Nothing with the bootloader's identity is attached to a machine that runs the tests.
  const auto start = std::chrono::steady_clock::now();
  const CliResult r = RunCliProgram({"detect", "--wait=0.9"});
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(r.exitCode, 3) << r.err;
  EXPECT_NE(r.err.find("no device appeared within 0.9 s"), std::string::npos) << r.err;
  EXPECT_GE(waited, std::chrono::milliseconds(900));
}

TEST(CliWaitsMeanWhatTheySay, ExpectedDevicesMustAllBeThereAndAnswer) {
  const TempDir dir;
  WriteFile(dir / "fw.hex", FirmwareHex(0x8FF, false));
  const std::string state = (dir / "bench").string();
  for (const char* command : {"update", "reset"}) {
    std::vector<std::string> args{command};
    if (args[0] == "update") {
      args.push_back((dir / "fw.hex").string());
    }
    args.insert(args.end(),
                {"--all", "--expect", "3", "--emulated-devices", "2", "--emulated-state", state});
    const CliResult fewer = RunCliProgram(args);
    EXPECT_EQ(fewer.exitCode, 3) << fewer.err;
    EXPECT_NE(fewer.err.find("only 2 of the 3 expected devices are attached"), std::string::npos)
        << fewer.err;
  }
  EXPECT_FALSE(fs::exists(dir / "bench" / "0" / "flash.bin")) << "the device was written";

  // More boards than expected answer: every one that answered is taken.
  const CliResult more = RunCliProgram(
      {"update", (dir / "fw.hex").string(), "--all", "--expect", "2", "--emulated-devices", "3"});
  EXPECT_EQ(more.exitCode, 0) << more.err;
  EXPECT_NE(more.out.find("3 of 3 updated"), std::string::npos) << more.out;

  // A wait shorter than the 2 s a fixture is given to settle takes the boards there when the
  // time is up.
  for (const char* wait : {"--wait=0", "--wait=1"}) {
    const CliResult soon = RunCliProgram(
        {"update", (dir / "fw.hex").string(), "--all", wait, "--emulated-devices", "2"});
    EXPECT_EQ(soon.exitCode, 0) << wait << soon.err;
    EXPECT_NE(soon.out.find("2 of 2 updated"), std::string::npos) << soon.out;
  }

  const CliResult reset = RunCliProgram({"reset", "--all", "--expect", "2", "--json",
                                         "--emulated-devices", "2", "--emulated-state", state});
  EXPECT_EQ(reset.exitCode, 0) << reset.err;
  EXPECT_NE(reset.err.find("emulated-1: Device reset sent."), std::string::npos) << reset.err;
  EXPECT_NE(reset.err.find("2 of 2 reset"), std::string::npos) << reset.err;
  EXPECT_NE(reset.out.find("{\"event\":\"reset\",\"device\":\"emulated-0\",\"reset\":true,"
                           "\"exit_code\":0,\"reason\":\"\"}\n"),
            std::string::npos)
      << reset.out;
}

#ifndef _WIN32
TEST(CliOneRunPerDevice, ASecondRunOnABusyDeviceIsRefusedAndListShowsItBusy) {
  const TempDir dir;
  WriteFile(dir / "fw.hex", FirmwareHex(0x7FFF, true, 3));
  const std::string state = (dir / "device").string();
  CliResult second;
  CliResult list;
  pid_t firstPid = 0;
  const CliResult first =
      RunCliProgram({"update", (dir / "fw.hex").string(), "--eeprom", "--emulated-timing",
                     "--emulated-state", state},
                    {}, [&](pid_t pid) {
                      firstPid = pid;
                      std::this_thread::sleep_for(std::chrono::milliseconds(500));
                      WriteFile(dir / "other.hex", FirmwareHex(0x7FFF, true, 4));
                      second = RunCliProgram({"update", (dir / "other.hex").string(), "--eeprom",
                                              "--emulated", "--emulated-state", state});
                      list = RunCliProgram({"list", "--emulated", "--emulated-state", state});
                    });
  EXPECT_EQ(first.exitCode, 0) << first.err;
  EXPECT_EQ(second.exitCode, 5) << second.err;
  EXPECT_NE(second.err.find("process " + std::to_string(firstPid)), std::string::npos)
      << second.err;
  EXPECT_NE(list.out.find("busy"), std::string::npos) << list.out;

  // The device holds the first run's image, whole.
  WriteFile(dir / "check.hex", FirmwareHex(0x7FFF, true, 3));
  const CliResult check = RunCliProgram(
      {"export", (dir / "check.hex").string(), "--flash", (dir / "expected.bin").string()});
  ASSERT_EQ(check.exitCode, 0) << check.err;
  const std::vector<std::uint8_t> expected = ReadBytes(dir / "expected.bin");
  const std::vector<std::uint8_t> flash = ReadBytes(dir / "device" / "flash.bin");
  ASSERT_EQ(flash.size(), expected.size());
  EXPECT_TRUE(std::equal(flash.begin() + 0x800, flash.end(), expected.begin() + 0x800));
}

// libusb cannot start (here: no file descriptor left for it): every command says so, not only
// that no device was found.
TEST(CliReportsAreTrue, AUsbLibraryThatCannotStartIsNamed) {
#ifdef __SANITIZE_ADDRESS__
  GTEST_SKIP() << "the sanitizers' own checks need the descriptors this test takes away";
#endif
  const std::vector<std::string> commands = {"list", "detect --device 1-1",
                                             "update " KORVANE_SOURCE_DIR
                                             "/examples/demo-firmware.hex --all"};
  for (const std::string& command : commands) {
    const CliResult r =
        RunProgram("/bin/bash", {"-c",
                                 // Descriptors the test runner left open are closed first.
                                 "for fd in $(seq 3 64); do eval \"exec $fd>&-\"; done; "
                                 "ulimit -n 4; exec \"$0\" " +
                                     command,
                                 KORVANE_CLI_BINARY});
    EXPECT_NE(r.exitCode, 0) << command;
    EXPECT_NE(r.err.find("libusb could not be started"), std::string::npos) << command << r.err;
  }
}

// The reader of the JSON lines goes away at once: the run still ends with the device written,
// and the exit code says the output was lost.
TEST(CliClosedPipe, AReaderThatGoesAwayDoesNotStopTheRun) {
  const TempDir dir;
  WriteFile(dir / "fw.hex", FirmwareHex(0x17FF, true, 5));
  const CliResult r = RunProgram(
      "/bin/bash", {"-c", "\"$0\" \"$@\" | true; echo \"exit ${PIPESTATUS[0]}\" >&2",
                    KORVANE_CLI_BINARY, "update", (dir / "fw.hex").string(), "--eeprom", "--json",
                    "--emulated-timing", "--emulated-state", (dir / "device").string()});
  EXPECT_NE(r.err.find("exit 4"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("standard output could not be written"), std::string::npos) << r.err;
  const std::vector<std::uint8_t> flash = ReadBytes(dir / "device" / "flash.bin");
  ASSERT_EQ(flash.size(), 0x8000u);
  for (std::uint32_t a = 0x800; a <= 0x17FF; ++a) {
    ASSERT_EQ(flash[a], static_cast<std::uint8_t>(a * 3 + 5)) << a;
  }
}
#endif

}  // namespace
}  // namespace korvane::cli::test
