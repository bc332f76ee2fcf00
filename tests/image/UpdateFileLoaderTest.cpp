// Loading update files through the host: file kinds, scrambling, the order of what the window
// sees, messages, and files that cannot be read.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <memory>

#include "HexFixtures.h"
#include "image/UpdateFileLoader.h"

namespace korvane::image {
namespace {

using testing::Data;
using testing::kEof;
using testing::Linear;
using testing::Lines;
using testing::Record;
using testing::RecordingHost;
using testing::TempFolder;
using Kind = RecordingHost::Kind;

class UpdateFileLoaderTest : public ::testing::Test {
 protected:
  UpdateFileLoaderTest() { host.watched = &loader; }

  std::unique_ptr<MemoryImage> image = std::make_unique<MemoryImage>();
  RecordingHost host;
  UpdateFileLoader loader{*image, host};
  TempFolder folder;
};

const std::string kSimple =
    Lines({Data(0x800, {0x12, 0x34}), Linear(0x00F0), Data(0, {0x56}), kEof});

// --- file kinds and the shown path --------------------------------------------------------

TEST_F(UpdateFileLoaderTest, PlainFileLoadsAndHandsBackItsShortenedPath) {
  const std::string path = folder.Write("device.hex", kSimple);
  const LoadResult result = loader.LoadUpdateFile(path);
  EXPECT_TRUE(result.loaded);
  EXPECT_TRUE(result.error.empty());
  EXPECT_EQ(image->FlashImage[0x801], 0x34);
  EXPECT_EQ(image->EepromImage[0], 0x56);
  // A plain file is not decoded.
  EXPECT_TRUE(host.calls.empty());
  EXPECT_EQ(result.shownPath, ShortenPath(path, 40));
}

TEST_F(UpdateFileLoaderTest, ExtensionTestIgnoresCaseAndEverythingElseIsScrambled) {
  for (const std::string name : {"a.HEX", "b.Hex"}) {
    ASSERT_TRUE(loader.LoadUpdateFile(folder.Write(name, kSimple)).loaded);
    EXPECT_EQ(image->FlashImage[0x800], 0x12) << name;
  }
  for (const std::string name : {"c.elc", "d.ihx", "e.hex2", "noextension"}) {
    host.calls.clear();
    // The bytes handed back are the file's, as read: what a hash of the loaded file is taken of.
    std::string read;
    ASSERT_TRUE(loader.LoadUpdateFile(folder.Write(name, Scramble(kSimple)), &read).loaded);
    EXPECT_EQ(read, Scramble(kSimple)) << name;
    EXPECT_EQ(image->FlashImage[0x800], 0x12) << name;
    EXPECT_EQ(host.Kinds(), std::vector<Kind>{Kind::Decoding}) << name;
  }
}

TEST_F(UpdateFileLoaderTest, PlainTextUnderAnotherNameIsDecodedAndHoldsNoData) {
  const std::string path = folder.Write("plain.elc", kSimple);
  const LoadResult result = loader.LoadUpdateFile(path);
  EXPECT_TRUE(result.loaded);
  EXPECT_TRUE(result.report.NoData());
  EXPECT_EQ(image->FlashImage[0x800], kBlank);
  EXPECT_EQ(host.Messages(), std::vector<std::string>{"The file holds no data for this device."});
  EXPECT_EQ(result.shownPath, ShortenPath(path, 40));
}

// --- scrambled files ----------------------------------------------------------------------

TEST_F(UpdateFileLoaderTest, TheHostHearsOfTheDecodingBeforeItStarts) {
  const std::string first = folder.Write("first.elc", Scramble("first text"));
  ASSERT_TRUE(loader.DecodeScrambledFile(first));
  ASSERT_EQ(host.Kinds(), (std::vector<Kind>{Kind::Decoding}));
  EXPECT_EQ(host.calls[0].decodedTextThen, "");  // first decode: nothing decoded yet

  host.calls.clear();
  ASSERT_TRUE(loader.DecodeScrambledFile(folder.Write("second.elc", Scramble("second"))));
  ASSERT_EQ(host.Kinds(), (std::vector<Kind>{Kind::Decoding}));
  EXPECT_EQ(host.calls[0].decodedTextThen, "first text");  // still the previous file's
  EXPECT_EQ(loader.DecodedText(), "second");
}

TEST_F(UpdateFileLoaderTest, KeyCyclesEveryTwelveBytesAndRestartsForEachFile) {
  // Thirteen zero bytes decode to the key and then its first character again.
  const std::string zeros(25, '\0');
  ASSERT_TRUE(loader.DecodeScrambledFile(folder.Write("zeros.elc", zeros)));
  EXPECT_EQ(loader.DecodedText(),
            "451907736218451907736218"
            "4");
  ASSERT_TRUE(loader.DecodeScrambledFile(folder.Write("three.elc", std::string(3, '\0'))));
  EXPECT_EQ(loader.DecodedText(), "451");
  EXPECT_EQ(Scramble(Scramble(kSimple)), kSimple);
  EXPECT_EQ(Scramble("000000000000"
                     "0"),
            std::string("\x04\x05\x01\x09\x00\x07\x07\x03\x06\x02\x01\x08\x04", 13));
}

TEST_F(UpdateFileLoaderTest, ScrambledFilesKeepTheirLastByte) {
  ASSERT_TRUE(loader.DecodeScrambledFile(folder.Write("one.elc", Scramble("X"))));
  EXPECT_EQ(loader.DecodedText(), "X");
  // A last record without a line end loads in full, checksum included.
  const std::string text = Data(0x800, {0xAB});
  const LoadResult result = loader.LoadUpdateFile(folder.Write("tail.elc", Scramble(text)));
  EXPECT_EQ(loader.DecodedText(), text);
  EXPECT_EQ(image->FlashImage[0x800], 0xAB);
  EXPECT_TRUE(result.report.checksumErrorLines.empty());
  EXPECT_FALSE(result.report.HasProblems());
}

TEST_F(UpdateFileLoaderTest, EmptyScrambledFileGivesEmptyTextAndNoData) {
  const LoadResult result = loader.LoadUpdateFile(folder.Write("empty.elc", ""));
  EXPECT_TRUE(result.loaded);
  EXPECT_EQ(loader.DecodedText(), "");
  EXPECT_TRUE(result.report.NoData());
  EXPECT_EQ(host.Kinds(), (std::vector<Kind>{Kind::Decoding, Kind::Message}));
}

// --- messages -----------------------------------------------------------------------------

TEST_F(UpdateFileLoaderTest, TypeBoxesComeFirstThenOneSummary) {
  const std::string text =
      Lines({Record(5, 0, {0, 0, 0, 0}), ":01", Data(0x800, {1}), Record(3, 0, {0, 0, 0, 0}),
             Record(0x0A, 0, {}), ":0108100022C7", Linear(0x0001), Data(0, {1}), kEof});
  const LoadResult result = loader.LoadUpdateFile(folder.Write("problems.hex", text));
  ASSERT_TRUE(result.loaded);
  EXPECT_EQ(host.Kinds(),
            (std::vector<Kind>{Kind::Message, Kind::Message, Kind::Message, Kind::Message}));
  const auto messages = host.Messages();
  EXPECT_EQ(messages[0], "## Error in Hex-File, type: 5");
  EXPECT_EQ(messages[1], "## Error in Hex-File, type: 3");
  EXPECT_EQ(messages[2], "## Error in Hex-File, type: 10");
  EXPECT_EQ(messages[3],
            "1 line is not a valid record and was skipped (line 2).\n"
            "1 record has a wrong checksum; it was loaded as it stands (line 6).\n"
            "1 byte lies beyond the memory of this device and was skipped (line 8).");
  EXPECT_EQ(messages[3], result.report.Summary());
  EXPECT_EQ(image->FlashImage[0x810], 0x22);
}

// --- files that cannot be read ------------------------------------------------------------

class UnreadableFileTest : public UpdateFileLoaderTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(loader.LoadUpdateFile(folder.Write("good.hex", kSimple)).loaded);
    host.calls.clear();
  }
  // Loads a file that cannot be read and checks that nothing but one message happened.
  void ExpectRefused(const std::string& path, const std::string& reason) {
    const LoadResult result = loader.LoadUpdateFile(path);
    EXPECT_FALSE(result.loaded);
    const std::string message = "The file \"" + path + "\" cannot be loaded: " + reason + ".";
    EXPECT_EQ(result.error, message);
    EXPECT_EQ(host.Messages(), std::vector<std::string>{message});
    EXPECT_EQ(host.Kinds(), std::vector<Kind>{Kind::Message});
    EXPECT_TRUE(result.shownPath.empty());
    EXPECT_EQ(image->FlashImage[0x800], 0x12);  // image untouched
    EXPECT_EQ(image->EepromImage[0], 0x56);
    host.calls.clear();
  }
};

