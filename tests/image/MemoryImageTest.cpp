#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "image/MemoryImage.h"

namespace korvane::image {
namespace {

bool AllBlank(const auto& buffer) {
  return std::all_of(buffer.begin(), buffer.end(), [](std::uint8_t b) { return b == kBlank; });
}

class MemoryImageTest : public ::testing::Test {
 protected:
  void SetUp() override { image->Clear(); }
  std::unique_ptr<MemoryImage> image = std::make_unique<MemoryImage>();
};

TEST_F(MemoryImageTest, ClearBlanksAllFourBuffersButKeepsHighestFlashAddress) {
  image->Store(0x1234, 0x00);
  image->Store(0xF00010, 0x00);
  image->Store(0x200003, 0x00);
  image->Store(0x300001, 0x00);
  ASSERT_TRUE(image->ConfigPresent);
  image->Clear();
  EXPECT_TRUE(AllBlank(image->FlashImage));
  EXPECT_TRUE(AllBlank(image->EepromImage));
  EXPECT_TRUE(AllBlank(image->UserIdImage));
  EXPECT_TRUE(AllBlank(image->ConfigImage));
  EXPECT_FALSE(image->ConfigPresent);
  EXPECT_EQ(image->HighestFlashAddress, 0x1234);
}

TEST_F(MemoryImageTest, EachWindowStoresIntoItsBufferAtTheOffsetFromItsBase) {
  EXPECT_EQ(image->Store(0x000000, 0x01), StoreOutcome::Stored);
  EXPECT_EQ(image->Store(0x007FFF, 0x02), StoreOutcome::Stored);
  EXPECT_EQ(image->Store(0x200000, 0x03), StoreOutcome::Stored);
  EXPECT_EQ(image->Store(0x200007, 0x04), StoreOutcome::Stored);
  EXPECT_EQ(image->Store(0x300000, 0x05), StoreOutcome::Stored);
  EXPECT_EQ(image->Store(0x30000D, 0x06), StoreOutcome::Stored);
  EXPECT_EQ(image->Store(0xF00000, 0x07), StoreOutcome::Stored);
  EXPECT_EQ(image->Store(0xF000FF, 0x08), StoreOutcome::Stored);
  EXPECT_EQ(image->FlashImage[0], 0x01);
  EXPECT_EQ(image->FlashImage[0x7FFF], 0x02);
  EXPECT_EQ(image->UserIdImage[0], 0x03);
  EXPECT_EQ(image->UserIdImage[7], 0x04);
  EXPECT_EQ(image->ConfigImage[0], 0x05);
  EXPECT_EQ(image->ConfigImage[13], 0x06);
  EXPECT_EQ(image->EepromImage[0], 0x07);
  EXPECT_EQ(image->EepromImage[255], 0x08);
}

TEST_F(MemoryImageTest, WindowPartsPastTheBuffersAreBeyondMemoryAndChangeNothing) {
  EXPECT_EQ(image->Store(0x008000, 0x00), StoreOutcome::BeyondMemory);
  EXPECT_EQ(image->Store(0x01FFFF, 0x00), StoreOutcome::BeyondMemory);
  EXPECT_EQ(image->Store(0xF00100, 0x00), StoreOutcome::BeyondMemory);
  EXPECT_EQ(image->Store(0xF003FF, 0x00), StoreOutcome::BeyondMemory);
  EXPECT_TRUE(AllBlank(image->FlashImage));
  EXPECT_TRUE(AllBlank(image->EepromImage));
  EXPECT_EQ(image->HighestFlashAddress, 0);
}

TEST_F(MemoryImageTest, AddressesInNoWindowAreSkippedWithoutAnyChange) {
  for (const std::uint64_t address :
       {0x020000ull, 0x200008ull, 0x30000Eull, 0x30000Full, 0x400000ull, 0xF00400ull, 0x1000000ull,
        0xFFFFFFFFFFFFFFFFull}) {
    EXPECT_EQ(image->Store(address, 0x00), StoreOutcome::NoWindow) << std::hex << address;
  }
  EXPECT_TRUE(AllBlank(image->FlashImage));
  EXPECT_TRUE(AllBlank(image->EepromImage));
  EXPECT_TRUE(AllBlank(image->UserIdImage));
  EXPECT_TRUE(AllBlank(image->ConfigImage));
  EXPECT_FALSE(image->ConfigPresent);
  EXPECT_EQ(image->HighestFlashAddress, 0);
}

TEST_F(MemoryImageTest, ConfigBytesFourteenAndFifteenAreNeverStored) {
  image->Store(0x30000E, 0x00);
  image->Store(0x30000F, 0x00);
  EXPECT_EQ(image->ConfigImage[14], kBlank);
  EXPECT_EQ(image->ConfigImage[15], kBlank);
  EXPECT_FALSE(image->ConfigPresent);
}

TEST_F(MemoryImageTest, HighestFlashAddressIsOnlyRaisedByFlashStores) {
  image->Store(0x0000, 0x00);
  EXPECT_EQ(image->HighestFlashAddress, 0);
  image->Store(0x3FFF, 0x00);
  EXPECT_EQ(image->HighestFlashAddress, 0x3FFF);
  image->Store(0x0800, 0x00);
  EXPECT_EQ(image->HighestFlashAddress, 0x3FFF);
  image->Store(0xF000FF, 0x00);
  image->Store(0x8000, 0x00);
  EXPECT_EQ(image->HighestFlashAddress, 0x3FFF);
  image->Store(0x7FFF, 0x00);
  EXPECT_EQ(image->HighestFlashAddress, 0x7FFF);
}

TEST_F(MemoryImageTest, ALaterStoreOverwritesTheEarlierOne) {
  image->Store(0x900, 0x11);
  image->Store(0x900, 0x22);
  EXPECT_EQ(image->FlashImage[0x900], 0x22);
}

}  // namespace
}  // namespace korvane::image
