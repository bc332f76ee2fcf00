#include <gtest/gtest.h>

#include "image/UpdateFileLoader.h"

namespace korvane::image {
namespace {

struct Row {
  const char* path;
  const char* shortened;
};

TEST(ShortenPathTest, KeepsAsManyTrailingComponentsAsFitInForty) {
  const Row rows[] = {
      {R"(C:\Firmware\device.hex)", R"(C:\Firmware\device.hex)"},
      {R"(C:\Documents and Settings\User\Desktop\Firmware\device_v2.elc)",
       R"(C:\...\Desktop\Firmware\device_v2.elc)"},
      {R"(D:\Projects\Controller\Release\Firmware\main.hex)",
       R"(D:\...\Release\Firmware\main.hex)"},
      {R"(\\fileserver\share\updates\2009\march\device.elc)",
       R"(\\f...\updates\2009\march\device.elc)"},
      // The file name alone is too long: the path stays as it is.
      {R"(C:\Updates\device_firmware_release_cand_2.hex)",
       R"(C:\Updates\device_firmware_release_cand_2.hex)"},
  };
  for (const Row& row : rows) {
    const std::string result = ShortenPath(row.path, 40);
    EXPECT_EQ(result, row.shortened) << row.path;
  }
  EXPECT_EQ(
      ShortenPath(R"(C:\Documents and Settings\User\Desktop\Firmware\device_v2.elc)", 40).size(),
      37u);
}

TEST(ShortenPathTest, LengthLimitIsInclusive) {
  const std::string forty = R"(C:\abcdefghij\abcdefghij\abcdefghij\a.hx)";
  ASSERT_EQ(forty.size(), 40u);
  EXPECT_EQ(ShortenPath(forty, 40), forty);
  // 39 allowed: the tail "abcdefghij\abcdefghij\a.hx" (26) plus 7 fits.
  EXPECT_EQ(ShortenPath(forty, 39), R"(C:\...\abcdefghij\abcdefghij\a.hx)");
  EXPECT_EQ(ShortenPath(forty, 11), R"(C:\...\a.hx)");
  EXPECT_EQ(ShortenPath(forty, 10), forty);
  EXPECT_EQ(ShortenPath(forty, -1), forty);
  EXPECT_EQ(ShortenPath("", 0), "");
}

TEST(ShortenPathTest, SlashPathsAndMultiByteCharactersAreShortenedByCharacter) {
  EXPECT_EQ(ShortenPath("/home/user/projects/firmware/releases/device_v2.hex", 40),
            "/ho.../firmware/releases/device_v2.hex");
  // "Ü" is two bytes but one character: the prefix keeps it whole, lengths count it once.
  const std::string umlaut = "/Üb/projects/firmware/releases/2026/ÜberGerät.hex";
  EXPECT_EQ(ShortenPath(umlaut, 40), "/Üb.../releases/2026/ÜberGerät.hex");
  EXPECT_EQ(ShortenPath(umlaut, 47), "/Üb.../firmware/releases/2026/ÜberGerät.hex");
  EXPECT_EQ(ShortenPath(umlaut, 49), umlaut);  // 49 characters, 53 bytes
}

}  // namespace
}  // namespace korvane::image
