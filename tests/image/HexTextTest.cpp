// Interpreting HEX text: record types, address bases, windows, line splitting and the problems a
// load reports.

#include <gtest/gtest.h>

#include <algorithm>
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
using testing::Segment;

class HexTextTest : public ::testing::Test {
 protected:
  LoadReport Load(std::string_view text) {
    unsupported.clear();
    return LoadHexText(*image, text, [this](int type) { unsupported.push_back(type); });
  }
  bool FlashBlankExcept(std::size_t first, std::size_t last) const {
    for (std::size_t i = 0; i < kFlashSize; ++i)
      if ((i < first || i > last) && image->FlashImage[i] != kBlank)
        return false;
    return true;
  }

  std::unique_ptr<MemoryImage> image = std::make_unique<MemoryImage>();
  std::vector<int> unsupported;
};

// --- record types -------------------------------------------------------------------------

TEST_F(HexTextTest, DataRecordStoresItsBytesFromItsOffset) {
  const LoadReport report = Load(Lines({Data(0x0800, {0x12, 0xEF, 0x04, 0xF0}), kEof}));
  EXPECT_EQ(image->FlashImage[0x800], 0x12);
  EXPECT_EQ(image->FlashImage[0x801], 0xEF);
  EXPECT_EQ(image->FlashImage[0x803], 0xF0);
  EXPECT_TRUE(FlashBlankExcept(0x800, 0x803));
  EXPECT_EQ(image->HighestFlashAddress, 0x803);
  EXPECT_EQ(report.bytesStored, 4u);
  EXPECT_EQ(report.records, 2u);
  EXPECT_FALSE(report.HasProblems());
  EXPECT_EQ(report.Summary(), "");
}

TEST_F(HexTextTest, HexDigitsMayBeLowerCase) {
  Load(":02080000abcd7e\r\n");
  EXPECT_EQ(image->FlashImage[0x800], 0xAB);
  EXPECT_EQ(image->FlashImage[0x801], 0xCD);
  // Every field, not only the data: extension value, offset, checksum and record type.
  const LoadReport report = Load(":0200000400f00a\r\n:01000a00ef06\r\n:0000000af6\r\n");
  EXPECT_EQ(image->EepromImage[0x0A], 0xEF);
  EXPECT_EQ(unsupported, std::vector<int>{10});
  EXPECT_FALSE(report.HasProblems()) << report.Summary();
}

TEST_F(HexTextTest, ZeroLengthDataRecordChangesNothing) {
  const LoadReport report = Load(Lines({Data(0x0900, {}), kEof}));
  EXPECT_TRUE(FlashBlankExcept(1, 0));
  EXPECT_EQ(report.bytesStored, 0u);
  EXPECT_TRUE(report.NoData());
}

TEST_F(HexTextTest, UnsupportedTypesAreReportedOneByOneAndLoadingGoesOn) {
  const LoadReport report =
      Load(Lines({Record(5, 0, {0, 0, 0x08, 0}), Data(0x800, {0x01}), Record(3, 0, {0, 0, 0, 0}),
                  Record(0x0A, 0, {}), Record(5, 0, {0, 0, 0, 0}), Data(0x801, {0x02}), kEof}));
  EXPECT_EQ(unsupported, (std::vector<int>{5, 3, 10, 5}));
  EXPECT_EQ(report.unsupportedRecordTypes, unsupported);
  EXPECT_EQ(image->FlashImage[0x800], 0x01);
  EXPECT_EQ(image->FlashImage[0x801], 0x02);
  // Already shown one by one: not repeated in the summary.
  EXPECT_FALSE(report.HasProblems());
}

TEST_F(HexTextTest, RecordsAfterEndOfFileAreStillLoaded) {
  const LoadReport report = Load(Lines({Data(0x800, {0xAA}), kEof, Data(0x810, {0xBB}), kEof,
                                        Linear(0x00F0), Data(0x0000, {0xCC})}));
  EXPECT_EQ(image->FlashImage[0x800], 0xAA);
  EXPECT_EQ(image->FlashImage[0x810], 0xBB);
  EXPECT_EQ(image->EepromImage[0], 0xCC);
  EXPECT_EQ(report.records, 6u);
}

// --- address bases ------------------------------------------------------------------------

