// The demo firmware shipped in examples/ must load cleanly in both forms.

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <memory>

#include "HexFixtures.h"
#include "image/UpdateFileLoader.h"

namespace korvane::image {
namespace {

const std::string kExamples = std::string(KORVANE_SOURCE_DIR) + "/examples/";

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(DemoFirmwareTest, ScrambledFileIsThePlainFileScrambled) {
  const std::string hex = ReadFile(kExamples + "demo-firmware.hex");
  const std::string elc = ReadFile(kExamples + "demo-firmware.elc");
  ASSERT_GT(hex.size(), 1000u);
  EXPECT_EQ(elc, Scramble(hex));
  // Every line ends in CR LF.
  for (std::size_t at = hex.find('\n'); at != std::string::npos; at = hex.find('\n', at + 1))
    ASSERT_EQ(hex[at - 1], '\r') << "at byte " << at;
  EXPECT_EQ(hex.substr(hex.size() - 13), ":00000001FF\r\n");
}

TEST(DemoFirmwareTest, BothFormsLoadTheSameImageWithoutProblems) {
  testing::RecordingHost host;
  auto fromHex = std::make_unique<MemoryImage>();
  auto fromElc = std::make_unique<MemoryImage>();
  UpdateFileLoader hexLoader(*fromHex, host);
  UpdateFileLoader elcLoader(*fromElc, host);
  const LoadResult hex = hexLoader.LoadUpdateFile(kExamples + "demo-firmware.hex");
  const LoadResult elc = elcLoader.LoadUpdateFile(kExamples + "demo-firmware.elc");
  ASSERT_TRUE(hex.loaded);
  ASSERT_TRUE(elc.loaded);
  EXPECT_FALSE(hex.report.HasProblems()) << hex.report.Summary();
  EXPECT_TRUE(hex.report.unsupportedRecordTypes.empty());
  EXPECT_TRUE(host.Messages().empty());

  EXPECT_EQ(fromHex->FlashImage, fromElc->FlashImage);
  EXPECT_EQ(fromHex->EepromImage, fromElc->EepromImage);
  EXPECT_EQ(fromHex->HighestFlashAddress, fromElc->HighestFlashAddress);

  // Program flash from 0x800 for a few KiB, in one piece, starting with a GOTO.
  ASSERT_EQ(hex.report.flashRanges.size(), 1u);
  EXPECT_EQ(hex.report.flashRanges[0].first, 0x800u);
  EXPECT_GE(hex.report.flashRanges[0].last, 0x1000u);
  EXPECT_EQ(fromHex->FlashImage[0x801], 0xEF);
  EXPECT_EQ(fromHex->HighestFlashAddress,
            static_cast<std::int32_t>(hex.report.flashRanges[0].last));
  ASSERT_EQ(hex.report.eepromRanges.size(), 1u);
  EXPECT_EQ(hex.report.eepromRanges[0].first, 0xF00000u);
  EXPECT_EQ(fromHex->EepromImage[0], 'K');
}

}  // namespace
}  // namespace korvane::image
