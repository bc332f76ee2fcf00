// korvane-cli on the real libusb path: the built program runs as a child process against
// bootloader devices emulated on a umockdev testbed.

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/Files.h"
#include "tests/cli/CliRunner.h"
#include "tests/cli/HexWriter.h"
#include "tests/libusb/UmockdevBootloader.h"

namespace korvane::cli::test {
namespace {

using testsupport::EmulatedDeviceOptions;
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
  WriteFile(dir / "fw.hex", DataRecords(0x800, 128, ProgramValue) +
                                DataRecords(0xF00000, 1, ProgramValue) + EndOfFile());
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
    EXPECT_EQ(device.Eeprom()[0], ProgramValue(0xF00000));
    EXPECT_EQ(device.Eeprom()[1], 0xFF);
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

// Three devices attached out of their order on the buses; each knows its own version.
void AttachThree(UmockdevTestbed& testbed) {
  testbed.AddDevice(EmulatedDeviceOptions{.bus = 2, .port = 1});
  testbed.AddDevice(EmulatedDeviceOptions{.bus = 1, .port = 4});
  testbed.AddDevice(EmulatedDeviceOptions{.bus = 1, .port = 2});
  for (std::size_t i = 0; i < 3; ++i) {
    testbed.WithDevice(i, [i](emulator::BootloaderDevice& device) {
      device.SetVersion(static_cast<std::uint8_t>(2 + i), 0x10);
    });
  }
}

// Polls until `done` holds or 20 s have passed.
bool WaitUntil(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

bool LeftBootloader(UmockdevTestbed& testbed, std::size_t index) {
  bool left = false;
  testbed.WithDevice(
      index, [&left](emulator::BootloaderDevice& device) { left = !device.InBootloader(); });
  return left;
}

TEST_F(CliOnUsb, ListAndDeviceFollowBusAndPortPath) {
  UmockdevTestbed testbed;
  AttachThree(testbed);
  const auto list = testbed.RunChild({KORVANE_CLI_BINARY, "list"});
  EXPECT_EQ(list.exitCode, 0) << list.err;
  EXPECT_EQ(list.out,
            "0   1-2         bootloader 4.10\n"
            "1   1-4         bootloader 3.10\n"
            "2   2-1         bootloader 2.10\n");
  const auto json = testbed.RunChild({KORVANE_CLI_BINARY, "list", "--json"});
  EXPECT_NE(json.out.find("{\"instance\":2,\"location\":\"2-1\",\"answered\":true,\"busy\":false,"
                          "\"version\":\"2.10\",\"major\":2,\"minor\":16}"),
            std::string::npos)
      << json.out;

  // The same device by number and by place; the default is instance 0.
  struct Case {
    std::vector<std::string> selector;
    std::string version;
  };
  for (const Case& c : {Case{{}, " 4."}, Case{{"--device", "1"}, " 3."},
                        Case{{"--device", "2-1"}, " 2."}, Case{{"--device", "1-4"}, " 3."}}) {
    std::vector<std::string> args{KORVANE_CLI_BINARY, "detect"};
    args.insert(args.end(), c.selector.begin(), c.selector.end());
    const auto detect = testbed.RunChild(args);
    EXPECT_EQ(detect.exitCode, 0) << detect.err;
    EXPECT_EQ(detect.out, "USB-Bootloader " + c.version + " 1 0 detected \n");
  }
  const auto absent = testbed.RunChild({KORVANE_CLI_BINARY, "detect", "--device", "1-3"});
  EXPECT_EQ(absent.exitCode, 3);
  EXPECT_NE(absent.err.find("no device is plugged in at 1-3"), std::string::npos) << absent.err;

  const auto verbose = testbed.RunChild({KORVANE_CLI_BINARY, "detect", "--verbose"});
  EXPECT_EQ(verbose.exitCode, 0);
  EXPECT_NE(verbose.err.find("libusb 1."), std::string::npos) << verbose.err;
  EXPECT_NE(verbose.err.find("device 2 at 2-1 (bus 2, address 2, 04d8:a5e2): can be opened"),
            std::string::npos)
      << verbose.err;
}

// Another run holds the device at 1-2: no command opens it, not even to count it or to see
// whether it settled; the others pass over it.
TEST_F(CliOnUsb, ADeviceAnotherRunHoldsIsNeitherOpenedNorCounted) {
  UmockdevTestbed testbed;
  AttachThree(testbed);  // device 2 is at 1-2
  const TempDir dir;
  WriteFile(dir / "fw.hex", DataRecords(0x800, 64, ProgramValue) + EndOfFile());
  const auto held = platform::FileLock::TryLock(testbed.RootDir() + "/korvane-usb-1-2.lock");
  ASSERT_TRUE(held.has_value());
  const std::string busy =
      "in use by another Korvane run (process " + std::to_string(platform::ProcessId()) + ")";

  const auto list = testbed.RunChild({KORVANE_CLI_BINARY, "list"});
  EXPECT_NE(list.out.find("0   1-2         busy: " + busy), std::string::npos) << list.out;
  const auto fewer = testbed.RunChild({KORVANE_CLI_BINARY, "update", (dir / "fw.hex").string(),
                                       "--all", "--expect", "3", "--wait=0.5"});
  EXPECT_EQ(fewer.exitCode, 3) << fewer.err;
  EXPECT_NE(fewer.err.find("only 2 of the 3 expected devices answered"), std::string::npos)
      << fewer.err;
  const auto waited =
      testbed.RunChild({KORVANE_CLI_BINARY, "detect", "--wait=5", "--device", "1-2"});
  EXPECT_EQ(waited.exitCode, 5) << waited.err;
  EXPECT_NE(waited.err.find("1-2 is " + busy), std::string::npos) << waited.err;
  EXPECT_EQ(testbed.RequestsReceived(2), 0u);

  const auto others = testbed.RunChild(
      {KORVANE_CLI_BINARY, "update", (dir / "fw.hex").string(), "--all", "--expect", "2"});
  EXPECT_EQ(others.exitCode, 0) << others.err;
  EXPECT_NE(others.out.find("2 of 2 updated"), std::string::npos) << others.out;
  EXPECT_EQ(testbed.RequestsReceived(2), 0u);
}

TEST_F(CliOnUsb, UpdateAllUpdatesEveryDeviceAtOnce) {
  UmockdevTestbed testbed;
  AttachThree(testbed);
  const TempDir dir;
  WriteFile(dir / "fw.hex", DataRecords(0x800, 128, ProgramValue) + EndOfFile());
  const auto all = testbed.RunChild(
      {KORVANE_CLI_BINARY, "update", (dir / "fw.hex").string(), "--all", "--reset"});
  EXPECT_EQ(all.exitCode, 0) << all.out << all.err;
  for (const char* line : {"1-2: The update was successful.", "1-4: The update was successful.",
                           "2-1: The update was successful.", "3 of 3 updated"}) {
    EXPECT_NE(all.out.find(line), std::string::npos) << all.out;
  }
  for (std::size_t i = 0; i < 3; ++i) {
    testbed.WithDevice(i, [](emulator::BootloaderDevice& device) {
      for (std::uint32_t a = 0x800; a < 0x880; ++a) {
        ASSERT_EQ(device.Flash()[a], ProgramValue(a)) << a;
      }
      EXPECT_FALSE(device.InBootloader());  // reset after its update
    });
  }
}

TEST_F(CliOnUsb, WaitGoesOnWhenTheDeviceIsPluggedIn) {
  UmockdevTestbed testbed;
  // Nothing comes: the wait ends after its time with exit 3.
  const auto none = testbed.RunChild({KORVANE_CLI_BINARY, "detect", "--wait=0.3"});
  EXPECT_EQ(none.exitCode, 3);
  EXPECT_NE(none.err.find("no device appeared within 0.3 s"), std::string::npos) << none.err;

  const auto arrived = testbed.RunChild(
      {KORVANE_CLI_BINARY, "detect", "--wait=20"}, std::chrono::seconds(30), [&testbed](pid_t) {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        testbed.AddDevice();
      });
  EXPECT_EQ(arrived.exitCode, 0) << arrived.out << arrived.err;
  EXPECT_EQ(arrived.out, "USB-Bootloader  1. 1 2 detected \n");
  EXPECT_NE(arrived.err.find("Waiting for a device..."), std::string::npos);

  // A selected place is waited for, other devices do not count.
  const auto second = testbed.RunChild(
      {KORVANE_CLI_BINARY, "detect", "--wait", "--device", "1-2"}, std::chrono::seconds(30),
      [&testbed](pid_t) {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        testbed.WithDevice(0, [](emulator::BootloaderDevice& d) { d.SetVersion(7, 0); });
        testbed.AddDevice();
      });
  EXPECT_EQ(second.exitCode, 0) << second.err;
  EXPECT_EQ(second.out, "USB-Bootloader  1. 1 2 detected \n");
}

// A fixture's boards enumerate one after the other: --all --wait takes them all, not only the
// first to appear.
TEST_F(CliOnUsb, AllWaitsForTheFixtureToSettle) {
  UmockdevTestbed testbed;
  const TempDir dir;
  WriteFile(dir / "fw.hex", DataRecords(0x800, 64, ProgramValue) + EndOfFile());
  const auto all = testbed.RunChild(
      {KORVANE_CLI_BINARY, "update", (dir / "fw.hex").string(), "--all", "--wait=20"},
      std::chrono::seconds(30), [&testbed](pid_t) {
        for (std::uint8_t port = 1; port <= 2; ++port) {
          std::this_thread::sleep_for(std::chrono::milliseconds(600));
          testbed.AddDevice(EmulatedDeviceOptions{.port = port});
        }
      });
  EXPECT_EQ(all.exitCode, 0) << all.out << all.err;
  EXPECT_NE(all.out.find("2 of 2 updated"), std::string::npos) << all.out;
}

TEST_F(CliOnUsb, TheProductionLoopTakesDeviceAfterDevice) {
  UmockdevTestbed testbed;
  const TempDir dir;
  WriteFile(dir / "fw.hex", DataRecords(0x800, 64, ProgramValue) + EndOfFile());
  const auto line =
      testbed.RunChild({KORVANE_CLI_BINARY, "update", (dir / "fw.hex").string(), "--wait",
                        "--repeat", "--reset", "--json"},
                       std::chrono::seconds(60), [&testbed](pid_t pid) {
                         // Each board is plugged in, updated and reset (it leaves the bus), then
                         // the next.
                         for (std::size_t board = 0; board < 2; ++board) {
                           std::this_thread::sleep_for(std::chrono::milliseconds(200));
                           testbed.AddDevice(EmulatedDeviceOptions{.port = 1});
                           ASSERT_TRUE(WaitUntil([&] { return LeftBootloader(testbed, board); }));
                         }
                         std::this_thread::sleep_for(std::chrono::milliseconds(300));
                         kill(pid, SIGINT);
                       });
  EXPECT_FALSE(line.timedOut);
  EXPECT_EQ(line.exitCode, 0) << line.err;
  EXPECT_NE(line.err.find("#1 1-1: The update was successful."), std::string::npos) << line.err;
  EXPECT_NE(line.err.find("#2 1-1: The update was successful."), std::string::npos) << line.err;
  EXPECT_NE(line.err.find("2 devices: 2 updated, 0 failed"), std::string::npos) << line.err;
  EXPECT_NE(line.out.find("\"count\":2"), std::string::npos) << line.out;
  EXPECT_NE(line.out.find("{\"event\":\"summary\",\"devices\":2,\"succeeded\":2,\"failed\":0,"
                          "\"updated\":2,\"exit_code\":0}"),
            std::string::npos)
      << line.out;
  for (std::size_t board = 0; board < 2; ++board) {
    testbed.WithDevice(board, [](emulator::BootloaderDevice& device) {
      EXPECT_EQ(device.Flash()[0x83F], ProgramValue(0x83F));
    });
  }
}

}  // namespace
}  // namespace korvane::cli::test