TEST_F(HexTextTest, LinearBaseSelectsTheWindows) {
  std::vector<std::uint8_t> sixteen(16), fourteen(14), eight(8);
  for (std::size_t i = 0; i < 16; ++i)
    sixteen[i] = static_cast<std::uint8_t>(0x40 + i);
  for (std::size_t i = 0; i < 14; ++i)
    fourteen[i] = static_cast<std::uint8_t>(0x60 + i);
  for (std::size_t i = 0; i < 8; ++i)
    eight[i] = static_cast<std::uint8_t>(0x80 + i);
  const LoadReport report = Load(Lines({Linear(0x00F0), Data(0, sixteen), Linear(0x0030),
                                        Data(0, fourteen), Linear(0x0020), Data(0, eight), kEof}));
  for (std::size_t i = 0; i < 16; ++i)
    EXPECT_EQ(image->EepromImage[i], 0x40 + i);
  EXPECT_EQ(image->EepromImage[16], kBlank);
  for (std::size_t i = 0; i < 14; ++i)
    EXPECT_EQ(image->ConfigImage[i], 0x60 + i);
  EXPECT_EQ(image->ConfigImage[14], kBlank);
  EXPECT_TRUE(image->ConfigPresent);
  for (std::size_t i = 0; i < 8; ++i)
    EXPECT_EQ(image->UserIdImage[i], 0x80 + i);
  EXPECT_TRUE(FlashBlankExcept(1, 0));
  EXPECT_EQ(report.eepromRanges, (std::vector<AddressRange>{{0xF00000, 0xF0000F}}));
  EXPECT_EQ(report.configRanges, (std::vector<AddressRange>{{0x300000, 0x30000D}}));
  EXPECT_EQ(report.userIdRanges, (std::vector<AddressRange>{{0x200000, 0x200007}}));
  EXPECT_TRUE(report.flashRanges.empty());
}

TEST_F(HexTextTest, SegmentBaseCountsInParagraphs) {
  Load(Lines({Segment(0x0080), Data(0, {0x5A}), kEof}));
  EXPECT_EQ(image->FlashImage[0x800], 0x5A);
  EXPECT_TRUE(FlashBlankExcept(0x800, 0x800));
}

TEST_F(HexTextTest, BothBasesAreSummedAndKeptUntilTheirOwnKindChanges) {
  // 0x0080 * 16 + 0x0001 * 65536 + 0x0010 = 0x10810: past the flash buffer.
  // 0x00F0 * 65536 + 0x0080 * 16 + 0x0005 = 0xF00805: past the EEPROM window.
  // Then the linear base goes back to 0 while the segment base stays: 0x800 + 0x20.
  const LoadReport report =
      Load(Lines({Segment(0x0080), Linear(0x0001), Data(0x0010, {0x01}), Linear(0x00F0),
                  Data(0x0005, {0x02}), Linear(0x0000), Data(0x0020, {0x03}), kEof}));
  EXPECT_EQ(report.bytesOutsideMemory, 1u);  // only the flash-window byte
  EXPECT_EQ(report.outsideMemoryLines, (std::vector<std::size_t>{3}));
  EXPECT_EQ(image->FlashImage[0x820], 0x03);
  EXPECT_TRUE(FlashBlankExcept(0x820, 0x820));
  EXPECT_EQ(report.bytesStored, 1u);
}

TEST_F(HexTextTest, RecordsRunOnAcross64KiBPageBoundaries) {
  // From 0xEFFFFE: two bytes at the end of page 0xEF, two at the start of page 0xF0.
  Load(Lines({Linear(0x00EF), Data(0xFFFE, {0x01, 0x02, 0x03, 0x04}), kEof}));
  EXPECT_EQ(image->EepromImage[0], 0x03);
  EXPECT_EQ(image->EepromImage[1], 0x04);
}

TEST_F(HexTextTest, HighLinearBasesGoPastEveryWindowWithoutWrapping) {
  // 0xFFFF * 65536 + 0x1000 * 16 + 0x0800 is 0x1_0000_0800: a 32-bit sum would wrap to 0x800.
  const LoadReport report =
      Load(Lines({Linear(0x8000), Data(0x0800, {0x01}), Segment(0x1000), Linear(0xFFFF),
                  Data(0x0800, {0x02, 0x03}), Segment(0xFFFF), Data(0xFFFF, {0x04}), kEof}));
  EXPECT_TRUE(FlashBlankExcept(1, 0));
  EXPECT_EQ(report.bytesStored, 0u);
  EXPECT_EQ(report.bytesOutsideMemory, 0u);
  EXPECT_EQ(image->HighestFlashAddress, 0);
}

// --- windows and their limits -------------------------------------------------------------

