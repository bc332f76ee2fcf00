// Feeds arbitrary bytes to the loader, as plain HEX text and as a scrambled file, and checks
// what must hold after every load.

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "image/UpdateFileLoader.h"

namespace {

using namespace korvane::image;

#define FUZZ_CHECK(condition)                                                            \
  do {                                                                                   \
    if (!(condition)) {                                                                  \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                      \
    }                                                                                    \
  } while (false)

bool AllBlank(const std::uint8_t* bytes, std::size_t count) {
  static const std::array<std::uint8_t, kFlashSize> blank = [] {
    std::array<std::uint8_t, kFlashSize> all;
    all.fill(kBlank);
    return all;
  }();
  return count == 0 || std::memcmp(bytes, blank.data(), count) == 0;
}

// Ranges lie inside the region's stored part, ascend and are merged; bytes outside them are
// blank. Returns the number of bytes the ranges cover.
template <std::size_t N>
std::size_t CheckRegion(const std::array<std::uint8_t, N>& buffer,
                        const std::vector<AddressRange>& ranges, std::uint64_t base,
                        std::size_t storable) {
  std::size_t covered = 0;
  std::uint64_t next = base;  // first address the next range may start at
  std::size_t index = 0;
  for (const AddressRange& range : ranges) {
    FUZZ_CHECK(range.first <= range.last);
    FUZZ_CHECK(range.first >= next);
    FUZZ_CHECK(range.last - base < storable);
    FUZZ_CHECK(AllBlank(buffer.data() + index, range.first - base - index));
    index = static_cast<std::size_t>(range.last - base + 1);
    covered += index - static_cast<std::size_t>(range.first - base);
    next = range.last + 2;  // merged: never adjacent
  }
  FUZZ_CHECK(AllBlank(buffer.data() + index, N - index));
  return covered;
}

bool Ascending(const std::vector<std::size_t>& lines) {
  for (std::size_t i = 1; i < lines.size(); ++i)
    if (lines[i] <= lines[i - 1])
      return false;
  return true;
}

void CheckLoad(const MemoryImage& image, const LoadReport& report, std::int32_t highestBefore,
               std::size_t unsupportedSeen) {
  FUZZ_CHECK(image.HighestFlashAddress >= 0);
  FUZZ_CHECK(image.HighestFlashAddress <= 0x7FFF);
  FUZZ_CHECK(image.HighestFlashAddress >= highestBefore);
  FUZZ_CHECK(image.ConfigImage[14] == kBlank && image.ConfigImage[15] == kBlank);
  FUZZ_CHECK(image.ConfigPresent == !report.configRanges.empty());

  std::size_t covered = CheckRegion(image.FlashImage, report.flashRanges, 0, kFlashSize);
  covered += CheckRegion(image.EepromImage, report.eepromRanges, kEepromWindowFirst, kEepromSize);
  covered += CheckRegion(image.UserIdImage, report.userIdRanges, kUserIdWindowFirst, kUserIdSize);
  covered += CheckRegion(image.ConfigImage, report.configRanges, kConfigWindowFirst, 14);
  FUZZ_CHECK(covered <= report.bytesStored);
  FUZZ_CHECK((covered == 0) == report.NoData());
  if (!report.flashRanges.empty())
    FUZZ_CHECK(image.HighestFlashAddress >=
               static_cast<std::int32_t>(report.flashRanges.back().last));

  FUZZ_CHECK(Ascending(report.malformedLines));
  FUZZ_CHECK(Ascending(report.checksumErrorLines));
  FUZZ_CHECK(Ascending(report.outsideMemoryLines));
  FUZZ_CHECK(report.outsideMemoryLines.size() <= report.outsideMemoryLineCount);
  FUZZ_CHECK(report.outsideMemoryLineCount <= report.bytesOutsideMemory);
  FUZZ_CHECK(report.malformedLines.size() <= report.malformedCount);
  FUZZ_CHECK(report.checksumErrorLines.size() <= report.checksumErrorCount);
  FUZZ_CHECK(report.unsupportedRecordTypes.size() == unsupportedSeen);
  FUZZ_CHECK(report.checksumErrorCount <= report.records);
  FUZZ_CHECK(report.HasProblems() == !report.Summary().empty());
}

void LoadAndCheck(MemoryImage& image, std::string_view text) {
  const std::int32_t before = image.HighestFlashAddress;
  std::size_t unsupported = 0;
  const LoadReport report = LoadHexText(image, text, [&](int type) {
    FUZZ_CHECK(type >= 3 && type <= 255 && type != 4);
    ++unsupported;
  });
  CheckLoad(image, report, before, unsupported);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // One image for the whole run, as in the application: HighestFlashAddress only ever rises.
  static MemoryImage image;
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);

  LoadAndCheck(image, bytes);

  const std::string decoded = Scramble(bytes);
  FUZZ_CHECK(decoded.size() == bytes.size());
  FUZZ_CHECK(Scramble(decoded) == bytes);
  LoadAndCheck(image, decoded);
  return 0;
}
