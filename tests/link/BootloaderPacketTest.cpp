#include "link/BootloaderClient.h"
#include "link/BootloaderPacket.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace korvane::link {
namespace {

using Bytes = std::vector<std::uint8_t>;

// A request buffer that still holds the previous handler's bytes, to show what a builder leaves.
PacketBuffer Used() {
  PacketBuffer buffer{};
  buffer.fill(0xEE);
  return buffer;
}

Bytes Sent(const PacketBuffer& buffer, std::int32_t length) {
  return {buffer.begin(), buffer.begin() + length};
}

std::array<std::uint8_t, kWriteChunk> Counting(std::uint8_t first) {
  std::array<std::uint8_t, kWriteChunk> data{};
  for (std::size_t i = 0; i < data.size(); ++i) {
    data[i] = static_cast<std::uint8_t>(first + i);
  }
  return data;
}

TEST(AddressBytesTest, LeastSignificantFirst) {
  const auto check = [](std::int32_t address, std::uint8_t low, std::uint8_t high,
                        std::uint8_t upper) {
    const AddressBytes bytes = SplitAddress(address);
    EXPECT_EQ(bytes.low, low) << address;
    EXPECT_EQ(bytes.high, high) << address;
    EXPECT_EQ(bytes.upper, upper) << address;
  };
  check(0x0800, 0x00, 0x08, 0x00);
  check(0x7FC0, 0xC0, 0x7F, 0x00);
  check(0xF0, 0xF0, 0x00, 0x00);
  check(0x7FFF, 0xFF, 0x7F, 0x00);
  check(0x123456, 0x56, 0x34, 0x12);
}

TEST(RequestTest, FirstEraseOfAnUpdate) {
  PacketBuffer request = Used();
  const std::int32_t length = BuildFlashErase(request, 0x0800);
  EXPECT_EQ(length, 5);
  EXPECT_EQ(Sent(request, length), (Bytes{0x03, 0x01, 0x00, 0x08, 0x00}));
  EXPECT_EQ(request[5], 0xEE) << "only the request's own bytes are written";
  EXPECT_EQ(kAckReplyLength, 1);
}

TEST(RequestTest, FlashWriteCarriesSixteenImageBytes) {
  PacketBuffer request = Used();
  const auto data = Counting(0x40);
  const std::int32_t length = BuildFlashWrite(request, 0x0800, data);
  ASSERT_EQ(length, 21);
  Bytes expected{0x02, 0x10, 0x00, 0x08, 0x00};
  expected.insert(expected.end(), data.begin(), data.end());
  EXPECT_EQ(Sent(request, length), expected);
  EXPECT_EQ(request[21], 0xEE);
}

TEST(RequestTest, ReadsAndEepromRequests) {
  PacketBuffer request = Used();
  std::int32_t length = BuildFlashRead(request, 0x7FC0);
  EXPECT_EQ(Sent(request, length), (Bytes{0x01, 0x38, 0xC0, 0x7F, 0x00}));
  EXPECT_EQ(kFlashReadReplyLength, 61);

  length = BuildEepromRead(request, 0xF0);
  EXPECT_EQ(Sent(request, length), (Bytes{0x04, 0x20, 0xF0, 0x00, 0x00}));
  EXPECT_EQ(kEepromReadReplyLength, 37);

  const auto data = Counting(0xF0);
  length = BuildEepromWrite(request, 0xF0, data);
  ASSERT_EQ(length, 21);
  Bytes expected{0x05, 0x10, 0xF0, 0x00, 0x00};
  expected.insert(expected.end(), data.begin(), data.end());
  EXPECT_EQ(Sent(request, length), expected);
}

TEST(RequestTest, ShortCommandsSendTwoBytes) {
  PacketBuffer request = Used();
  std::int32_t length = BuildVersionQuery(request);
  EXPECT_EQ(Sent(request, length), (Bytes{0x00, 0x02}));
  EXPECT_EQ(request[2], 0xEE);
  EXPECT_EQ(kVersionReplyLength, 4);

  length = BuildDeviceReset(request);
  EXPECT_EQ(Sent(request, length), (Bytes{0xFF, 0x02}));
  EXPECT_EQ(kResetReplyLength, 0);
}

TEST(VersionTextTest, MajorThenMinorNibblesInDecimal) {
  EXPECT_EQ(VersionText({.major = 0x01, .minor = 0x12}), "USB-Bootloader  1. 1 2 detected ");
  EXPECT_EQ(VersionText({.major = 0x01, .minor = 0x0A}), "USB-Bootloader  1. 0 10 detected ");
  EXPECT_EQ(VersionText({.major = 0xFF, .minor = 0xF0}), "USB-Bootloader  255. 15 0 detected ");
  EXPECT_EQ(VersionNumber({.major = 0x01, .minor = 0x12}), "1.12");
}

}  // namespace
}  // namespace korvane::link
