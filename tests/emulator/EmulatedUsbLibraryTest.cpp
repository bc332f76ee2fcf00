#include "emulator/EmulatedUsbLibrary.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "link/BootloaderClient.h"
#include "link/BootloaderPacket.h"
#include "link/UsbPipeLink.h"

namespace korvane::emulator {
namespace {

using link::kDeviceIdentity;
using link::kErrorInvalidHandle;
using link::kErrorTimeout;
using link::kInvalidPipe;
using link::kPipeName;
using Bytes = std::vector<std::uint8_t>;

class Messages final : public link::LinkMessages {
 public:
  void ShowLinkMessage(std::string_view text) override { shown.emplace_back(text); }
  std::vector<std::string> shown;
};

// The emulated device driven through the real pipe link, one bracket per packet.
class EmulatedDeviceTest : public ::testing::Test {
 protected:
  link::PacketOutcome Send(std::int32_t requestLength, std::int32_t expected) {
    replyLength = expected;
    return link.SendPacket(request, requestLength, reply, replyLength);
  }
  link::PacketOutcome Erase(std::int32_t address) {
    return Send(link::BuildFlashErase(request, address), link::kAckReplyLength);
  }
  link::PacketOutcome Write(std::int32_t address, std::uint8_t value) {
    const std::array<std::uint8_t, link::kWriteChunk> data = Filled(value);
    return Send(link::BuildFlashWrite(request, address, data), link::kAckReplyLength);
  }
  link::PacketOutcome Read(std::int32_t address) {
    return Send(link::BuildFlashRead(request, address), link::kFlashReadReplyLength);
  }
  static std::array<std::uint8_t, link::kWriteChunk> Filled(std::uint8_t value) {
    std::array<std::uint8_t, link::kWriteChunk> data{};
    data.fill(value);
    return data;
  }

