// The update run when the device or the link misbehaves: every fault the emulated device can
// show ends the run in failure.

#include <gtest/gtest.h>

#include "tests/update/UpdateTestSupport.h"

namespace korvane::update::testing {
namespace {

using emulator::Fault;
using emulator::FaultKind;

// 0x0FFF with both groups: packets 0-31 erase, 32-159 write, 160-196 read,
// 197-212 EEPROM write, 213-220 EEPROM read.
struct FaultCase {
  FaultKind kind;
  std::uint32_t packet;
  Failure failure;
  Stage stage;
  const char* message;    // the link's message, or "" for none
  std::uint32_t cut = 1;  // bytes a short reply loses
};

class FaultTest : public UpdateBench, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(FaultTest, EveryInjectedFaultEndsInFailure) {
  const FaultCase c = GetParam();
  LoadImage(0x0FFF);
  Fault fault{c.kind, c.packet, 31};
  fault.cutBytes = c.cut;
  usb.AddFault(fault);

  const UpdateOutcome outcome = Run(true, true);

  EXPECT_FALSE(outcome.success);
  EXPECT_EQ(outcome.failure, c.failure);
  EXPECT_EQ(outcome.stage, c.stage);
  EXPECT_EQ(observer.calls.back().rfind("Failed", 0), 0u);
  EXPECT_EQ(observer.CountOf(kSuccessCall), 0u);
  if (std::string(c.message).empty()) {
    EXPECT_TRUE(messages.shown.empty());
  } else {
    ASSERT_FALSE(messages.shown.empty());
    EXPECT_NE(messages.shown.front().find(c.message), std::string::npos) << messages.shown.front();
  }
  if (c.kind != FaultKind::BitFlip) {
    // The run stops at the faulty packet: no bar value for it and no packet after it.
    EXPECT_EQ(usb.PacketsBegun(), c.packet + 1);
    EXPECT_EQ(static_cast<std::uint32_t>(observer.events), c.packet);  // one per packet
  }
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, FaultTest,
    ::testing::Values(
        FaultCase{FaultKind::Timeout, 0, Failure::ExchangeFailed, Stage::ProgramErase,
                  "Error Code :  121"},
        FaultCase{FaultKind::Timeout, 40, Failure::ExchangeFailed, Stage::ProgramWrite,
                  "Error Code :  121"},
        FaultCase{FaultKind::Timeout, 163, Failure::ExchangeFailed, Stage::ProgramVerify,
                  "Error Code :  121"},
        FaultCase{FaultKind::Timeout, 214, Failure::ExchangeFailed, Stage::EepromVerify,
                  "Error Code :  121"},
        FaultCase{FaultKind::ShortReply, 5, Failure::ShortReply, Stage::ProgramErase, ""},
        FaultCase{FaultKind::ShortReply, 50, Failure::ShortReply, Stage::ProgramWrite, ""},
        FaultCase{FaultKind::ShortReply, 160, Failure::ShortReply, Stage::ProgramVerify, ""},
        FaultCase{FaultKind::ShortReply, 200, Failure::ShortReply, Stage::EepromWrite, ""},
        FaultCase{FaultKind::ShortReply, 220, Failure::ShortReply, Stage::EepromVerify, ""},
        FaultCase{FaultKind::ShortReply, 161, Failure::ShortReply, Stage::ProgramVerify, "", 58},
        FaultCase{FaultKind::ShortReply, 213, Failure::ShortReply, Stage::EepromVerify, "", 32},
        FaultCase{FaultKind::LongCount, 170, Failure::CountTooLarge, Stage::ProgramVerify, ""},
        FaultCase{FaultKind::LongCount, 213, Failure::CountTooLarge, Stage::EepromVerify, ""},
        FaultCase{FaultKind::BitFlip, 33, Failure::Mismatch, Stage::ProgramVerify, ""},
        FaultCase{FaultKind::BitFlip, 159, Failure::Mismatch, Stage::ProgramVerify, ""},
        FaultCase{FaultKind::BitFlip, 205, Failure::Mismatch, Stage::EepromVerify, ""},
        FaultCase{FaultKind::Unplug, 0, Failure::NotSent, Stage::ProgramErase, ""},
        FaultCase{FaultKind::Unplug, 180, Failure::NotSent, Stage::ProgramVerify, ""},
        FaultCase{FaultKind::OpenFail, 60, Failure::NotSent, Stage::ProgramWrite,
                  "Failed to open data pipes."},
        FaultCase{FaultKind::OpenFail, 199, Failure::NotSent, Stage::EepromWrite,
                  "Failed to open data pipes."},
        FaultCase{FaultKind::WriteError, 1, Failure::ExchangeFailed, Stage::ProgramErase,
                  "Error Code :  31"},
        FaultCase{FaultKind::WriteError, 212, Failure::ExchangeFailed, Stage::EepromWrite,
                  "Error Code :  31"}));

TEST_F(UpdateBench, NoDeviceEndsTheRunAtTheFirstPacketWithoutAMessage) {
  LoadImage(0x0FFF);
  usb.Unplug();
  UpdateOutcome outcome = Run(true, true);
  EXPECT_EQ(outcome.failure, Failure::NotSent);
  EXPECT_EQ(outcome.stage, Stage::ProgramErase);
  EXPECT_EQ(outcome.packetAddress, 0x800);
  EXPECT_EQ(outcome.packetsSent, 0u);
  EXPECT_EQ(usb.PacketsBegun(), 1u);
  EXPECT_TRUE(messages.shown.empty());
  EXPECT_EQ(observer.calls.back().rfind("Failed", 0), 0u);

  outcome = Run(false, true);
  EXPECT_EQ(outcome.failure, Failure::NotSent);
  EXPECT_EQ(outcome.stage, Stage::EepromWrite);
  EXPECT_EQ(outcome.packetAddress, 0);
  EXPECT_EQ(observer.CountOf(kSuccessCall), 0u);
}

TEST_F(UpdateBench, FailedRunThenSuccessfulRun) {
  LoadImage(0x0FFF);
  usb.Unplug();
  EXPECT_FALSE(Run(true, true).success);
  usb.PlugIn();
  EXPECT_TRUE(Run(true, true).success);
  EXPECT_TRUE(FlashMatchesImage(0x800, 0x0FFF));
  EXPECT_TRUE(EepromMatchesImage());
  EXPECT_EQ(observer.Failures(), 1u);
  EXPECT_EQ(observer.calls.back(), kSuccessCall);
}

TEST_F(UpdateBench, AbortedRunThenSuccessfulRun) {
  LoadImage(0x0FFF);
  observer.onEvents = [&](int events) { abort = abort || events == 5; };
  EXPECT_EQ(Run(true, true).failure, Failure::Aborted);
  ASSERT_TRUE(abort);
  // The next run's progress window clears the flag as it loads.
  observer.onEvents = nullptr;
  EXPECT_TRUE(Run(true, true).success);
  EXPECT_TRUE(FlashMatchesImage(0x800, 0x0FFF));
  EXPECT_EQ(observer.calls.back(), kSuccessCall);
}

// Passes every call to the emulated device, but as a library whose instances are only
// positions in a list.
class PositionalLibrary final : public link::UsbLibrary {
 public:
  explicit PositionalLibrary(emulator::EmulatedUsbLibrary& inner) : inner_(inner) {}

