#include "emulator/BootloaderDevice.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>
#include <vector>

#include "link/BootloaderPacket.h"

namespace korvane::emulator {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Request(link::Command command, std::uint8_t length, std::uint32_t address,
              const Bytes& data = {}) {
  Bytes request(5 + data.size());
  request[0] = static_cast<std::uint8_t>(command);
  request[1] = length;
  request[2] = static_cast<std::uint8_t>(address & 0xFF);
  request[3] = static_cast<std::uint8_t>((address >> 8) & 0xFF);
  request[4] = static_cast<std::uint8_t>((address >> 16) & 0xFF);
  std::copy(data.begin(), data.end(), request.begin() + 5);
  return request;
}

Bytes Erase(std::uint32_t address, std::uint8_t blocks = 1) {
  return Request(link::Command::FlashErase, blocks, address);
}

Bytes Write(std::uint32_t address, const Bytes& data) {
  return Request(link::Command::FlashWrite, static_cast<std::uint8_t>(data.size()), address, data);
}

Bytes FlashAt(const BootloaderDevice& device, std::uint32_t address, std::size_t count) {
  const auto flash = device.Flash().subspan(address, count);
  return {flash.begin(), flash.end()};
}

TEST(BootloaderDeviceMemory, StartsWithBootloaderAndEarlierFirmwareNeitherErased) {
  BootloaderDevice device;
  for (std::uint32_t a = 0; a < kDeviceFlashSize; ++a) {
    const std::uint8_t expected = a < kBootBlockEnd ? BootloaderDevice::BootBlockPattern(a)
                                                    : BootloaderDevice::EarlierFirmwarePattern(a);
    ASSERT_EQ(device.Flash()[a], expected) << "at " << a;
    ASSERT_NE(device.Flash()[a], 0xFF) << "at " << a;
  }
  // The earlier firmware is not one repeated byte: a block written over it shows.
  EXPECT_NE(FlashAt(device, 0x800, 64), FlashAt(device, 0x840, 64));
}

TEST(BootloaderDeviceFlash, EraseSetsTheWholeAlignedBlockAndNothingElse) {
  BootloaderDevice device;
  const auto reply = device.Handle(Erase(0x0C10));  // inside the block 0xC00-0xC3F
  ASSERT_TRUE(reply.has_value());
  EXPECT_EQ(*reply, Bytes{0x03});
  EXPECT_EQ(FlashAt(device, 0xC00, 64), Bytes(64, 0xFF));
  EXPECT_EQ(device.Flash()[0xBFF], BootloaderDevice::EarlierFirmwarePattern(0xBFF));
  EXPECT_EQ(device.Flash()[0xC40], BootloaderDevice::EarlierFirmwarePattern(0xC40));

  device.Handle(Erase(0x1000, 3));
  EXPECT_EQ(FlashAt(device, 0x1000, 192), Bytes(192, 0xFF));
  EXPECT_NE(device.Flash()[0x10C0], 0xFF);
  // Blocks past the end of flash are simply not there.
  EXPECT_TRUE(device.Handle(Erase(0x7FC0, 4)).has_value());
  EXPECT_EQ(FlashAt(device, 0x7FC0, 64), Bytes(64, 0xFF));
}

TEST(BootloaderDeviceFlash, WriteProgramsOldAndNew) {
  BootloaderDevice device;
  const Bytes data{0x12, 0x34, 0xF0, 0x0F, 0xFF, 0x00, 0xAA, 0x55,
                   0x01, 0x02, 0x04, 0x08, 0x10, 0x20, 0x40, 0x80};
  device.Handle(Erase(0x800));
  const auto reply = device.Handle(Write(0x800, data));
  ASSERT_TRUE(reply.has_value());
  EXPECT_EQ(*reply, Bytes{0x02});
  EXPECT_EQ(FlashAt(device, 0x800, 16), data);

  // Without an erase each byte keeps only the bits both values have.
  const Bytes before = FlashAt(device, 0x900, 16);
  device.Handle(Write(0x900, data));
  for (std::size_t i = 0; i < 16; ++i) {
    EXPECT_EQ(device.Flash()[0x900 + i], before[i] & data[i]) << i;
  }
  EXPECT_NE(FlashAt(device, 0x900, 16), data);

  // Writing again over written bytes cannot set bits.
  device.Handle(Write(0x800, Bytes(16, 0xFF)));
  EXPECT_EQ(FlashAt(device, 0x800, 16), data);
}

TEST(BootloaderDeviceBootBlock, EraseAndWriteNeverChangeItAndEveryAttemptCounts) {
  BootloaderDevice device;
  const Bytes bootBlock = FlashAt(device, 0, kBootBlockEnd);
  EXPECT_EQ(device.BootBlockWriteAttempts(), 0u);

  EXPECT_TRUE(device.Handle(Erase(0x000)).has_value());
  EXPECT_EQ(device.BootBlockWriteAttempts(), 1u);
  device.Handle(Write(0x7F0, Bytes(16, 0x00)));
  EXPECT_EQ(device.BootBlockWriteAttempts(), 2u);
  // An erase of two blocks from 0x7C0 clears the application block above the boot block only.
  device.Handle(Erase(0x7C0, 2));
  EXPECT_EQ(device.BootBlockWriteAttempts(), 3u);
  EXPECT_EQ(FlashAt(device, 0x800, 64), Bytes(64, 0xFF));
  // A write straddling the border programs only its application part.
  device.Handle(Write(0x7F8, Bytes(16, 0x00)));
  EXPECT_EQ(device.BootBlockWriteAttempts(), 4u);
  EXPECT_EQ(FlashAt(device, 0x800, 8), Bytes(8, 0x00));
  EXPECT_EQ(device.Flash()[0x808], 0xFF);

  EXPECT_EQ(FlashAt(device, 0, kBootBlockEnd), bootBlock);

  // Work above the boot block is not counted.
  device.Handle(Erase(0x800));
  device.Handle(Write(0x800, Bytes(16, 0x00)));
  EXPECT_EQ(device.BootBlockWriteAttempts(), 4u);
}

TEST(BootloaderDeviceRead, AnswersHeaderCountAndDataFromTheAddress) {
  BootloaderDevice device;
  const auto reply = device.Handle(Request(link::Command::FlashRead, 56, 0x1234));
  ASSERT_TRUE(reply.has_value());
  ASSERT_EQ(reply->size(), 61u);
  EXPECT_EQ((Bytes{reply->begin(), reply->begin() + 5}), (Bytes{0x01, 56, 0x34, 0x12, 0x00}));
  EXPECT_EQ((Bytes{reply->begin() + 5, reply->end()}), FlashAt(device, 0x1234, 56));

  // The boot block can be read, only not changed.
  const auto boot = device.Handle(Request(link::Command::FlashRead, 8, 0x10));
  ASSERT_TRUE(boot.has_value());
  EXPECT_EQ((Bytes{boot->begin() + 5, boot->end()}), FlashAt(device, 0x10, 8));

  const auto none = device.Handle(Request(link::Command::FlashRead, 0, 0x800));
  ASSERT_TRUE(none.has_value());
  EXPECT_EQ(*none, (Bytes{0x01, 0, 0x00, 0x08, 0x00}));
}

TEST(BootloaderDeviceRead, ReadsPastTheEndOfMemoryAsZero) {
  BootloaderDevice device;
  // The last block of a full update: 32 of the 56 bytes exist, the rest read as 0x00.
  const auto top = device.Handle(Request(link::Command::FlashRead, 56, 0x7FE0));
  ASSERT_TRUE(top.has_value());
  ASSERT_EQ(top->size(), 5u + 56u);
  EXPECT_EQ((*top)[1], 56);
  EXPECT_EQ((Bytes{top->begin() + 5, top->begin() + 5 + 32}), FlashAt(device, 0x7FE0, 32));
  EXPECT_EQ((Bytes{top->begin() + 5 + 32, top->end()}), Bytes(24, 0x00));

  const auto beyond = device.Handle(Request(link::Command::FlashRead, 56, 0x8000));
  ASSERT_TRUE(beyond.has_value());
  EXPECT_EQ(beyond->size(), 61u);
  EXPECT_EQ((Bytes{beyond->begin() + 5, beyond->end()}), Bytes(56, 0x00));

  const auto big = device.Handle(Request(link::Command::FlashRead, 200, 0x800));
  ASSERT_TRUE(big.has_value());
  EXPECT_EQ(big->size(), kMaxPacketSize);
  EXPECT_EQ((*big)[1], kMaxReadData);

  const auto eeprom = device.Handle(Request(link::Command::EepromRead, 32, 0xF0));
  ASSERT_TRUE(eeprom.has_value());
  ASSERT_EQ(eeprom->size(), 5u + 32u);
  EXPECT_EQ((*eeprom)[1], 32);
  EXPECT_EQ((Bytes{eeprom->begin() + 5 + 16, eeprom->end()}), Bytes(16, 0x00));
}

TEST(BootloaderDeviceEeprom, WriteStoresBytesAndReadReturnsThem) {
  BootloaderDevice device;
  Bytes data(16);
  for (std::size_t i = 0; i < data.size(); ++i) {
    data[i] = static_cast<std::uint8_t>(0xF0 + i);
  }
  data[3] = 0xFF;
  const auto ack = device.Handle(Request(link::Command::EepromWrite, 16, 0x20, data));
  ASSERT_TRUE(ack.has_value());
  EXPECT_EQ(*ack, Bytes{0x05});
  // EEPROM bytes are replaced, not ANDed.
  const auto stored = device.Eeprom().subspan(0x20, 16);
  EXPECT_EQ(Bytes(stored.begin(), stored.end()), data);

  const auto reply = device.Handle(Request(link::Command::EepromRead, 32, 0x20));
  ASSERT_TRUE(reply.has_value());
  ASSERT_EQ(reply->size(), 37u);
  EXPECT_EQ((Bytes{reply->begin(), reply->begin() + 5}), (Bytes{0x04, 32, 0x20, 0x00, 0x00}));
  EXPECT_EQ((Bytes{reply->begin() + 5, reply->begin() + 21}), data);

  // Past the end nothing is stored and nothing breaks.
  device.Handle(Request(link::Command::EepromWrite, 16, 0xF8, Bytes(16, 0x11)));
  EXPECT_EQ(device.Eeprom()[0xFF], 0x11);
  EXPECT_EQ(device.Eeprom().size(), kDeviceEepromSize);
}

TEST(BootloaderDeviceCommands, VersionResetAndRequestsWithoutAnswer) {
  BootloaderDevice device;
  EXPECT_EQ(device.Handle(Bytes{0x00, 0x02}), (Bytes{0x00, 0x02, 0x12, 0x01}));
  device.SetVersion(3, 0x4A);
  EXPECT_EQ(device.Handle(Bytes{0x00, 0x02}), (Bytes{0x00, 0x02, 0x4A, 0x03}));

  EXPECT_FALSE(device.Handle(Bytes{0x42, 0x02}).has_value()) << "unknown command";
  EXPECT_FALSE(device.Handle(Bytes{}).has_value());
  EXPECT_FALSE(device.Handle(Bytes{0x01, 56, 0x00}).has_value()) << "read without an address";
  // A write whose data falls short of its count is refused whole.
  const Bytes before = FlashAt(device, 0x800, 16);
  EXPECT_FALSE(device.Handle(Request(link::Command::FlashWrite, 16, 0x800, Bytes(8, 0))));
  EXPECT_EQ(FlashAt(device, 0x800, 16), before);

  EXPECT_TRUE(device.InBootloader());
  EXPECT_FALSE(device.Handle(Bytes{0xFF, 0x02}).has_value());
  EXPECT_FALSE(device.InBootloader());
  // Out of the bootloader nothing answers and nothing changes.
  EXPECT_FALSE(device.Handle(Bytes{0x00, 0x02}).has_value());
  device.Handle(Erase(0x800));
  EXPECT_EQ(FlashAt(device, 0x800, 16), before);
  device.ReturnToBootloader();
  EXPECT_TRUE(device.Handle(Bytes{0x00, 0x02}).has_value());
}

TEST(BootloaderDeviceBootBlock, NoRequestWhateverItsBytesChangesIt) {
  BootloaderDevice device;
  const Bytes bootBlock = FlashAt(device, 0, kBootBlockEnd);
  std::mt19937 random(20261207);
  std::uniform_int_distribution<int> byte(0, 255);
  std::uniform_int_distribution<std::size_t> size(0, 80);
  std::uniform_int_distribution<int> command(0, 6);
  for (int i = 0; i < 20000; ++i) {
    Bytes request(size(random));
    for (auto& b : request) {
      b = static_cast<std::uint8_t>(byte(random));
    }
    // Mostly real commands with addresses low enough to hit the boot block now and then.
    if (!request.empty() && i % 4 != 0) {
      request[0] = static_cast<std::uint8_t>(command(random));
    }
    if (request.size() > 4 && i % 2 == 0) {
      request[3] &= 0x0F;
      request[4] = 0;
    }
    const auto reply = device.Handle(request);
    if (reply) {
      ASSERT_LE(reply->size(), kMaxPacketSize);
      ASSERT_FALSE(reply->empty());
      ASSERT_EQ((*reply)[0], request[0]);
    }
    device.ReturnToBootloader();
  }
  EXPECT_EQ(FlashAt(device, 0, kBootBlockEnd), bootBlock);
  EXPECT_GT(device.BootBlockWriteAttempts(), 0u);
}

class BootloaderDeviceState : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("korvane-device-state-" +
            std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::filesystem::path dir_;
};

TEST_F(BootloaderDeviceState, SavedMemoryLoadsIntoAnotherDevice) {
  BootloaderDevice first;
  first.Handle(Erase(0x800));
  first.Handle(Write(0x800, Bytes(16, 0x3C)));
  first.Handle(Request(link::Command::EepromWrite, 16, 0, Bytes(16, 0xA1)));
  first.SaveState(dir_);
  EXPECT_EQ(std::filesystem::file_size(dir_ / "flash.bin"), kDeviceFlashSize);
  EXPECT_EQ(std::filesystem::file_size(dir_ / "eeprom.bin"), kDeviceEepromSize);

  BootloaderDevice second;
  second.LoadState(dir_);
  EXPECT_TRUE(std::ranges::equal(second.Flash(), first.Flash()));
  EXPECT_TRUE(std::ranges::equal(second.Eeprom(), first.Eeprom()));
}

TEST_F(BootloaderDeviceState, LoadKeepsTheBootloaderAndRefusesWrongSizes) {
  std::filesystem::create_directories(dir_);
  {
    std::ofstream flash(dir_ / "flash.bin", std::ios::binary);
    const std::vector<char> zeros(kDeviceFlashSize, 0);
    flash.write(zeros.data(), static_cast<std::streamsize>(zeros.size()));
  }
  BootloaderDevice device;
  device.LoadState(dir_);  // eeprom.bin is missing: the EEPROM stays as it was
  EXPECT_EQ(device.Flash()[0], BootloaderDevice::BootBlockPattern(0));
  EXPECT_EQ(device.Flash()[0x800], 0x00);
  EXPECT_EQ(device.Eeprom()[0], BootloaderDevice::EarlierEepromPattern(0));

  {
    std::ofstream eeprom(dir_ / "eeprom.bin", std::ios::binary);
    eeprom << "too short";
  }
  BootloaderDevice untouched;
  EXPECT_THROW(untouched.LoadState(dir_), std::runtime_error);
  // The good flash.bin beside the bad eeprom.bin was not taken either.
  EXPECT_EQ(untouched.Flash()[0x800], BootloaderDevice::EarlierFirmwarePattern(0x800));
}

}  // namespace
}  // namespace korvane::emulator