TEST_F(HexTextTest, BytesPastTheFlashAndEepromBuffersAreSkippedAndReported) {
  std::vector<std::uint8_t> four{1, 2, 3, 4};
  const LoadReport report =
      Load(Lines({Data(0x7FFE, four), Linear(0x0001), Data(0xFFFF, {9}), Linear(0x00F0),
                  Data(0x00FE, four), Data(0x03FF, {9}), kEof}));
  EXPECT_EQ(image->FlashImage[0x7FFE], 1);
  EXPECT_EQ(image->FlashImage[0x7FFF], 2);
  EXPECT_EQ(image->EepromImage[0xFE], 1);
  EXPECT_EQ(image->EepromImage[0xFF], 2);
  EXPECT_EQ(image->HighestFlashAddress, 0x7FFF);
  EXPECT_EQ(report.bytesOutsideMemory, 2u + 1u + 2u + 1u);
  EXPECT_EQ(report.outsideMemoryLines, (std::vector<std::size_t>{1, 3, 5, 6}));
  EXPECT_TRUE(report.HasProblems());
  EXPECT_EQ(report.Summary(),
            "6 bytes lie beyond the memory of this device and were skipped (lines 1, 3, 5, 6).");
}

TEST_F(HexTextTest, BytesInNoWindowAreSkippedSilently) {
  const LoadReport report = Load(
      Lines({Linear(0x0020), Data(0x0006, {1, 2, 3}), Linear(0x0030), Data(0x000C, {4, 5, 6, 7}),
             Linear(0x0040), Data(0, {8}), Linear(0x0100), Data(0, {9}), kEof}));
  EXPECT_EQ(image->UserIdImage[6], 1);
  EXPECT_EQ(image->UserIdImage[7], 2);
  EXPECT_EQ(image->ConfigImage[12], 4);
  EXPECT_EQ(image->ConfigImage[13], 5);
  EXPECT_EQ(image->ConfigImage[14], kBlank);
  EXPECT_EQ(image->ConfigImage[15], kBlank);
  EXPECT_EQ(report.bytesStored, 4u);
  EXPECT_EQ(report.bytesOutsideMemory, 0u);
  EXPECT_FALSE(report.HasProblems());
}

// A record whose first and last bytes lie in no window can still cover a whole window.
TEST_F(HexTextTest, RecordsReachingIntoOrAcrossASmallWindowStoreItsBytes) {
  std::vector<std::uint8_t> eight(8), twentyFour(24);
  for (std::size_t i = 0; i < twentyFour.size(); ++i)
    twentyFour[i] = static_cast<std::uint8_t>(0x40 + i);
  for (std::size_t i = 0; i < eight.size(); ++i)
    eight[i] = static_cast<std::uint8_t>(0x10 + i);
  const LoadReport report = Load(
      Lines({Linear(0x001F), Data(0xFFFC, eight), Linear(0x002F), Data(0xFFF8, twentyFour), kEof}));
  EXPECT_EQ(image->UserIdImage[0], 0x14);
  EXPECT_EQ(image->UserIdImage[3], 0x17);
  EXPECT_EQ(image->UserIdImage[4], kBlank);
  for (std::size_t i = 0; i < 14; ++i)
    EXPECT_EQ(image->ConfigImage[i], 0x48 + i) << i;
  EXPECT_EQ(image->ConfigImage[14], kBlank);
  EXPECT_TRUE(image->ConfigPresent);
  EXPECT_EQ(report.bytesStored, 4u + 14u);
  EXPECT_EQ(report.bytesOutsideMemory, 0u);
  EXPECT_EQ(report.configRanges, (std::vector<AddressRange>{{0x300000, 0x30000D}}));
}

TEST_F(HexTextTest, FilledRangesAreMergedPerRegionInAscendingOrder) {
  const LoadReport report =
      Load(Lines({Data(0x0810, {1, 2}), Data(0x0800, {1, 2, 3, 4}), Data(0x0804, {5}),
                  Data(0x0806, {6}), Linear(0x0030), Data(0x0001, {7}), kEof}));
  EXPECT_EQ(report.flashRanges,
            (std::vector<AddressRange>{{0x800, 0x804}, {0x806, 0x806}, {0x810, 0x811}}));
  EXPECT_EQ(report.configRanges, (std::vector<AddressRange>{{0x300001, 0x300001}}));
}

TEST_F(HexTextTest, EachLoadStartsFromAClearedImage) {
  Load(Lines({Data(0x900, {1}), Linear(0x30), Data(0, {2}), kEof}));
  ASSERT_TRUE(image->ConfigPresent);
  Load(Lines({Data(0x800, {3}), kEof}));
  EXPECT_EQ(image->FlashImage[0x900], kBlank);
  EXPECT_EQ(image->ConfigImage[0], kBlank);
  EXPECT_FALSE(image->ConfigPresent);
  EXPECT_EQ(image->HighestFlashAddress, 0x900);  // kept across loads
}