  std::int32_t MPUSBGetDeviceCount(std::string_view identity) override {
    return inner_.MPUSBGetDeviceCount(identity);
  }
  link::PipeHandle MPUSBOpen(std::uint32_t instance, std::string_view identity,
                             std::string_view pipeName, std::uint32_t direction,
                             std::uint32_t reserved) override {
    return inner_.MPUSBOpen(instance, identity, pipeName, direction, reserved);
  }
  std::int32_t MPUSBWrite(link::PipeHandle handle, std::span<const std::uint8_t> data,
                          std::uint32_t& sent, std::uint32_t timeoutMs) override {
    return inner_.MPUSBWrite(handle, data, sent, timeoutMs);
  }
  std::int32_t MPUSBRead(link::PipeHandle handle, std::span<std::uint8_t> buffer,
                         std::uint32_t& received, std::uint32_t timeoutMs) override {
    return inner_.MPUSBRead(handle, buffer, received, timeoutMs);
  }
  std::int32_t MPUSBClose(link::PipeHandle handle) override { return inner_.MPUSBClose(handle); }
  std::uint32_t GetLastError() override { return inner_.GetLastError(); }

 private:
  emulator::EmulatedUsbLibrary& inner_;
};

// On a library whose instances are only positions in a list, another device plugged in during
// a run could take over the rest of it: the run stops before the next packet instead. A library
// that identifies its device carries on.
TEST_F(UpdateBench, ADeviceArrivingMidRunStopsItWhereInstancesAreOnlyPositions) {
  LoadImage(0x0FFF);
  usb.AddFault(Fault{FaultKind::Arrival, 10});
  PositionalLibrary positional(usb);
  link::UsbPipeLink positionalLink(positional, messages);
  UpdateSelections flashOnly{[] { return true; }, [] { return false; }};

  const UpdateOutcome stopped =
      RunUpdate(image, positionalLink, flashOnly, StopToken(abort), observer);

  EXPECT_FALSE(stopped.success);
  EXPECT_EQ(stopped.failure, Failure::DeviceChanged);
  EXPECT_EQ(stopped.packetsSent, 10u);
  EXPECT_NE(FailureReason(stopped).find("cannot tell devices apart"), std::string::npos)
      << FailureReason(stopped);

  // The same arrival on the emulated library, which serves one device only.
  usb.ClearFaults();
  usb.AddFault(Fault{FaultKind::Arrival, usb.PacketsBegun() + 10});
  EXPECT_TRUE(Run(true, false).success);
}

}  // namespace
}  // namespace korvane::update::testing