TEST_F(UnreadableFileTest, MissingFileOrFolder) {
  ExpectRefused(folder.PathOf("missing.hex"), "the file does not exist");
  ExpectRefused(folder.PathOf("missing.elc"), "the file does not exist");
  std::filesystem::create_directory(folder.PathOf("folder.hex"));
  ExpectRefused(folder.PathOf("folder.hex"), "it is a folder, not a file");
  ExpectRefused(folder.PathOf("folder.hex") + "/", "it is a folder, not a file");
  EXPECT_TRUE(loader.DecodedText().empty());
}

TEST_F(UnreadableFileTest, NoPermission) {
#ifdef _WIN32
  GTEST_SKIP() << "access on Windows is a matter of ACLs, not of permission bits";
#else
  if (::geteuid() == 0)
    GTEST_SKIP() << "root reads every file";
#endif
  const std::string path = folder.Write("locked.elc", Scramble(kSimple));
  std::filesystem::permissions(path, std::filesystem::perms::none);
  ExpectRefused(path, "permission denied");
}

TEST_F(UnreadableFileTest, OversizedFile) {
  const std::string path = folder.Write("huge.hex", "");
  std::filesystem::resize_file(path, kMaxUpdateFileSize + 1);
  ExpectRefused(path, "the file is larger than 64 MiB");
  std::filesystem::resize_file(path, kMaxUpdateFileSize);  // exactly the limit is read
  const LoadResult result = loader.LoadUpdateFile(path);
  EXPECT_TRUE(result.loaded);
  EXPECT_TRUE(result.report.NoData());
}