// --- line splitting and dropped lines -----------------------------------------------------

TEST_F(HexTextTest, LinesSplitAtCrLfLoneLfAndLoneCr) {
  for (const std::string_view end : {"\r\n", "\n", "\r"}) {
    const LoadReport report =
        Load(Lines({Data(0x800, {1}), Data(0x801, {2}), Data(0x802, {3}), kEof}, end));
    EXPECT_EQ(report.bytesStored, 3u);
    EXPECT_EQ(image->FlashImage[0x802], 3);
    EXPECT_FALSE(report.HasProblems());
  }
  // Mixed line ends in one text; LF CR is two breaks, so an empty line lies between.
  const LoadReport mixed = Load(Data(0x800, {1}) + "\n\r" + Data(0x801, {2}) + "\r" +
                                Data(0x802, {3}) + "\r\n" + Data(0x803, {4}));
  EXPECT_EQ(mixed.bytesStored, 4u);
  EXPECT_EQ(mixed.records, 4u);
}

TEST_F(HexTextTest, NonRecordLinesAreDroppedSilentlyButCounted) {
  const std::string text = "; comment\r\n\r\n" + Data(0x800, {1}) + "\r\n  " + Data(0x801, {2}) +
                           "\r\nsome text\r\n" + Data(0x802, {0x33, 0x44}) + "\r\n" +
                           Data(0x804, {5}) + "\r\n" + kEof;
  const std::string withNul = text.substr(0, text.size() - kEof.size()) + ":01080500" +
                              std::string(1, '\0') + "06F1\r\n" + kEof;
  const LoadReport report = Load(withNul);
  EXPECT_EQ(image->FlashImage[0x800], 1);
  EXPECT_EQ(image->FlashImage[0x801], kBlank);  // leading blanks: not a record
  EXPECT_EQ(image->FlashImage[0x802], 0x33);
  EXPECT_EQ(image->FlashImage[0x804], 5);
  EXPECT_EQ(image->FlashImage[0x805], kBlank);  // NUL in the line: dropped
  EXPECT_TRUE(report.malformedLines.empty());
  EXPECT_FALSE(report.HasProblems());
  // Line numbers count blank and dropped lines: the EOF record is line 9.
  const LoadReport numbered = Load(withNul.substr(0, withNul.size() - kEof.size()) + ":00");
  EXPECT_EQ(numbered.malformedLines, (std::vector<std::size_t>{9}));
}

TEST_F(HexTextTest, EmptyTextOrTextWithoutRecordsStoresNothingAndSaysSo) {
  for (const std::string_view text : {std::string_view(""), std::string_view("hello\r\nworld\n")}) {
    const LoadReport report = Load(text);
    EXPECT_TRUE(FlashBlankExcept(1, 0));
    EXPECT_TRUE(report.NoData());
    EXPECT_TRUE(report.HasProblems());
    EXPECT_EQ(report.Summary(), "The file holds no data for this device.");
  }
}

// --- malformed lines and checksums --------------------------------------------------------

TEST_F(HexTextTest, MalformedLinesAreSkippedWholeAndReported) {
  const LoadReport report = Load(Lines({
      Data(0x800, {1}),
      ":0108",            // 2: shorter than the header
      ":02081000AB",      // 3: shorter than its byte count
      ":02081000ABXY00",  // 4: no hex digits in a data byte
      ":0G08200001D6",    // 5: no hex digit in the byte count
      ":010830G001D6",    // 6: no hex digit in the record type
      ":020000040",       // 7: address-extension value cut short
      ":0200000400Z0FA",  // 8: address-extension value not hex
      Data(0x801, {2}),
      ":10000001FF",      // 10: shorter than its byte count, also for end of file
      ":04000005000008",  // 11: and for a type that only gets a message box
      ":01000001ZZFE",    // 12: data bytes that are not read may be anything
  }));
  EXPECT_EQ(report.malformedLines, (std::vector<std::size_t>{2, 3, 4, 5, 6, 7, 8, 10, 11}));
  EXPECT_TRUE(unsupported.empty());
  EXPECT_EQ(report.checksumErrorLines, (std::vector<std::size_t>{12}));
  EXPECT_EQ(report.records, 3u);
  EXPECT_EQ(image->FlashImage[0x800], 1);
  EXPECT_EQ(image->FlashImage[0x801], 2);
  EXPECT_EQ(image->FlashImage[0x810], kBlank);  // nothing of line 4 stored, not even AB
  EXPECT_TRUE(FlashBlankExcept(0x800, 0x801));
  EXPECT_EQ(report.Summary(),
            "9 lines are not valid records and were skipped (lines 2, 3, 4, 5, 6 and 4 more).\n"
            "1 record has a wrong checksum; it was loaded as it stands (line 12).");
}