  EmulatedUsbLibrary usb;
  Messages messages;
  link::UsbPipeLink link{usb, messages};
  link::PacketBuffer request{};
  link::PacketBuffer reply{};
  std::int32_t replyLength = 0;
};

TEST_F(EmulatedDeviceTest, CountsAndOpensOnlyTheBootloaderIdentityAndPipe) {
  EXPECT_EQ(usb.MPUSBGetDeviceCount("vid_04d8&pid_a5e2"), 1);
  EXPECT_EQ(usb.MPUSBGetDeviceCount("VID_04D8&PID_A5E2"), 1);
  EXPECT_EQ(usb.MPUSBGetDeviceCount("vid_04d8&pid_000b"), 0);
  EXPECT_EQ(usb.PacketsBegun(), 3u);

  const auto out = usb.MPUSBOpen(0, kDeviceIdentity, kPipeName, 0, 0);
  const auto in = usb.MPUSBOpen(0, kDeviceIdentity, kPipeName, 1, 0);
  EXPECT_NE(out, kInvalidPipe);
  EXPECT_NE(in, kInvalidPipe);
  EXPECT_NE(out, in);
  EXPECT_EQ(usb.MPUSBOpen(1, kDeviceIdentity, kPipeName, 0, 0), kInvalidPipe);
  EXPECT_EQ(usb.MPUSBOpen(0, "vid_1234&pid_a5e2", kPipeName, 0, 0), kInvalidPipe);
  EXPECT_EQ(usb.MPUSBOpen(0, kDeviceIdentity, "\\MCHP_EP2", 0, 0), kInvalidPipe);
  EXPECT_EQ(usb.MPUSBOpen(0, kDeviceIdentity, kPipeName, 2, 0), kInvalidPipe);
  EXPECT_EQ(usb.OpenHandles(), 2u);
  EXPECT_EQ(usb.MPUSBClose(out), 1);
  EXPECT_EQ(usb.MPUSBClose(in), 1);
  EXPECT_EQ(usb.MPUSBClose(in), 0);
  EXPECT_EQ(usb.OpenHandles(), 0u);
}

TEST_F(EmulatedDeviceTest, BadHandlesAndDirectionsFailWithInvalidHandle) {
  std::uint32_t count = 99;
  const Bytes data{0x00, 0x02};
  EXPECT_NE(usb.MPUSBWrite(1234, data, count, 1000), 1);
  EXPECT_EQ(usb.GetLastError(), kErrorInvalidHandle);
  EXPECT_EQ(count, 0u);

  usb.MPUSBGetDeviceCount(kDeviceIdentity);
  const auto out = usb.MPUSBOpen(0, kDeviceIdentity, kPipeName, 0, 0);
  const auto in = usb.MPUSBOpen(0, kDeviceIdentity, kPipeName, 1, 0);
  Bytes buffer(4);
  EXPECT_NE(usb.MPUSBWrite(in, data, count, 1000), 1) << "writing to the IN pipe";
  EXPECT_EQ(usb.GetLastError(), kErrorInvalidHandle);
  EXPECT_NE(usb.MPUSBRead(out, buffer, count, 1000), 1) << "reading from the OUT pipe";
  EXPECT_EQ(usb.GetLastError(), kErrorInvalidHandle);

  // A read with nothing sent times out.
  EXPECT_NE(usb.MPUSBRead(in, buffer, count, 1000), 1);
  EXPECT_EQ(usb.GetLastError(), kErrorTimeout);

  ASSERT_EQ(usb.MPUSBWrite(out, data, count, 1000), 1);
  EXPECT_EQ(count, 2u);
  usb.MPUSBClose(in);
  EXPECT_NE(usb.MPUSBRead(in, buffer, count, 1000), 1) << "reading a closed pipe";
  EXPECT_EQ(usb.GetLastError(), kErrorInvalidHandle);
  usb.MPUSBClose(out);
}

TEST_F(EmulatedDeviceTest, ReplyLongerThanTheReadIsCutAndReportedInFull) {
  usb.MPUSBGetDeviceCount(kDeviceIdentity);
  const auto out = usb.MPUSBOpen(0, kDeviceIdentity, kPipeName, 0, 0);
  const auto in = usb.MPUSBOpen(0, kDeviceIdentity, kPipeName, 1, 0);
  std::uint32_t count = 0;
  ASSERT_EQ(usb.MPUSBWrite(out, Bytes{0x00, 0x02}, count, 1000), 1);
  Bytes buffer(6, 0xEE);
  ASSERT_EQ(usb.MPUSBRead(in, std::span(buffer).first(2), count, 1000), 1);
  EXPECT_EQ(count, 4u);
  EXPECT_EQ(buffer, (Bytes{0x00, 0x02, 0xEE, 0xEE, 0xEE, 0xEE}));
  usb.MPUSBClose(out);
  usb.MPUSBClose(in);

  // Through the link the same reply expected as 2 bytes is a failure without a message.
  const std::int32_t length = link::BuildVersionQuery(request);
  const auto outcome = Send(length, 2);
  EXPECT_TRUE(outcome.sent);
  EXPECT_EQ(outcome.result, link::ExchangeResult::Failed);
  EXPECT_EQ(replyLength, 4);
  EXPECT_TRUE(messages.shown.empty());
}

TEST_F(EmulatedDeviceTest, FullCycleThroughTheLinkEraseWriteVerify) {
  for (std::int32_t a = 0x800; a < 0x880; a += link::kFlashEraseBlock) {
    EXPECT_EQ(Erase(a).result, link::ExchangeResult::Complete);
    EXPECT_EQ(reply[0], 0x03);
  }
  for (std::int32_t a = 0x800; a < 0x880; a += link::kWriteChunk) {
    EXPECT_EQ(Write(a, static_cast<std::uint8_t>(a >> 4)).result, link::ExchangeResult::Complete);
  }
  ASSERT_EQ(Read(0x800).result, link::ExchangeResult::Complete);
  EXPECT_EQ(replyLength, 61);
  EXPECT_EQ(reply[1], 56);
  for (std::size_t k = 0; k < 56; ++k) {
    EXPECT_EQ(reply[5 + k], static_cast<std::uint8_t>((0x800 + k) >> 4)) << k;
  }
  EXPECT_EQ(usb.OpenHandles(), 0u) << "every bracket closes its pipes";
  EXPECT_EQ(usb.PacketsBegun(), 2u + 8u + 1u);
  EXPECT_EQ(usb.Device().BootBlockWriteAttempts(), 0u);
  EXPECT_TRUE(messages.shown.empty());

  const auto version = Send(link::BuildVersionQuery(request), link::kVersionReplyLength);
  ASSERT_EQ(version.result, link::ExchangeResult::Complete);
  EXPECT_EQ(link::VersionText({reply[3], reply[2]}), "USB-Bootloader  1. 1 2 detected ");
}

TEST_F(EmulatedDeviceTest, ResetLeavesTheBootloaderUntilPluggedInAgain) {
  const auto outcome = Send(link::BuildDeviceReset(request), link::kResetReplyLength);
  EXPECT_TRUE(outcome.sent);
  EXPECT_EQ(outcome.result, link::ExchangeResult::Complete);
  EXPECT_FALSE(usb.Device().InBootloader());
  EXPECT_TRUE(usb.Attached());
  EXPECT_EQ(usb.MPUSBGetDeviceCount(kDeviceIdentity), 0);
  EXPECT_EQ(usb.MPUSBOpen(0, kDeviceIdentity, kPipeName, 0, 0), kInvalidPipe);
  EXPECT_FALSE(Send(link::BuildVersionQuery(request), 4).sent);
  EXPECT_TRUE(messages.shown.empty());

  usb.PlugIn();
  EXPECT_EQ(Send(link::BuildVersionQuery(request), 4).result, link::ExchangeResult::Complete);
}

TEST_F(EmulatedDeviceTest, TimeoutFaultLosesTheReplyOfThatPacketOnly) {
  usb.AddFault({.kind = FaultKind::Timeout, .packetIndex = 1});
  EXPECT_EQ(Erase(0x800).result, link::ExchangeResult::Complete);
  reply.fill(0);
  const auto lost = Write(0x800, 0x5A);
  EXPECT_EQ(lost.result, link::ExchangeResult::Failed);
  ASSERT_EQ(messages.shown, std::vector<std::string>{"Error Code :  121"});
  // The device did carry the write out; only its answer went missing.
  EXPECT_EQ(usb.Device().Flash()[0x800], 0x5A);
  EXPECT_EQ(reply[0], 0x00);
  EXPECT_EQ(Write(0x810, 0x5A).result, link::ExchangeResult::Complete);
  EXPECT_EQ(usb.OpenHandles(), 0u);
}

TEST_F(EmulatedDeviceTest, ShortReplyAndLongCountFaults) {
  usb.AddFault({.kind = FaultKind::ShortReply, .packetIndex = 0});
  usb.AddFault({.kind = FaultKind::ShortReply, .packetIndex = 1, .cutBytes = 20});
  usb.AddFault({.kind = FaultKind::LongCount, .packetIndex = 2, .count = 60});
  usb.AddFault({.kind = FaultKind::LongCount, .packetIndex = 3});

  EXPECT_EQ(Send(link::BuildVersionQuery(request), 4).result, link::ExchangeResult::Short);
  EXPECT_EQ(replyLength, 3);

  EXPECT_EQ(Read(0x800).result, link::ExchangeResult::Short);
  EXPECT_EQ(replyLength, 41);
  EXPECT_EQ(reply[1], 56) << "the count byte still claims the whole block";

  EXPECT_EQ(Read(0x800).result, link::ExchangeResult::Complete);
  EXPECT_EQ(reply[1], 60);
  EXPECT_EQ(Read(0x838).result, link::ExchangeResult::Complete);
  EXPECT_EQ(reply[1], 0xFF);

  EXPECT_EQ(Read(0x870).result, link::ExchangeResult::Complete);
  EXPECT_EQ(reply[1], 56);

  // A count byte is only forged in read replies.
  usb.AddFault({.kind = FaultKind::LongCount, .packetIndex = 5});
  EXPECT_EQ(Send(link::BuildVersionQuery(request), 4).result, link::ExchangeResult::Complete);
  EXPECT_EQ(reply[1], 2);
  EXPECT_TRUE(messages.shown.empty());
}

TEST_F(EmulatedDeviceTest, BitFlipCorruptsTheWrittenByteInMemory) {
  usb.AddFault({.kind = FaultKind::BitFlip, .packetIndex = 1, .byteIndex = 3, .bit = 4});
  Erase(0x800);
  EXPECT_EQ(Write(0x800, 0x00).result, link::ExchangeResult::Complete);
  EXPECT_EQ(usb.Device().Flash()[0x803], 0x10);
  EXPECT_EQ(usb.Device().Flash()[0x802], 0x00);
  ASSERT_EQ(Read(0x800).result, link::ExchangeResult::Complete);
  EXPECT_EQ(reply[5 + 3], 0x10) << "the read-back shows the corrupted byte";

  usb.AddFault({.kind = FaultKind::BitFlip, .packetIndex = 3, .bit = 0});
  const auto data = Filled(0x80);
  Send(link::BuildEepromWrite(request, 0x10, data), 1);
  EXPECT_EQ(usb.Device().Eeprom()[0x10], 0x81);
  EXPECT_EQ(usb.Device().Eeprom()[0x11], 0x80);
}

TEST_F(EmulatedDeviceTest, UnplugFaultRemovesTheDeviceFromThatPacketOn) {
  usb.AddFault({.kind = FaultKind::Unplug, .packetIndex = 2});
  EXPECT_TRUE(Erase(0x800).sent);
  EXPECT_TRUE(Erase(0x840).sent);
  EXPECT_FALSE(Erase(0x880).sent);
  EXPECT_FALSE(Erase(0x8C0).sent);
  EXPECT_FALSE(usb.Attached());
  EXPECT_EQ(usb.Device().Flash()[0x880], BootloaderDevice::EarlierFirmwarePattern(0x880));
  EXPECT_TRUE(messages.shown.empty());
  usb.PlugIn();
  EXPECT_TRUE(Erase(0x880).sent);
}

TEST_F(EmulatedDeviceTest, UnplugDuringExchangeFailsTheWriteWithInvalidHandle) {
  usb.AddFault({.kind = FaultKind::UnplugDuringExchange, .packetIndex = 1});
  EXPECT_EQ(Erase(0x800).result, link::ExchangeResult::Complete);
  const auto pulled = Erase(0x840);
  EXPECT_TRUE(pulled.sent);
  EXPECT_EQ(pulled.result, link::ExchangeResult::Failed);
  EXPECT_TRUE(messages.shown.empty()) << "error 6 closes the pipes silently";
  EXPECT_EQ(usb.OpenHandles(), 0u);
  EXPECT_NE(usb.Device().Flash()[0x840], 0xFF);
  EXPECT_FALSE(Erase(0x880).sent);
}

TEST_F(EmulatedDeviceTest, OpenFailFaultFailsOnePipe) {
  usb.AddFault({.kind = FaultKind::OpenFail, .packetIndex = 0});
  usb.AddFault({.kind = FaultKind::OpenFail, .packetIndex = 1, .direction = 0});
  EXPECT_FALSE(Erase(0x800).sent);
  EXPECT_FALSE(Erase(0x800).sent);
  ASSERT_EQ(messages.shown.size(), 2u);
  // Handles count up from 1: the first bracket opened OUT as 1, the second opened IN as 2.
  EXPECT_EQ(messages.shown[0], " 1-1Failed to open data pipes.");
  EXPECT_EQ(messages.shown[1], "-1 2Failed to open data pipes.");
  EXPECT_EQ(usb.OpenHandles(), 0u) << "the pipe that opened was closed again";
  EXPECT_TRUE(Erase(0x800).sent);
}

TEST_F(EmulatedDeviceTest, WriteErrorFaultReportsItsCodeAndDeliversNothing) {
  usb.AddFault({.kind = FaultKind::WriteError, .packetIndex = 0, .errorCode = 31});
  usb.AddFault({.kind = FaultKind::WriteError, .packetIndex = 1, .errorCode = 6});
  EXPECT_EQ(Erase(0x800).result, link::ExchangeResult::Failed);
  EXPECT_EQ(Erase(0x800).result, link::ExchangeResult::Failed);
  EXPECT_EQ(messages.shown, std::vector<std::string>{"Error Code :  31"});
  EXPECT_NE(usb.Device().Flash()[0x800], 0xFF);
  EXPECT_EQ(usb.OpenHandles(), 0u);
  usb.ClearFaults();
  EXPECT_EQ(Erase(0x800).result, link::ExchangeResult::Complete);
}

TEST_F(EmulatedDeviceTest, AReplyNotReadIsGoneAfterTheNextWriteAttempt) {
  usb.AddFault({.kind = FaultKind::WriteError, .packetIndex = 1});
  usb.MPUSBGetDeviceCount(kDeviceIdentity);
  const auto out = usb.MPUSBOpen(0, kDeviceIdentity, kPipeName, 0, 0);
  const auto in = usb.MPUSBOpen(0, kDeviceIdentity, kPipeName, 1, 0);
  std::uint32_t count = 0;
  ASSERT_EQ(usb.MPUSBWrite(out, Bytes{0x00, 0x02}, count, 1000), 1);
  usb.MPUSBGetDeviceCount(kDeviceIdentity);
  ASSERT_NE(usb.MPUSBWrite(out, Bytes{0x00, 0x02}, count, 1000), 1);
  Bytes buffer(4);
  EXPECT_NE(usb.MPUSBRead(in, buffer, count, 1000), 1);
  EXPECT_EQ(usb.GetLastError(), kErrorTimeout);
  EXPECT_EQ(buffer, Bytes(4, 0));
  usb.MPUSBClose(out);
  usb.MPUSBClose(in);
}

TEST_F(EmulatedDeviceTest, RecordsEachRequestWithTheReplyTheHostGot) {
  usb.SetRecording(true);
  usb.AddFault({.kind = FaultKind::Timeout, .packetIndex = 1});
  usb.AddFault({.kind = FaultKind::WriteError, .packetIndex = 2});
  Send(link::BuildVersionQuery(request), 4);
  Erase(0x800);
  Erase(0x840);
  Send(link::BuildDeviceReset(request), 0);

  const auto& recorded = usb.Recorded();
  ASSERT_EQ(recorded.size(), 3u) << "the failed write never reached the device";
  EXPECT_EQ(recorded[0].packetIndex, 0u);
  EXPECT_EQ(recorded[0].request, (Bytes{0x00, 0x02}));
  EXPECT_EQ(recorded[0].reply, (Bytes{0x00, 0x02, 0x12, 0x01}));
  EXPECT_EQ(recorded[1].request, (Bytes{0x03, 0x01, 0x00, 0x08, 0x00}));
  EXPECT_TRUE(recorded[1].reply.empty());
  EXPECT_EQ(recorded[2].packetIndex, 3u);
  EXPECT_EQ(recorded[2].request, (Bytes{0xFF, 0x02}));
  EXPECT_TRUE(recorded[2].reply.empty());
}

TEST_F(EmulatedDeviceTest, TimingModelAddsTransfersAndFlashWork) {
  const TimingModel model{.perTransfer = std::chrono::microseconds(10),
                          .perFlashErase = std::chrono::microseconds(100),
                          .perFlashWrite = std::chrono::microseconds(50),
                          .perEepromWrite = std::chrono::microseconds(300)};
  Erase(0x800);
  EXPECT_EQ(usb.ModelledDelay().count(), 0) << "off by default";
  usb.SetTiming(true, model);
  Erase(0x800);
  EXPECT_EQ(usb.ModelledDelay().count(), 10 + 100 + 10);
  Write(0x800, 0);
  EXPECT_EQ(usb.ModelledDelay().count(), 120 + 10 + 50 + 10);
  Send(link::BuildEepromWrite(request, 0, Filled(0)), 1);
  EXPECT_EQ(usb.ModelledDelay().count(), 190 + 10 + 300 + 10);
  Read(0x800);
  EXPECT_EQ(usb.ModelledDelay().count(), 510 + 20);
  usb.SetTiming(false);
  Read(0x800);
  EXPECT_EQ(usb.ModelledDelay().count(), 530);
}

TEST_F(EmulatedDeviceTest, AGivenWaitTakesTheModelledDeadlinesInsteadOfASleep) {
  using std::chrono::microseconds;
  std::vector<std::chrono::steady_clock::time_point> deadlines;
  usb.SetSleepUntil(
      [&](std::chrono::steady_clock::time_point deadline) { deadlines.push_back(deadline); });
  // An hour per erase block: a sleeping thread would never get through this packet.
  usb.SetTiming(true, TimingModel{.perTransfer = microseconds(10),
                                  .perFlashErase = std::chrono::hours(1),
                                  .perFlashWrite = microseconds(50),
                                  .perEepromWrite = microseconds(300)});
  EXPECT_EQ(Erase(0x800).result, link::ExchangeResult::Complete);
  // The write's transfer, the erase, the read's transfer: one deadline each, one after another.
  ASSERT_EQ(deadlines.size(), 3u);
  EXPECT_GE(deadlines[1] - deadlines[0], std::chrono::hours(1));
  EXPECT_GE(deadlines[2] - deadlines[1], microseconds(10));
  EXPECT_EQ(usb.Device().Flash()[0x800], 0xFF);
}

}  // namespace
}  // namespace korvane::emulator
