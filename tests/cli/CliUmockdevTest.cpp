// korvane-cli on the real libusb path: the built program runs as a child process against
// bootloader devices emulated on a umockdev testbed.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/cli/CliRunner.h"
#include "tests/cli/HexWriter.h"
#include "tests/libusb/UmockdevBootloader.h"

namespace korvane::cli::test {
namespace {

using testsupport::UmockdevTestbed;

// The testbed needs umockdev's preload library in this process too: re-run under it first.
[[maybe_unused]] const bool kUnderPreload = (testsupport::RunUnderUmockdevPreload(), true);

std::uint8_t ProgramValue(std::uint32_t address) {
  return static_cast<std::uint8_t>(address * 5 + 3);
}

class CliOnUsb : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string reason = testsupport::UmockdevUnavailableReason();
    if (!reason.empty()) {
      GTEST_SKIP() << "umockdev cannot be used here: " << reason;
    }
  }
};

TEST_F(CliOnUsb, DetectAndUpdateReachTheDevice) {
  UmockdevTestbed testbed;
  testbed.AddDevice();

  const auto detect = testbed.RunChild({KORVANE_CLI_BINARY, "detect"});
  EXPECT_EQ(detect.exitCode, 0) << detect.err;
  EXPECT_EQ(detect.out, "USB-Bootloader  1. 1 2 detected \n");

  // 128 bytes: 2 erase, 8 write and 3 read packets, then 16 + 8 for the EEPROM.
  const TempDir dir;
  WriteFile(dir / "fw.hex", DataRecords(0x800, 128, ProgramValue) + EndOfFile());
  const auto update =
      testbed.RunChild({KORVANE_CLI_BINARY, "update", (dir / "fw.hex").string(), "--eeprom"});
  EXPECT_EQ(update.exitCode, 0) << update.out << update.err;
  EXPECT_NE(update.out.find("The update was successful."), std::string::npos) << update.out;
  EXPECT_EQ(testbed.RequestsReceived(0), 1u + 2u + 8u + 3u + 16u + 8u);
  testbed.WithDevice(0, [](emulator::BootloaderDevice& device) {
    for (std::uint32_t a = 0x800; a < 0x880; ++a) {
      ASSERT_EQ(device.Flash()[a], ProgramValue(a)) << a;
    }
    for (std::uint32_t a = 0; a < 0x800; ++a) {
      ASSERT_EQ(device.Flash()[a], emulator::BootloaderDevice::BootBlockPattern(a)) << a;
    }
    EXPECT_EQ(device.BootBlockWriteAttempts(), 0u);
    EXPECT_EQ(device.Eeprom()[0], 0xFF);
  });
}

TEST_F(CliOnUsb, NoDeviceAttachedExitsWithThree) {
  UmockdevTestbed testbed;
  const TempDir dir;
  WriteFile(dir / "fw.hex", DataRecords(0x800, 16, ProgramValue) + EndOfFile());

  const auto detect = testbed.RunChild({KORVANE_CLI_BINARY, "detect"});
  EXPECT_EQ(detect.exitCode, 3) << detect.err;
  EXPECT_NE(detect.err.find("Unable to find an Dextrel device."), std::string::npos);

  const auto update = testbed.RunChild({KORVANE_CLI_BINARY, "update", (dir / "fw.hex").string()});
  EXPECT_EQ(update.exitCode, 3) << update.err;
  EXPECT_EQ(update.out.find("The update was successful."), std::string::npos);
}

TEST_F(CliOnUsb, SilentDeviceTimesOutAndResetLeavesTheBootloader) {
  UmockdevTestbed testbed;
  testbed.AddDevice();

  testbed.WithholdReplies(0, true);
  const auto silent = testbed.RunChild({KORVANE_CLI_BINARY, "detect"});
  EXPECT_EQ(silent.exitCode, 3);
  EXPECT_NE(silent.err.find("Error Code :  121\n"), std::string::npos) << silent.err;
  testbed.WithholdReplies(0, false);

  const auto reset = testbed.RunChild({KORVANE_CLI_BINARY, "reset"});
  EXPECT_EQ(reset.exitCode, 0) << reset.err;
  // The device left its bootloader, so nothing answers any more.
  const auto after = testbed.RunChild({KORVANE_CLI_BINARY, "detect"});
  EXPECT_EQ(after.exitCode, 3) << after.out;
}

}  // namespace
}  // namespace korvane::cli::test
