// korvane-cli's file commands (info, export, scramble), usage errors and unreadable files,
// run through the built program.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/cli/CliRunner.h"
#include "tests/cli/HexWriter.h"

namespace korvane::cli::test {
namespace {

std::uint8_t FlashValue(std::uint32_t address) {
  return static_cast<std::uint8_t>(address * 3 + 1);
}
std::uint8_t EepromValue(std::uint32_t address) {
  return static_cast<std::uint8_t>(address ^ 0x5A);
}

// A file that touches every region and every kind of report. Lines (1-based) of note:
// the unsupported types 3 and 5, one malformed line, one record with a wrong checksum and one
// record past the end of program flash.
struct KnownFile {
  std::string text;
  std::size_t malformedLine = 0;
  std::size_t checksumLine = 0;
  std::size_t beyondLine = 0;
};

std::size_t LineCount(const std::string& text) {
  std::size_t lines = 0;
  for (std::size_t at = text.find("\r\n"); at != std::string::npos;
       at = text.find("\r\n", at + 2)) {
    ++lines;
  }
  return lines;
}

KnownFile MakeKnownFile() {
  KnownFile file;
  std::string& t = file.text;
  t += DataRecords(0x000800, 32, FlashValue);
  t += HexRecord(3, 0, {0x00, 0x00, 0x08, 0x00});
  t += DataRecords(0xF00000, 16, EepromValue);
  t += DataRecords(0x200000, 8,
                   [](std::uint32_t a) { return static_cast<std::uint8_t>(0xA0 + (a & 7)); });
  t += DataRecords(0x300000, 14,
                   [](std::uint32_t a) { return static_cast<std::uint8_t>(0xC0 + (a & 15)); });
  t += "; a comment line\r\n";
  t += DataRecords(0x008000, 4, FlashValue);  // just past program flash
  file.beyondLine = LineCount(t);
  t += ":10080000ZZ0102030405060708090A0B0C0D0E0F00\r\n";
  file.malformedLine = LineCount(t);
  std::string bad = HexRecord(0, 0x0900, {0x11, 0x22});
  bad[bad.size() - 3] = bad[bad.size() - 3] == '0' ? '1' : '0';  // spoil the checksum
  t += bad;
  file.checksumLine = LineCount(t);
  t += HexRecord(5, 0, {0x00, 0x00, 0x08, 0x00});
  t += EndOfFile();
  return file;
}

TEST(CliInfo, TextNamesRangesReportsAndHighestAddress) {
  const TempDir dir;
  const KnownFile known = MakeKnownFile();
  WriteFile(dir / "known.hex", known.text);

  const CliResult r = RunCliProgram({"info", (dir / "known.hex").string()});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("Program flash: 0x000800-0x00081F, 0x000900-0x000901\n"), std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("EEPROM: 0xF00000-0xF0000F\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("User ID: 0x200000-0x200007\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Config: 0x300000-0x30000D\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("HighestFlashAddress: 0x0901 (2305)\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Config bytes present: yes\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Unsupported record types: 3, 5\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Malformed lines: 1 (line " + std::to_string(known.malformedLine) + ")"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("Checksum errors: 1 (line " + std::to_string(known.checksumLine) + ")"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("Bytes beyond the device's memory: 4 (line " +
                       std::to_string(known.beyondLine) + ")"),
            std::string::npos)
      << r.out;

  // The loader's reports reach standard error with the windows' texts, one per record type.
  const auto first = r.err.find("## Error in Hex-File, type: 3\n");
  const auto second = r.err.find("## Error in Hex-File, type: 5\n");
  ASSERT_NE(first, std::string::npos) << r.err;
  ASSERT_NE(second, std::string::npos) << r.err;
  EXPECT_LT(first, second);
  EXPECT_EQ(r.out.find("## Error"), std::string::npos) << "reports belong on standard error";
}

TEST(CliInfo, JsonIsOneObjectWithTheFieldsAndEscapedPath) {
  const TempDir dir;
  const KnownFile known = MakeKnownFile();
#ifdef _WIN32
  // A Windows file name cannot hold a quote; the folder separators need escaping all the same.
  const std::string path = (dir / "we'ird name.hex").string();
#else
  const std::string path = (dir / "we\"ird\\name.hex").string();
#endif
  WriteFile(path, known.text);

  const CliResult r = RunCliProgram({"info", path, "--json"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  ASSERT_FALSE(r.out.empty());
  EXPECT_EQ(r.out.front(), '{');
  EXPECT_EQ(r.out.substr(r.out.size() - 2), "}\n");
  EXPECT_EQ(r.out.find('\n'), r.out.size() - 1) << "one line, one object";

  for (const std::string field : {"\"highest_flash_address\":2305", "\"config_present\":true",
                                  "\"unsupported_record_types\":[3,5]", "\"malformed_lines\":1",
                                  "\"checksum_errors\":1", "\"bytes_outside_memory\":4",
                                  "\"flash\":[{\"first\":2048,\"last\":2079},"
                                  "{\"first\":2304,\"last\":2305}]",
                                  "\"eeprom\":[{\"first\":15728640,\"last\":15728655}]"}) {
    EXPECT_NE(r.out.find(field), std::string::npos) << field << " in " << r.out;
  }
#ifdef _WIN32
  EXPECT_NE(r.out.find("\\\\we'ird name.hex\""), std::string::npos) << r.out;
#else
  EXPECT_NE(r.out.find("we\\\"ird\\\\name.hex\""), std::string::npos) << r.out;
#endif
}

TEST(CliInfo, FileWithoutRecordsSaysSoAndStillSucceeds) {
  const TempDir dir;
  WriteFile(dir / "empty.hex", "nothing here\r\n");
  const CliResult text = RunCliProgram({"info", (dir / "empty.hex").string()});
  EXPECT_EQ(text.exitCode, 0);
  EXPECT_NE(text.out.find("No data"), std::string::npos) << text.out;
  const CliResult json = RunCliProgram({"info", (dir / "empty.hex").string(), "--json"});
  EXPECT_EQ(json.exitCode, 0);
  EXPECT_NE(json.out.find("\"no_data\":true"), std::string::npos) << json.out;
  EXPECT_NE(json.out.find("\"unsupported_record_types\":[]"), std::string::npos) << json.out;
}

TEST(CliExport, WritesTheFourImageBuffersExactly) {
  const TempDir dir;
  WriteFile(dir / "known.hex", MakeKnownFile().text);
  const CliResult r =
      RunCliProgram({"export", (dir / "known.hex").string(), "--flash", (dir / "f.bin").string(),
                     "--eeprom", (dir / "e.bin").string(), "--userid", (dir / "u.bin").string(),
                     "--config", (dir / "c.bin").string()});
  ASSERT_EQ(r.exitCode, 0) << r.err;

  const auto flash = ReadBytes(dir / "f.bin");
  ASSERT_EQ(flash.size(), 32768u);
  for (std::uint32_t a = 0; a < flash.size(); ++a) {
    const bool loaded = (a >= 0x800 && a <= 0x81F);
    const std::uint8_t expected =
        loaded ? FlashValue(a) : (a == 0x900 ? 0x11 : (a == 0x901 ? 0x22 : 0xFF));
    ASSERT_EQ(flash[a], expected) << "flash byte " << a;
  }
  const auto eeprom = ReadBytes(dir / "e.bin");
  ASSERT_EQ(eeprom.size(), 256u);
  for (std::uint32_t a = 0; a < eeprom.size(); ++a) {
    ASSERT_EQ(eeprom[a], a < 16 ? EepromValue(0xF00000 + a) : 0xFF) << "EEPROM byte " << a;
  }
  EXPECT_EQ(ReadBytes(dir / "u.bin"),
            (std::vector<std::uint8_t>{0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7}));
  const auto config = ReadBytes(dir / "c.bin");
  ASSERT_EQ(config.size(), 16u);
  for (std::uint32_t a = 0; a < 16; ++a) {
    EXPECT_EQ(config[a], a < 14 ? 0xC0 + a : 0xFF) << "CONFIG byte " << a;
  }
}

TEST(CliExport, OnlyTheNamedRegionsAreWritten) {
  const TempDir dir;
  WriteFile(dir / "known.hex", MakeKnownFile().text);
  const CliResult r =
      RunCliProgram({"export", (dir / "known.hex").string(), "--eeprom", (dir / "e.bin").string()});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(ReadBytes(dir / "e.bin").size(), 256u);
  EXPECT_FALSE(std::filesystem::exists(dir / "f.bin"));
}

TEST(CliScramble, RoundTripAndTheScrambledFileLoadsAlike) {
  const TempDir dir;
  const std::string plain = MakeKnownFile().text;
  WriteFile(dir / "fw.hex", plain);

  ASSERT_EQ(
      RunCliProgram({"scramble", (dir / "fw.hex").string(), (dir / "fw.elc").string()}).exitCode,
      0);
  const std::string scrambled = ReadFile(dir / "fw.elc");
  ASSERT_EQ(scrambled.size(), plain.size());
  EXPECT_NE(scrambled, plain);
  // The key starts with '4': the first character ':' (0x3A) becomes 0x3A ^ 0x34.
  EXPECT_EQ(static_cast<unsigned char>(scrambled[0]), 0x3A ^ 0x34);

  ASSERT_EQ(
      RunCliProgram({"scramble", (dir / "fw.elc").string(), (dir / "back.hex").string()}).exitCode,
      0);
  EXPECT_EQ(ReadFile(dir / "back.hex"), plain);

  // The .elc is read as scrambled and gives the same image as the plain file.
  const CliResult fromPlain = RunCliProgram({"info", (dir / "fw.hex").string(), "--json"});
  const CliResult fromScrambled = RunCliProgram({"info", (dir / "fw.elc").string(), "--json"});
  ASSERT_EQ(fromScrambled.exitCode, 0) << fromScrambled.err;
  const auto withoutFile = [](const std::string& json) { return json.substr(json.find(",")); };
  EXPECT_EQ(withoutFile(fromScrambled.out), withoutFile(fromPlain.out));
}

TEST(CliUsage, MistakesOnTheCommandLineExitWithTwo) {
  const TempDir dir;
  WriteFile(dir / "a.hex", DataRecords(0x800, 16, FlashValue) + EndOfFile());
  const std::string file = (dir / "a.hex").string();
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"frobnicate"},
      {"info"},
      {"info", file, "--no-such-option"},
      {"scramble", file},
      {"export", file},                          // nothing to export
      {"update", file, "--no-flash"},            // nothing to update
      {"update", file, "--fault", "timeout@1"},  // a fault needs the emulated device
      {"detect", "--emulated-state", (dir / "state").string()},
      {"detect", "--emulated", "--fault", "meltdown@1"},
      {"detect", "--emulated", "--fault", "timeout@"},
      {"detect", "--emulated", "--fault", "timeout@-1"},
      {"reset", "--emulated", "--fault", "timeout"},
      {"update", file, "--emulated", "--repeat"},  // the production loop waits for devices
      {"update", file, "--emulated", "--all", "--device", "1"},
      {"update", file, "--emulated", "--all", "--trace", (dir / "t.txt").string()},
      {"detect", "--emulated", "--wait=soon"},
      {"detect", "--emulated", "--wait=-1"},
      {"list", "--emulated-devices", "0"},
      {"backup", "--emulated"},  // no file
  };
  for (const auto& args : cases) {
    std::string shown;
    for (const auto& arg : args)
      shown += arg + " ";
    const CliResult r = RunCliProgram(args);
    EXPECT_EQ(r.exitCode, 2) << shown << "\n" << r.err;
    EXPECT_FALSE(r.err.empty()) << shown;
  }
  // The emulated state directory is not created by a command that was refused.
  EXPECT_FALSE(std::filesystem::exists(dir / "state"));
}

TEST(CliUsage, HelpListsExitCodesAndVersionPrintsTheProjectVersion) {
  const CliResult help = RunCliProgram({"--help"});
  EXPECT_EQ(help.exitCode, 0);
  for (const std::string line : {"0  success", "1  the update failed", "2  usage error",
                                 "3  no device answered", "4  a file could not be read"}) {
    EXPECT_NE(help.out.find(line), std::string::npos) << line;
  }
  const CliResult version = RunCliProgram({"--version"});
  EXPECT_EQ(version.exitCode, 0);
  EXPECT_EQ(version.out, std::string("korvane-cli ") + KORVANE_VERSION + "\n");
}

TEST(CliFiles, UnreadableOrUnwritableFilesExitWithFour) {
  const TempDir dir;
  WriteFile(dir / "a.hex", DataRecords(0x800, 16, FlashValue) + EndOfFile());
  const std::string missing = (dir / "missing.hex").string();
  const std::string noDir = (dir / "no" / "such" / "dir" / "out.bin").string();
  const std::vector<std::vector<std::string>> cases = {
      {"info", missing},
      {"info", missing, "--json"},
      {"export", missing, "--flash", (dir / "f.bin").string()},
      {"scramble", missing, (dir / "out.elc").string()},
      {"update", missing, "--emulated"},
      {"export", (dir / "a.hex").string(), "--flash", noDir},
      {"scramble", (dir / "a.hex").string(), noDir},
      {"detect", "--emulated", "--trace", noDir},
  };
  for (const auto& args : cases) {
    const CliResult r = RunCliProgram(args);
    EXPECT_EQ(r.exitCode, 4) << args[0] << " " << args[1] << "\n" << r.err;
    EXPECT_FALSE(r.err.empty()) << args[0];
  }
  // Nothing is half-written for a file that could not be loaded.
  EXPECT_FALSE(std::filesystem::exists(dir / "f.bin"));
}

}  // namespace
}  // namespace korvane::cli::test
