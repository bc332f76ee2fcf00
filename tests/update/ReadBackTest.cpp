// What the device reads back proves each byte, in the update's verify stages, in verify and in
// backup alike: a read reply counts only when it answers the request asked and its count covers
// every byte needed. And a stop asked for before the first packet lets no packet out.

#include <gtest/gtest.h>

#include <iomanip>
#include <tuple>

#include "tests/update/UpdateTestSupport.h"
#include "update/DeviceBackup.h"

namespace korvane::update::testing {
namespace {

using emulator::Fault;
using emulator::FaultKind;

enum class Op { Update, Verify, Backup };

// Follows any of the three and shows nothing.
class SilentView final : public UpdateObserver, public BackupObserver {
 public:
  void OnRegionProgress(BackupRegion region, Progress progress) override {
    if (onProgress) {
      onProgress(region, progress.Percent());
    }
  }

  std::function<void(BackupRegion, float)> onProgress;
};

// 0x0FFF: 37 program-flash reads in the update (packets 160-196, then EEPROM reads from 213) and
// in a verify, 549 in a backup (all of 0x800-0x7FFF); then 8 EEPROM reads.
constexpr std::int32_t kHighest = 0x0FFF;

class ReadBackBench : public UpdateBench {
 protected:
  ReadBackBench() { LoadImage(kHighest); }

  // Runs `op` with `fault` at its `read`-th read of program flash (or of the EEPROM) and returns
  // the outcome and the reason given for it.
  std::pair<UpdateOutcome, std::string> RunWithFault(Op op, Fault fault, std::uint32_t read,
                                                     bool eeprom) {
    // Packets before the region's first read: the update erases and writes first.
    std::uint32_t before = eeprom ? 37 : 0;
    if (op == Op::Update) {
      before = eeprom ? 213 : 160;
    } else if (op == Op::Verify) {
      EXPECT_TRUE(Run(true, true).success);  // the device holds the image
    } else if (eeprom) {
      before = 549;
    }
    fault.packetIndex = usb.PacketsBegun() + before + read;
    faultPacket = fault.packetIndex;
    usb.AddFault(fault);
    SilentView view;
    switch (op) {
      case Op::Update: {
        const UpdateOutcome outcome = Run(true, true);
        return {outcome, FailureReason(outcome)};
      }
      case Op::Verify: {
        const VerifyOutcome outcome = VerifyDevice(image, link, true, true, view, StopToken());
        return {outcome.run, VerifyFailureReason(outcome)};
      }
      case Op::Backup: {
        const BackupOutcome outcome = ReadDeviceMemory(link, view, StopToken());
        return {outcome.run, BackupFailureReason(outcome)};
      }
    }
    return {};
  }