TEST_F(UnreadableFileTest, DeviceFilesAreNotRead) {
  if (!std::filesystem::exists("/dev/zero"))
    GTEST_SKIP();
  ExpectRefused("/dev/zero", "it is not a regular file");
}

TEST_F(UnreadableFileTest, ReadErrorAfterOpening) {
  // A regular file that opens but fails at its first read (address 0 is never mapped).
  if (!std::filesystem::exists("/proc/self/mem"))
    GTEST_SKIP();
  ExpectRefused("/proc/self/mem", "it could not be read");
}

// --- HighestFlashAddress over several loads -----------------------------------------------

TEST_F(UpdateFileLoaderTest, HighestFlashAddressKeepsItsMaximumAcrossLoads) {
  ASSERT_TRUE(
      loader.LoadUpdateFile(folder.Write("high.hex", Lines({Data(0x7FF0, {1}), kEof}))).loaded);
  EXPECT_EQ(image->HighestFlashAddress, 0x7FF0);
  ASSERT_TRUE(
      loader.LoadUpdateFile(folder.Write("low.elc", Scramble(Lines({Data(0x3FFF, {2}), kEof}))))
          .loaded);
  EXPECT_EQ(image->HighestFlashAddress, 0x7FF0);
  EXPECT_EQ(image->FlashImage[0x7FF0], kBlank);
  EXPECT_EQ(image->FlashImage[0x3FFF], 2);
  ASSERT_TRUE(loader.LoadUpdateFile(folder.Write("eeprom.hex", Lines({Linear(0xF0), Data(0, {3})})))
                  .loaded);
  EXPECT_EQ(image->HighestFlashAddress, 0x7FF0);
  // A fresh image starts from 0, whatever other images hold.
  auto fresh = std::make_unique<MemoryImage>();
  UpdateFileLoader other(*fresh, host);
  ASSERT_TRUE(other.LoadUpdateFile(folder.Write("zero.hex", Lines({Data(0, {4})}))).loaded);
  EXPECT_EQ(fresh->HighestFlashAddress, 0);
}

}  // namespace
}  // namespace korvane::image