TEST_F(HexTextTest, LongListsOfBadLinesKeepExactCountsButOnlyTheFirstLineNumbers) {
  // Per line: one malformed line, one record with a wrong checksum, one record beyond memory.
  constexpr std::size_t kGroups = 1500;
  std::string text;
  for (std::size_t i = 0; i < kGroups; ++i) {
    text += ":0108\r\n:0108000011E0\r\n";
    text += Linear(0x0001) + "\r\n" + Data(0x0000, {0x01, 0x02}) + "\r\n" + Linear(0) + "\r\n";
  }
  const LoadReport report = Load(text);
  EXPECT_EQ(report.malformedCount, kGroups);
  EXPECT_EQ(report.checksumErrorCount, kGroups);
  EXPECT_EQ(report.outsideMemoryLineCount, kGroups);
  EXPECT_EQ(report.bytesOutsideMemory, 2 * kGroups);
  for (const auto* lines :
       {&report.malformedLines, &report.checksumErrorLines, &report.outsideMemoryLines}) {
    ASSERT_EQ(lines->size(), kMaxReportedLines);
  }
  // Five lines per group: the first of each kind are kept, in file order.
  EXPECT_EQ(report.malformedLines.front(), 1u);
  EXPECT_EQ(report.malformedLines.back(), 1 + 5 * (kMaxReportedLines - 1));
  EXPECT_EQ(report.checksumErrorLines.back(), 2 + 5 * (kMaxReportedLines - 1));
  EXPECT_EQ(report.outsideMemoryLines.back(), 4 + 5 * (kMaxReportedLines - 1));
  EXPECT_EQ(report.Summary(),
            "1500 lines are not valid records and were skipped (lines 1, 6, 11, 16, 21 and 1495 "
            "more).\n1500 records have a wrong checksum; they were loaded as they stand (lines 2, "
            "7, 12, 17, 22 and 1495 more).\n3000 bytes lie beyond the memory of this device and "
            "were skipped (lines 4, 9, 14, 19, 24 and 1495 more).");
}

TEST_F(HexTextTest, AMalformedExtensionRecordLeavesTheBaseAsItWas) {
  Load(Lines({Linear(0x00F0), ":02000004003", Data(0x0000, {0x42}), kEof}));
  EXPECT_EQ(image->EepromImage[0], 0x42);
  EXPECT_EQ(image->FlashImage[0], kBlank);
}

TEST_F(HexTextTest, WrongChecksumsAreLoadedButReported) {
  std::string wrong = Data(0x800, {0x11, 0x22});
  wrong.back() = wrong.back() == '0' ? '1' : '0';
  const LoadReport report = Load(
      Lines({wrong, ":02081000334455", ":0108200066", ":0000000100", Data(0x830, {0x77}), kEof}));
  EXPECT_EQ(image->FlashImage[0x800], 0x11);
  EXPECT_EQ(image->FlashImage[0x801], 0x22);
  EXPECT_EQ(image->FlashImage[0x810], 0x33);  // wrong checksum 0x55
  EXPECT_EQ(image->FlashImage[0x820], 0x66);  // no checksum at all
  EXPECT_EQ(report.checksumErrorLines, (std::vector<std::size_t>{1, 2, 3, 4}));
  EXPECT_EQ(report.Summary(),
            "4 records have a wrong checksum; they were loaded as they stand (lines 1, 2, 3, 4).");
}

TEST_F(HexTextTest, OneSummaryCoversEveryKindOfProblemWithSingularWording) {
  const LoadReport report =
      Load(Lines({":01", ":01080000AA00", Linear(0x00F0), Data(0x0100, {1}), kEof}));
  EXPECT_EQ(report.Summary(),
            "1 line is not a valid record and was skipped (line 1).\n"
            "1 record has a wrong checksum; it was loaded as it stands (line 2).\n"
            "1 byte lies beyond the memory of this device and was skipped (line 4).");
  const LoadReport nothing = Load(Lines({":01", Linear(0x00F0), Data(0x0100, {1})}));
  EXPECT_EQ(nothing.Summary(),
            "1 line is not a valid record and was skipped (line 1).\n"
            "1 byte lies beyond the memory of this device and was skipped (line 3).\n"
            "The file holds no data for this device.");
}

}  // namespace
}  // namespace korvane::image
