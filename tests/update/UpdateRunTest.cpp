// The update run end to end against the emulated bootloader: what reaches the device, what the
// progress window is told, and how aborts and mismatches end the run.

#include <gtest/gtest.h>

#include "tests/update/UpdateTestSupport.h"

namespace korvane::update::testing {
namespace {

constexpr std::uint8_t kErase = 0x03, kWrite = 0x02, kRead = 0x01;
constexpr std::uint8_t kEepromWrite = 0x05, kEepromRead = 0x04;

using UpdateRunTest = UpdateBench;

TEST_F(UpdateRunTest, SingleBlockRunTellsTheWindowEachStepInOrder) {
  LoadImage(0x800);
  ASSERT_TRUE(Run(true, true).success);

  std::vector<std::string> expected = {"Started", "Begin erase",  "Bar 100", "Begin write",
                                       "Bar 100", "Begin verify", "Bar 100", "Begin eeprom-write"};
  for (int i = 0; i < 16; ++i) {
    std::ostringstream bar;
    bar << "Bar " << static_cast<float>(i * 16 * 100 / 255.0);
    expected.push_back(bar.str());
  }
  expected.push_back("Begin eeprom-verify");
  for (int i = 0; i < 8; ++i) {
    std::ostringstream bar;
    bar << "Bar " << static_cast<float>(i * 32 * 100 / 255.0);
    expected.push_back(bar.str());
  }
  expected.push_back(kSuccessCall);
  EXPECT_EQ(observer.calls, expected);
}

struct Layout {
  std::int32_t highest;
  std::size_t erases, writes, reads;
};

class PacketLayoutTest : public UpdateBench, public ::testing::WithParamInterface<Layout> {};

TEST_P(PacketLayoutTest, PacketsCoverTheApplicationAreaThenTheEeprom) {
  const Layout layout = GetParam();
  LoadImage(layout.highest);
  const std::vector<std::uint8_t> bootBefore(usb.Device().Flash().begin(),
                                             usb.Device().Flash().begin() + 0x800);
  const UpdateOutcome outcome = Run(true, true);
  ASSERT_TRUE(outcome.success);
  EXPECT_EQ(outcome.packetsSent, layout.erases + layout.writes + layout.reads + 24);
  EXPECT_EQ(outcome.blocksErased, layout.erases);
  EXPECT_EQ(outcome.flashRowsWritten, layout.writes);
  EXPECT_EQ(outcome.eepromRowsWritten, 16u);
  EXPECT_FALSE(outcome.incremental);
  EXPECT_TRUE(messages.shown.empty());

  // Commands in stage order, nothing else sent. The last write of a highest address that is not
  // the end of a 16-byte chunk still carries 16 bytes, the image's 0xFF above that address.
  std::vector<std::uint8_t> order;
  for (const auto& exchange : usb.Recorded()) {
    order.push_back(exchange.request.at(0));
  }
  std::vector<std::uint8_t> expected;
  expected.insert(expected.end(), layout.erases, kErase);
  expected.insert(expected.end(), layout.writes, kWrite);
  expected.insert(expected.end(), layout.reads, kRead);
  expected.insert(expected.end(), 16, kEepromWrite);
  expected.insert(expected.end(), 8, kEepromRead);
  EXPECT_EQ(order, expected);

  const auto check = [&](std::uint8_t command, std::int32_t first, std::int32_t step,
                         std::uint8_t length, std::size_t size, const std::uint8_t* source) {
    const auto packets = Sent(command);
    for (std::size_t i = 0; i < packets.size(); ++i) {
      const SentPacket& p = packets[i];
      ASSERT_EQ(p.address, first + static_cast<std::int32_t>(i) * step) << "packet " << i;
      ASSERT_EQ(p.length, length);
      ASSERT_EQ(p.size, size);
      if (source != nullptr) {
        ASSERT_TRUE(std::equal(p.data.begin(), p.data.end(), source + p.address))
            << "data of packet " << i;
      }
    }
  };
  check(kErase, 0x800, 64, 1, 5, nullptr);
  check(kWrite, 0x800, 16, 16, 21, image.FlashImage.data());
  check(kRead, 0x800, 56, 56, 5, nullptr);
  check(kEepromWrite, 0, 16, 16, 21, image.EepromImage.data());
  check(kEepromRead, 0, 32, 32, 5, nullptr);
  if (layout.highest >= 0x800) {
    EXPECT_TRUE(FlashMatchesImage(0x800, static_cast<std::size_t>(layout.highest)));
  }
  EXPECT_TRUE(EepromMatchesImage());
  EXPECT_EQ(usb.Device().BootBlockWriteAttempts(), 0u);
  EXPECT_TRUE(std::equal(bootBefore.begin(), bootBefore.end(), usb.Device().Flash().begin()));
}

INSTANTIATE_TEST_SUITE_P(Highest, PacketLayoutTest,
                         ::testing::Values(Layout{0x800, 1, 1, 1}, Layout{0x0FFF, 32, 128, 37},
                                           Layout{0x7FFF, 480, 1920, 549}, Layout{0x7FF, 0, 0, 0},
                                           Layout{0x905, 5, 17, 5}));

TEST_F(UpdateRunTest, FlashBelowApplicationAreaSendsNothingButStillNamesEachStage) {
  LoadImage(0x7FF);
  ASSERT_TRUE(Run(true, false).success);
  EXPECT_EQ(usb.PacketsBegun(), 0u);
  EXPECT_EQ(observer.calls, (std::vector<std::string>{"Started", "Begin erase", "Begin write",
                                                      "Begin verify", kSuccessCall}));
}

TEST_F(UpdateRunTest, ProgressValuesFollowAddressOverHighestAddress) {
  LoadImage(0x0FFF);
  ASSERT_TRUE(Run(true, true).success);
  const auto erase = observer.BarsIn(Stage::ProgramErase);
  const auto write = observer.BarsIn(Stage::ProgramWrite);
  const auto verify = observer.BarsIn(Stage::ProgramVerify);
  const auto eepromWrite = observer.BarsIn(Stage::EepromWrite);
  const auto eepromVerify = observer.BarsIn(Stage::EepromVerify);
  ASSERT_EQ(erase.size(), 32u);
  ASSERT_EQ(write.size(), 128u);
  ASSERT_EQ(verify.size(), 37u);
  ASSERT_EQ(eepromWrite.size(), 16u);
  ASSERT_EQ(eepromVerify.size(), 8u);

  // The first value is 2048 x 100 / 4095 in single precision, not 0.
  EXPECT_EQ(erase.front(), static_cast<float>(204800.0 / 4095.0));
  EXPECT_NEAR(erase.front(), 50.01, 0.005);
  EXPECT_NEAR(write.front(), 50.01, 0.005);
  EXPECT_NEAR(erase.back(), 98.46, 0.005);
  EXPECT_NEAR(write.back(), 99.63, 0.005);
  EXPECT_NEAR(verify.back(), 99.24, 0.005);
  EXPECT_EQ(eepromWrite.front(), 0.0F);
  EXPECT_NEAR(eepromWrite[1], 6.27, 0.005);
  EXPECT_NEAR(eepromWrite.back(), 94.12, 0.005);
  EXPECT_NEAR(eepromVerify.back(), 87.84, 0.005);
  for (const auto* values : {&erase, &write, &verify, &eepromWrite, &eepromVerify}) {
    EXPECT_TRUE(std::is_sorted(values->begin(), values->end()));
    EXPECT_LE(values->back(), 100.0F);
  }
}

TEST_F(UpdateRunTest, EepromOnlyWritesTheWholeEepromAndLeavesFlashAlone) {
  LoadImage(0x0FFF);
  const std::vector<std::uint8_t> flashBefore(usb.Device().Flash().begin(),
                                              usb.Device().Flash().end());
  ASSERT_TRUE(Run(false, true).success);
  EXPECT_EQ(usb.PacketsBegun(), 24u);
  EXPECT_TRUE(Sent(kErase).empty());
  EXPECT_TRUE(EepromMatchesImage());
  EXPECT_TRUE(std::equal(flashBefore.begin(), flashBefore.end(), usb.Device().Flash().begin()));
  EXPECT_EQ(observer.CountOf("Begin erase"), 0u);
}

TEST_F(UpdateRunTest, NeitherGroupSucceedsWithoutAPacket) {
  LoadImage(0x0FFF);
  ASSERT_TRUE(Run(false, false).success);
  EXPECT_EQ(usb.PacketsBegun(), 0u);
  EXPECT_EQ(observer.calls, (std::vector<std::string>{"Started", kSuccessCall}));
}

TEST_F(UpdateRunTest, EepromSelectionIsReadWhenTheRunReachesIt) {
  LoadImage(0x0FFF);
  bool eepromChecked = false;
  std::uint32_t packetsWhenRead = 0;
  eepromSelection = [&] {
    ++eepromReads;
    packetsWhenRead = usb.PacketsBegun();
    return eepromChecked;
  };
  // The user ticks the EEPROM item during the last flash packet.
  observer.onEvents = [&](int events) { eepromChecked = eepromChecked || events == 197; };

  ASSERT_TRUE(Run(true, false).success);
  EXPECT_EQ(flashReads, 1);
  EXPECT_EQ(eepromReads, 1);
  EXPECT_EQ(packetsWhenRead, 197u);
  EXPECT_EQ(Sent(kEepromWrite).size(), 16u);
  EXPECT_EQ(Sent(kEepromRead).size(), 8u);
}

// 0x0FFF with both groups: 32 erase, 128 write, 37 read, 16 + 8 EEPROM packets (221).
class AbortTest : public UpdateBench, public ::testing::WithParamInterface<int> {};

TEST_P(AbortTest, AbortEndsTheRunAfterThePacketInFlight) {
  const int abortAt = GetParam();
  LoadImage(0x0FFF);
  observer.onEvents = [&](int events) { abort = abort || events == abortAt + 1; };

  const UpdateOutcome outcome = Run(true, true);

  EXPECT_FALSE(outcome.success);
  EXPECT_EQ(outcome.failure, Failure::Aborted);
  EXPECT_EQ(outcome.packetsSent, static_cast<std::uint32_t>(abortAt + 1));
  EXPECT_EQ(usb.PacketsBegun(), static_cast<std::uint32_t>(abortAt + 1));
  // The packet in flight is finished (its progress), then the failure ending.
  ASSERT_GE(observer.calls.size(), 2u);
  const auto tail = std::vector<std::string>(observer.calls.end() - 2, observer.calls.end());
  EXPECT_EQ(tail[0].rfind("Bar ", 0), 0u);
  EXPECT_EQ(tail[1].rfind("Failed ", 0), 0u);
  EXPECT_EQ(observer.CountOf(kSuccessCall), 0u);
  // An abort in the flash group keeps the EEPROM group from running at all.
  EXPECT_EQ(eepromReads, abortAt < 197 ? 0 : 1);
}

INSTANTIATE_TEST_SUITE_P(AtPacket, AbortTest, ::testing::Values(0, 31, 32, 100, 196, 197, 220));

struct MismatchCase {
  Stage stage;
  std::size_t block;  // the block whose first byte differs
  std::int32_t address;
};

class MismatchTest : public UpdateBench, public ::testing::WithParamInterface<MismatchCase> {};

TEST_P(MismatchTest, FirstByteOfABlockDiffersAndTheRunStopsThere) {
  const MismatchCase c = GetParam();
  LoadImage(0x0FFF);
  const bool flash = c.stage == Stage::ProgramVerify;
  // The device's memory changes between writing and reading back.
  observer.onStage = [&](Stage stage) {
    if (stage == c.stage) {
      auto memory = flash ? usb.Device().MutableFlash() : usb.Device().MutableEeprom();
      memory[static_cast<std::size_t>(c.address)] ^= 0x10;
    }
  };

  const UpdateOutcome outcome = Run(true, true);

  EXPECT_EQ(outcome.failure, Failure::Mismatch);
  EXPECT_EQ(outcome.stage, c.stage);
  EXPECT_EQ(outcome.mismatchAddress, c.address);
  EXPECT_EQ(outcome.packetAddress, c.address);
  const std::uint8_t expected = flash ? image.FlashImage[static_cast<std::size_t>(c.address)]
                                      : image.EepromImage[static_cast<std::size_t>(c.address)];
  EXPECT_EQ(outcome.expected, expected);
  EXPECT_EQ(outcome.found, expected ^ 0x10);
  // No bar value for the failing block, no packet after it.
  EXPECT_EQ(observer.BarsIn(c.stage).size(), c.block);
  EXPECT_EQ(Sent(flash ? kRead : kEepromRead).size(), c.block + 1);
  EXPECT_EQ(usb.Recorded().back().request.at(0), flash ? kRead : kEepromRead);
  EXPECT_EQ(observer.calls.back(), "Failed " + Name(c.stage));
  EXPECT_EQ(eepromReads, flash ? 0 : 1);
}

INSTANTIATE_TEST_SUITE_P(Blocks, MismatchTest,
                         ::testing::Values(MismatchCase{Stage::ProgramVerify, 0, 0x800},
                                           MismatchCase{Stage::ProgramVerify, 3, 0x800 + 3 * 56},
                                           MismatchCase{Stage::EepromVerify, 2, 64},
                                           MismatchCase{Stage::EepromVerify, 7, 224}));

TEST_F(UpdateRunTest, LongerEarlierFirmwareAboveHighestAddressDoesNotFailVerify) {
  LoadImage(0x0FFF);
  auto flash = usb.Device().MutableFlash();
  std::fill(flash.begin() + 0x800, flash.end(), std::uint8_t{0x5A});

  const UpdateOutcome outcome = Run(true, true);

  EXPECT_TRUE(outcome.success);
  // The old firmware past the last block is still there and was read back, not compared.
  EXPECT_TRUE(FlashMatchesImage(0x800, 0x0FFF));
  EXPECT_EQ(usb.Device().Flash()[0x1000], 0x5A);
  EXPECT_EQ(usb.Device().Flash()[0x1017], 0x5A);
}

// The last block is compared up to the highest address, also at the very end of flash.
TEST_F(UpdateRunTest, HighestAddressItselfIsStillCompared) {
  for (const std::int32_t highest : {0x0FFF, 0x7FFF}) {
    LoadImage(highest);
    observer.onStage = [&](Stage stage) {
      if (stage == Stage::ProgramVerify) {
        usb.Device().MutableFlash()[static_cast<std::size_t>(highest)] ^= 0x01;
      }
    };
    const UpdateOutcome outcome = Run(true, true);
    EXPECT_EQ(outcome.failure, Failure::Mismatch) << highest;
    EXPECT_EQ(outcome.mismatchAddress, highest);
    EXPECT_EQ(outcome.packetAddress, (highest - 0x800) / 56 * 56 + 0x800);
  }
}

// A hand-made image may claim a highest address past the end of flash: the run stops at the
// image's end instead of reading past it.
TEST_F(UpdateRunTest, HighestAddressPastTheImageStopsAtItsEnd) {
  LoadImage(0x7FFF);
  image.HighestFlashAddress = 0x8005;
  ASSERT_TRUE(Run(true, false).success);
  EXPECT_EQ(Sent(kErase).size(), 480u);
  EXPECT_EQ(Sent(kWrite).size(), 1920u);
  EXPECT_EQ(Sent(kRead).size(), 549u);
  EXPECT_TRUE(FlashMatchesImage(0x800, 0x7FFF));
}

}  // namespace
}  // namespace korvane::update::testing
