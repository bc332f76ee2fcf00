#include "platform/Files.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <signal.h>
#include <sys/resource.h>
#endif

namespace korvane::platform {
namespace {

namespace fs = std::filesystem;

class FilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = fs::temp_directory_path() /
              ("korvane-files-" + std::to_string(ProcessId()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(folder_);
    fs::create_directories(folder_);
  }
  void TearDown() override { fs::remove_all(folder_); }

  std::string Name(const std::string& file) const {
    return Utf8FromPath(folder_ / PathFromUtf8(file));
  }
  std::vector<std::string> Entries() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder_)) {
      names.push_back(Utf8FromPath(entry.path().filename()));
    }
    return names;
  }

  fs::path folder_;
};

TEST_F(FilesTest, AtomicWriteReplacesOnlyWhenAllowedAndLeavesNoTemporaryFile) {
  const std::string name = Name("backup \xC3\xA4.hex");  // a non-ASCII name
  WriteFileAtomically(name, std::string_view("first"), Replace::Never);
  EXPECT_EQ(ReadFile(name), "first");

  EXPECT_THROW(WriteFileAtomically(name, std::string_view("second"), Replace::Never), FileError);
  EXPECT_EQ(ReadFile(name), "first");

  WriteFileAtomically(name, std::string_view("third"), Replace::Allowed);
  EXPECT_EQ(ReadFile(name), "third");
  EXPECT_EQ(Entries(), std::vector<std::string>{"backup \xC3\xA4.hex"});
}

#ifndef _WIN32
// A file system that runs full in the middle of the write: the limit on file size makes the
// kernel refuse the write the same way (EFBIG instead of ENOSPC).
TEST_F(FilesTest, AWriteThatRunsOutOfSpaceLeavesNothingUnderAnyName) {
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  struct sigaction previous {};
  sigaction(SIGXFSZ, &ignore, &previous);
  rlimit saved{};
  getrlimit(RLIMIT_FSIZE, &saved);
  rlimit small = saved;
  small.rlim_cur = 4096;
  setrlimit(RLIMIT_FSIZE, &small);

  const std::string data(100000, 'x');
  std::string message;
  try {
    WriteFileAtomically(Name("big.hex"), data, Replace::Never);
  } catch (const FileError& e) {
    message = e.what();
  }
  setrlimit(RLIMIT_FSIZE, &saved);
  sigaction(SIGXFSZ, &previous, nullptr);

  EXPECT_NE(message.find("cannot write " + Name("big.hex")), std::string::npos) << message;
  EXPECT_TRUE(Entries().empty());
}
#endif

TEST_F(FilesTest, ALockIsHeldByOneAtATimeAndNamesItsHolder) {
  const std::string name = Name("device.lock");
  EXPECT_FALSE(FileLock::Holder(name).has_value());
  {
    std::optional<FileLock> first = FileLock::TryLock(name);
    ASSERT_TRUE(first.has_value());
    EXPECT_FALSE(FileLock::TryLock(name).has_value());
    EXPECT_EQ(FileLock::Holder(name), ProcessId());
  }
  EXPECT_FALSE(FileLock::Holder(name).has_value());
  EXPECT_TRUE(FileLock::TryLock(name).has_value());
}

TEST_F(FilesTest, AppendsFromSeveralWritersKeepWholeLines) {
  const std::string name = Name("log.jsonl");
  std::vector<std::thread> writers;
  for (int w = 0; w < 4; ++w) {
    writers.emplace_back([&name, w] {
      for (int i = 0; i < 50; ++i) {
        AppendToFile(name, std::string(200, static_cast<char>('a' + w)) + "\n");
      }
    });
  }
  for (std::thread& writer : writers) {
    writer.join();
  }
  const std::string text = ReadFile(name);
  ASSERT_EQ(text.size(), 4u * 50u * 201u);
  for (std::size_t line = 0; line < text.size(); line += 201) {
    EXPECT_EQ(text.substr(line, 200), std::string(200, text[line])) << "torn line at " << line;
  }
}

}  // namespace
}  // namespace korvane::platform
