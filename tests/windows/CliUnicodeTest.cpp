// korvane-cli.exe with file names outside the ANSI code page, and its output on a console.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <ostream>
#include <string>

#include "cli/WindowsConsole.h"
#include "platform/Files.h"
#include "tests/cli/CliRunner.h"
#include "tests/cli/HexWriter.h"

namespace korvane::cli::test {
namespace {

namespace fs = std::filesystem;

std::uint8_t Value(std::uint32_t address) {
  return static_cast<std::uint8_t>(address * 7 + 3);
}

// A folder whose name no ANSI code page holds.
class ScriptFolder {
 public:
  ScriptFolder() : folder_(scratch_.Path() / platform::PathFromUtf8("J\xC3\xB6rg Прошивка 固件")) {
    fs::create_directories(folder_);
    WriteFile(folder_ / "fw.hex", DataRecords(0x800, kCount, Value) + EndOfFile());
  }
  std::string Name(std::string_view file) const { return platform::Utf8FromPath(folder_ / file); }
  fs::path operator/(std::string_view file) const { return folder_ / file; }

  static constexpr std::uint32_t kCount = 100;  // bytes from 0x800 in fw.hex

 private:
  TempDir scratch_;
  fs::path folder_;
};

TEST(CliOnWindows, NamesInEveryScriptReachTheCommandsAndTheirMessages) {
  const ScriptFolder folder;
  const CliResult info = RunCliProgram({"info", folder.Name("fw.hex")});
  EXPECT_EQ(info.exitCode, 0) << info.err;
  EXPECT_NE(info.out.find(folder.Name("fw.hex")), std::string::npos) << info.out;

  const CliResult missing = RunCliProgram({"info", folder.Name("missing.hex")});
  EXPECT_EQ(missing.exitCode, 4);
  EXPECT_NE(missing.err.find(folder.Name("missing.hex")), std::string::npos) << missing.err;
}

TEST(CliOnWindows, OutputFilesGoToFoldersInEveryScript) {
  const ScriptFolder folder;
  const CliResult exported =
      RunCliProgram({"export", folder.Name("fw.hex"), "--flash", folder.Name("flash.bin")});
  EXPECT_EQ(exported.exitCode, 0) << exported.err;
  const auto flash = ReadBytes(folder / "flash.bin");
  EXPECT_EQ(flash.size(), 32768u);
  EXPECT_TRUE(flash.size() > 0x800 && flash[0x800] == Value(0x800));

  const CliResult update =
      RunCliProgram({"update", folder.Name("fw.hex"), "--emulated", "--emulated-state",
                     folder.Name("device"), "--trace", folder.Name("trace.txt")});
  EXPECT_EQ(update.exitCode, 0) << update.out << update.err;
  const auto memory = ReadBytes(folder / "device" / "flash.bin");
  constexpr std::uint32_t kLast = 0x800 + ScriptFolder::kCount - 1;
  EXPECT_TRUE(memory.size() == 32768u && memory[kLast] == Value(kLast)) << memory.size();
  EXPECT_NE(ReadFile(folder / "trace.txt").find(" -> "), std::string::npos);

  const CliResult backup = RunCliProgram({"backup", folder.Name("backup.hex"), "--emulated",
                                          "--emulated-state", folder.Name("device")});
  EXPECT_EQ(backup.exitCode, 0) << backup.out << backup.err;
  EXPECT_NE(backup.out.find(folder.Name("backup.hex")), std::string::npos) << backup.out;
  const CliResult reloaded =
      RunCliProgram({"export", folder.Name("backup.hex"), "--flash", folder.Name("b.bin")});
  EXPECT_EQ(reloaded.exitCode, 0) << reloaded.err;
  // The backup holds program flash from 0x800 up.
  const auto restored = ReadBytes(folder / "b.bin");
  ASSERT_EQ(restored.size(), 32768u);
  ASSERT_EQ(memory.size(), 32768u);
  EXPECT_TRUE(std::equal(restored.begin() + 0x800, restored.end(), memory.begin() + 0x800));
}

// A console shows the UTF-8 text as written, also when a character arrives in two writes; a
// file receives the bytes, with Windows line ends.
TEST(CliOnWindows, OutputIsShownOnAConsoleAndWrittenWholeToAFile) {
  // A console of the test's own (the one the test may have been started with can be a stand-in
  // that has no screen to read back).
  FreeConsole();
  ASSERT_TRUE(AllocConsole()) << GetLastError();
  const HANDLE screen =
      CreateConsoleScreenBuffer(GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, CONSOLE_TEXTMODE_BUFFER, nullptr);
  ASSERT_NE(screen, INVALID_HANDLE_VALUE) << "no console: " << GetLastError();
  ASSERT_TRUE(IsConsole(screen));
  {
    HandleOutput buffer(screen);
    std::ostream out(&buffer);
    out << "J\xC3\xB6rg Прошивка " << std::flush << "\xE5\x9B" << std::flush << "\xBA\xE4\xBB\xB6"
        << std::flush;
  }
  const std::wstring expected =
      L"J\u00F6rg \u041F\u0440\u043E\u0448\u0438\u0432\u043A\u0430 "
      L"\u56FA\u4EF6";
  std::wstring shown(expected.size(), L'\0');
  DWORD read = 0;
  ReadConsoleOutputCharacterW(screen, shown.data(), static_cast<DWORD>(shown.size()), COORD{0, 0},
                              &read);
  shown.resize(read);
  EXPECT_EQ(platform::Utf8FromWide(shown), platform::Utf8FromWide(expected));
  CloseHandle(screen);
  FreeConsole();

  const TempDir scratch;
  const fs::path file = scratch / "out.txt";
  const HANDLE handle = CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(handle, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(IsConsole(handle));
  {
    HandleOutput buffer(handle);
    std::ostream out(&buffer);
    out << "\xE5\x9B" << std::flush << "\xBA\n";
  }
  CloseHandle(handle);
  EXPECT_EQ(ReadFile(file), "\xE5\x9B\xBA\r\n");
}

}  // namespace
}  // namespace korvane::cli::test
