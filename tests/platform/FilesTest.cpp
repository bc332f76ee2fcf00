#include "platform/Files.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
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
// Lets files grow to `bytes` while it lives: the kernel then refuses writes beyond that as it
// does on a full disk (EFBIG instead of ENOSPC).
class SizeLimit {
 public:
  explicit SizeLimit(rlim_t bytes) {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGXFSZ, &ignore, &previous_);
    getrlimit(RLIMIT_FSIZE, &saved_);
    rlimit small = saved_;
    small.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &small);
  }
  ~SizeLimit() {
    setrlimit(RLIMIT_FSIZE, &saved_);
    sigaction(SIGXFSZ, &previous_, nullptr);
  }

 private:
  rlimit saved_{};
  struct sigaction previous_ {};
};

TEST_F(FilesTest, AWriteThatRunsOutOfSpaceLeavesNothingUnderAnyName) {
  const std::string data(100000, 'x');
  std::string message;
  try {
    const SizeLimit limit(4096);
    WriteFileAtomically(Name("big.hex"), data, Replace::Never);
  } catch (const FileError& e) {
    message = e.what();
  }
  EXPECT_NE(message.find("cannot write " + Name("big.hex")), std::string::npos) << message;
  EXPECT_TRUE(Entries().empty());
}

// The history log only ever gains whole lines: an append cut short by a full disk is taken
// back, a reservation proves the space before a run, and a line torn by a crash is closed
// before the next one.
TEST_F(FilesTest, AnAppendThatDoesNotFitLeavesTheLogAsItWas) {
  const std::string log = Name("log.jsonl");
  const std::string before = "{\"board\":1}\n" + std::string(3000, 'a') + "\n";
  AppendToFile(log, before);
  {
    const SizeLimit limit(4096);
    EXPECT_THROW(AppendToFile(log, std::string(2000, 'b') + "\n"), FileError);
    EXPECT_TRUE(ReadFile(log) == before) << ReadFile(log).size() << " bytes";
    EXPECT_THROW(ReserveAppend(log, 4096), FileError);
    EXPECT_TRUE(ReadFile(log) == before) << ReadFile(log).size() << " bytes";
    ReserveAppend(log, 64);  // what fits is given back all the same
    EXPECT_TRUE(ReadFile(log) == before) << ReadFile(log).size() << " bytes";
  }
  // Torn by a crash: the next line starts a line of its own.
  WriteFileAtomically(log, before + "{\"torn", Replace::Allowed);
  AppendToFile(log, "{\"board\":2}\n");
  EXPECT_TRUE(ReadFile(log) == before + "{\"torn\n{\"board\":2}\n");
}

TEST_F(FilesTest, AHolderIsNamedOnlyWhileItsProcessRuns) {
  const std::string name = Name("device.lock");
  const pid_t child = fork();
  if (child == 0) {
    _exit(0);
  }
  ASSERT_GT(child, 0);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  // A lock file left by a process that has ended names nobody.
  WriteFileAtomically(name, std::to_string(child) + "\n", Replace::Allowed);
  EXPECT_FALSE(FileLock::Holder(name).has_value());
  EXPECT_FALSE(ProcessExists(static_cast<std::uint64_t>(child)));
  EXPECT_TRUE(ProcessExists(1));  // another user's process exists too
}

TEST(LockFolder, IsOneFolderEveryUserCanUse) {
  const char* set = std::getenv("KORVANE_LOCK_DIR");
  const std::string saved = set != nullptr ? set : "";
  unsetenv("KORVANE_LOCK_DIR");
  const std::string folder = LockFolder();
  const std::string notice = LockFolderNotice();
  if (!saved.empty()) {
    setenv("KORVANE_LOCK_DIR", saved.c_str(), 1);
  }
  struct stat status {};
  ASSERT_EQ(stat(folder.c_str(), &status), 0) << folder;
  EXPECT_TRUE(S_ISDIR(status.st_mode));
  if (notice.empty()) {
    EXPECT_TRUE(folder == "/run/lock/korvane" || folder == "/var/lock/korvane") << folder;
    EXPECT_EQ(status.st_mode & 07777, 01777u) << folder;
  } else {
    EXPECT_NE(notice.find(folder), std::string::npos) << notice;
  }
}
#endif

TEST_F(FilesTest, NamesOfOneFileAreOneFile) {
  const std::string file = Name("fw.hex");
  WriteFileAtomically(file, std::string_view("firmware"), Replace::Never);
  EXPECT_TRUE(SameFile(file, Utf8FromPath(folder_ / "." / "fw.hex")));
  EXPECT_FALSE(SameFile(file, Name("other.hex")));
  // Two names of a file still to be made.
  EXPECT_TRUE(SameFile(Name("new.log"), Utf8FromPath(folder_ / "." / "new.log")));
  EXPECT_FALSE(SameFile(Name("new.log"), Name("new2.log")));
#ifndef _WIN32
  fs::create_hard_link(folder_ / "fw.hex", folder_ / "hard.hex");
  fs::create_symlink(folder_ / "fw.hex", folder_ / "soft.hex");
  EXPECT_TRUE(SameFile(file, Name("hard.hex")));
  EXPECT_TRUE(SameFile(file, Name("soft.hex")));
#else
  EXPECT_TRUE(SameFile(file, Name("FW.HEX")));
  EXPECT_TRUE(SameFile(Name("new.log"), Name("NEW.LOG")));
#endif
}

TEST_F(FilesTest, ALockIsHeldByOneAtATimeAndNamesItsHolder) {
  const std::string name = Name("device.lock");
  EXPECT_FALSE(FileLock::Holder(name).has_value());
  {
    std::optional<FileLock> first = FileLock::TryLock(name);
    ASSERT_TRUE(first.has_value());
    EXPECT_FALSE(FileLock::TryLock(name).has_value());
    EXPECT_EQ(FileLock::Holder(name), ProcessId());
    // Asking for the holder takes no lock of its own.
    first.reset();
    EXPECT_EQ(FileLock::Holder(name), ProcessId());
    EXPECT_TRUE(FileLock::TryLock(name).has_value());
  }
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