  std::uint32_t faultPacket = 0;  // the packet the last fault was placed at
};

struct ReplyCase {
  Fault fault;
  bool eeprom;
  std::uint32_t read;  // which read of the region gets the fault
  Failure failure;
  const char* cause;
};

Fault ShortCount(std::uint8_t count) {
  Fault fault{FaultKind::ShortCount};
  fault.shortCount = count;
  return fault;
}

Fault WrongEcho(std::uint32_t headerByte, std::uint8_t bit) {
  Fault fault{FaultKind::WrongEcho};
  fault.byteIndex = headerByte;
  fault.bit = bit;
  return fault;
}

class ReadReplyTest : public ReadBackBench,
                      public ::testing::WithParamInterface<std::tuple<Op, ReplyCase>> {};

// The replies keep their full length and carry the right data: only the header gives them away.
TEST_P(ReadReplyTest, AReplyThatLeavesBytesOutOrAnswersAnotherRequestFailsThere) {
  const auto [op, c] = GetParam();
  const std::int32_t address =
      static_cast<std::int32_t>(c.read) * (c.eeprom ? 32 : 56) + (c.eeprom ? 0 : 0x800);

  const auto [outcome, reason] = RunWithFault(op, c.fault, c.read, c.eeprom);

  EXPECT_FALSE(outcome.success);
  EXPECT_EQ(outcome.failure, c.failure);
  EXPECT_EQ(outcome.packetAddress, address);
  const char* place = op == Op::Update ? (c.eeprom ? "EEPROM verify" : "Verify")
                                       : (c.eeprom ? "Reading EEPROM" : "Reading program flash");
  std::ostringstream expected;
  expected << place << " at 0x" << std::uppercase << std::hex << std::setfill('0')
           << std::setw(c.eeprom ? 2 : 4) << address << ": " << c.cause;
  EXPECT_EQ(reason, expected.str());
  // Nothing is sent after the failing reply.
  EXPECT_EQ(usb.PacketsBegun(), faultPacket + 1);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, ReadReplyTest,
    ::testing::Combine(
        ::testing::Values(Op::Update, Op::Verify, Op::Backup),
        ::testing::Values(
            ReplyCase{ShortCount(0), false, 1, Failure::ShortCount,
                      "the device answered 0 of 56 bytes."},
            ReplyCase{ShortCount(55), false, 0, Failure::ShortCount,
                      "the device answered 55 of 56 bytes."},
            ReplyCase{ShortCount(31), true, 7, Failure::ShortCount,
                      "the device answered 31 of 32 bytes."},
            ReplyCase{WrongEcho(0, 0), false, 2, Failure::WrongEcho,
                      "the reply answers another request (command 0x00, address 0x000870)."},
            ReplyCase{WrongEcho(2, 3), false, 2, Failure::WrongEcho,
                      "the reply answers another request (command 0x01, address 0x000878)."},
            ReplyCase{WrongEcho(3, 0), true, 0, Failure::WrongEcho,
                      "the reply answers another request (command 0x04, address 0x000100)."},
            ReplyCase{WrongEcho(4, 0), true, 1, Failure::WrongEcho,
                      "the reply answers another request (command 0x04, address 0x010020)."})));

class LastBlockTest : public ReadBackBench, public ::testing::WithParamInterface<Op> {};

// The last program-flash block is needed up to the highest address (0xFE0-0xFFF in the update
// and verify, 0x7FE0-0x7FFF in a backup): 32 bytes suffice, 31 do not.
TEST_P(LastBlockTest, TheLastFlashBlockIsNeededUpToTheEndOfTheArea) {
  const Op op = GetParam();
  const std::uint32_t last = op == Op::Backup ? 548 : 36;
  EXPECT_TRUE(RunWithFault(op, ShortCount(32), last, false).first.success);
  usb.ClearFaults();
  const auto [outcome, reason] = RunWithFault(op, ShortCount(31), last, false);
  EXPECT_EQ(outcome.failure, Failure::ShortCount);
  EXPECT_NE(reason.find("the device answered 31 of 32 bytes."), std::string::npos) << reason;
}

INSTANTIATE_TEST_SUITE_P(Ops, LastBlockTest, ::testing::Values(Op::Update, Op::Verify, Op::Backup));

class StopTest : public ReadBackBench, public ::testing::WithParamInterface<Op> {};

TEST_P(StopTest, AStopAskedForBeforeTheFirstPacketSendsNothing) {
  const bool stop = true;
  SilentView view;
  UpdateOutcome outcome;
  switch (GetParam()) {
    case Op::Update:
      outcome =
          RunUpdate(image, link, {[] { return true; }, [] { return true; }}, StopToken(stop), view);
      break;
    case Op::Verify:
      outcome = VerifyDevice(image, link, true, true, view, StopToken(stop)).run;
      break;
    case Op::Backup:
      outcome = ReadDeviceMemory(link, view, StopToken(stop)).run;
      break;
  }
  EXPECT_EQ(outcome.failure, Failure::Aborted);
  EXPECT_EQ(outcome.packetsSent, 0u);
  EXPECT_EQ(usb.PacketsBegun(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Ops, StopTest, ::testing::Values(Op::Update, Op::Verify, Op::Backup));

// A stop that comes during the backup's last packet, which the backup is not given: the backup
// is whole, and the update after it lets no erase out.
TEST_F(ReadBackBench, AStopDuringTheBackupsLastPacketLetsNoEraseOut) {
  bool stop = false;
  SilentView view;
  view.onProgress = [&](BackupRegion region, float percent) {
    stop = stop || (region == BackupRegion::Eeprom && percent >= 100.0F);
  };
  ASSERT_TRUE(ReadDeviceMemory(link, view, StopToken()).run.success);
  ASSERT_TRUE(stop);
  const std::uint32_t erasesBefore = usb.Device().ErasesAndWrites();

  const UpdateOutcome outcome =
      RunUpdate(image, link, {[] { return true; }, [] { return true; }}, StopToken(stop), view);

  EXPECT_EQ(outcome.failure, Failure::Aborted);
  EXPECT_EQ(outcome.stage, Stage::ProgramErase);
  EXPECT_EQ(usb.Device().ErasesAndWrites(), erasesBefore);
  EXPECT_TRUE(Sent(0x03).empty());
}

}  // namespace
}  // namespace korvane::update::testing
