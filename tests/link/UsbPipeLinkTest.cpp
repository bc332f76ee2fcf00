#include "link/UsbPipeLink.h"

#include <gtest/gtest.h>

#include <deque>
#include <limits>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace korvane::link {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Calls = std::vector<std::string>;

std::string Hex(std::span<const std::uint8_t> bytes) {
  std::ostringstream out;
  out << std::hex << std::uppercase;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    out << (i == 0 ? "" : " ") << (bytes[i] < 16 ? "0" : "") << static_cast<int>(bytes[i]);
  }
  return out.str();
}

// A USB library that plays a script and writes every call, with its arguments, into one log
// shared with the messages, so that the order of both can be checked.
class ScriptedUsb final : public UsbLibrary {
 public:
  struct ReadStep {
    std::int32_t result = 1;
    Bytes data;                             // copied into the buffer (as much as fits)
    std::optional<std::uint32_t> received;  // reported count; the data size when unset
    std::uint32_t error = 0;
  };

  explicit ScriptedUsb(Calls& log) : log_(log) {}

  std::int32_t MPUSBGetDeviceCount(std::string_view identity) override {
    log_.push_back("Count(" + std::string(identity) + ")");
    return count;
  }
  PipeHandle MPUSBOpen(std::uint32_t instance, std::string_view identity, std::string_view pipeName,
                       std::uint32_t direction, std::uint32_t reserved) override {
    log_.push_back("Open(" + std::to_string(instance) + "," + std::string(identity) + "," +
                   std::string(pipeName) + "," + std::to_string(direction) + "," +
                   std::to_string(reserved) + ")");
    return direction == 0 ? outHandle : inHandle;
  }
  std::int32_t MPUSBWrite(PipeHandle handle, std::span<const std::uint8_t> data,
                          std::uint32_t& sent, std::uint32_t timeoutMs) override {
    log_.push_back("Write(" + std::to_string(handle) + ",[" + Hex(data) + "]," +
                   std::to_string(timeoutMs) + ")");
    sent = static_cast<std::uint32_t>(data.size());
    if (writeResult != 1) {
      lastError_ = writeError;
    }
    return writeResult;
  }
  std::int32_t MPUSBRead(PipeHandle handle, std::span<std::uint8_t> buffer, std::uint32_t& received,
                         std::uint32_t timeoutMs) override {
    log_.push_back("Read(" + std::to_string(handle) + "," + std::to_string(buffer.size()) + "," +
                   std::to_string(timeoutMs) + ")");
    const ReadStep step = reads.empty() ? ReadStep{} : reads.front();
    if (!reads.empty()) {
      reads.pop_front();
    }
    if (step.result != 1) {
      lastError_ = step.error;
      return step.result;
    }
    const std::size_t n = std::min(buffer.size(), step.data.size());
    std::copy_n(step.data.begin(), n, buffer.begin());
    received = step.received.value_or(static_cast<std::uint32_t>(step.data.size()));
    return 1;
  }
  std::int32_t MPUSBClose(PipeHandle handle) override {
    log_.push_back("Close(" + std::to_string(handle) + ")");
    return 1;
  }
  std::uint32_t GetLastError() override {
    log_.push_back("GetLastError");
    return lastError_;
  }
  std::string TakeUserNotice() override {
    log_.push_back("TakeUserNotice");
    return std::exchange(notice, {});
  }

  std::int32_t count = 1;
  PipeHandle outHandle = 420;
  PipeHandle inHandle = 421;
  std::int32_t writeResult = 1;
  std::uint32_t writeError = 0;
  std::deque<ReadStep> reads;
  std::string notice;

 private:
  Calls& log_;
  std::uint32_t lastError_ = 0;
};

class LoggedMessages final : public LinkMessages {
 public:
  explicit LoggedMessages(Calls& log) : log_(log) {}
  void ShowLinkMessage(std::string_view text) override {
    log_.push_back("Message(" + std::string(text) + ")");
  }

 private:
  Calls& log_;
};

ScriptedUsb::ReadStep Reply(Bytes data) {
  ScriptedUsb::ReadStep step;
  step.data = std::move(data);
  return step;
}

ScriptedUsb::ReadStep ReplyClaiming(Bytes data, std::uint32_t received) {
  ScriptedUsb::ReadStep step = Reply(std::move(data));
  step.received = received;
  return step;
}

ScriptedUsb::ReadStep ReadFails(std::uint32_t error) {
  ScriptedUsb::ReadStep step;
  step.result = 0;
  step.error = error;
  return step;
}

const std::string kCount = "Count(vid_04d8&pid_a5e2)";
const std::string kOpenOut = "Open(0,vid_04d8&pid_a5e2,\\MCHP_EP1,0,0)";
const std::string kOpenIn = "Open(0,vid_04d8&pid_a5e2,\\MCHP_EP1,1,0)";

class PipeLinkTest : public ::testing::Test {
 protected:
  // Opens the pipes and forgets the calls that took.
  void OpenAndClearLog() {
    link.OpenPipes();
    ASSERT_TRUE(link.PipesOpen());
    log.clear();
  }
  ExchangeResult Exchange(const Bytes& requestBytes, std::int32_t expected) {
    std::copy(requestBytes.begin(), requestBytes.end(), request.begin());
    const auto length = static_cast<std::int32_t>(requestBytes.size());
    replyLength = expected;
    return link.ExchangePacket(request, length, reply, replyLength, 1000, 1000);
  }

  Calls log;
  ScriptedUsb usb{log};
  LoggedMessages messages{log};
  UsbPipeLink link{usb, messages};
  std::array<std::uint8_t, 65> request{};
  std::array<std::uint8_t, 65> reply{};
  std::int32_t replyLength = 0;
};

TEST_F(PipeLinkTest, OnePacketIsCountOpenOpenWriteReadCloseClose) {
  usb.reads.push_back(Reply({0x00, 0x02, 0x12, 0x01}));
  request[0] = 0x00;
  request[1] = 0x02;
  replyLength = 4;
  const PacketOutcome outcome = link.SendPacket(request, 2, reply, replyLength);
  EXPECT_TRUE(outcome.sent);
  EXPECT_EQ(outcome.result, ExchangeResult::Complete);
  EXPECT_EQ(replyLength, 4);
  EXPECT_EQ(Hex(std::span(reply).first(5)), "00 02 12 01 00");
  EXPECT_EQ(log, (Calls{kCount, kOpenOut, kOpenIn, "Write(420,[00 02],1000)", "Read(421,4,1000)",
                        "Close(420)", "Close(421)"}));
  EXPECT_FALSE(link.PipesOpen());
}

TEST_F(PipeLinkTest, TwoDevicesAttachedOnlyTheFirstIsOpened) {
  usb.count = 2;
  link.OpenPipes();
  EXPECT_EQ(log, (Calls{kCount, kOpenOut, kOpenIn}));
  EXPECT_TRUE(link.PipesOpen());
}

TEST_F(PipeLinkTest, ALinkForAnotherInstanceOpensThatOneOnlyWhileItIsAttached) {
  UsbPipeLink second(usb, messages, 1);
  for (const std::int32_t count : {2, 1, 0}) {
    usb.count = count;
    log.clear();
    second.OpenPipes();
    if (count == 2) {
      EXPECT_EQ(log, (Calls{kCount, "Open(1,vid_04d8&pid_a5e2,\\MCHP_EP1,0,0)",
                            "Open(1,vid_04d8&pid_a5e2,\\MCHP_EP1,1,0)"}));
      EXPECT_TRUE(second.PipesOpen());
    } else {
      // Fewer devices than the instance needs: as with none, nothing is opened or said.
      EXPECT_EQ(log, (Calls{kCount, "TakeUserNotice"})) << count;
      EXPECT_FALSE(second.PipesOpen());
      EXPECT_FALSE(second.DeviceFound());
    }
    second.ClosePipes();
  }
}

TEST_F(PipeLinkTest, NoDeviceOpensNothingAndSaysNothing) {
  for (const std::int32_t count : {0, -1}) {
    log.clear();
    usb.count = count;
    link.OpenPipes();
    EXPECT_EQ(log, (Calls{kCount, "TakeUserNotice"})) << count;
    EXPECT_EQ(link.WritePipeHandle(), kInvalidPipe);
    EXPECT_EQ(link.ReadPipeHandle(), kInvalidPipe);
    log.clear();
    link.ClosePipes();
    EXPECT_TRUE(log.empty());
  }
  log.clear();
  const PacketOutcome outcome = link.SendPacket(request, 2, reply, replyLength);
  EXPECT_FALSE(outcome.sent);
  EXPECT_EQ(outcome.result, ExchangeResult::Failed);
  EXPECT_EQ(log, (Calls{kCount, "TakeUserNotice"}));
}

TEST_F(PipeLinkTest, NoDeviceShowsTheLibrarysOwnNotice) {
  usb.count = 0;
  usb.notice = "The USB library could not be started.";
  link.OpenPipes();
  link.OpenPipes();
  EXPECT_EQ(log, (Calls{kCount, "TakeUserNotice", "Message(The USB library could not be started.)",
                        kCount, "TakeUserNotice"}));
}

TEST_F(PipeLinkTest, ExchangeWithAnInvalidHandleTouchesNothing) {
  EXPECT_EQ(Exchange({0x00, 0x02}, 4), ExchangeResult::Failed);
  EXPECT_TRUE(log.empty());
  EXPECT_EQ(replyLength, 4);

  // Half-open counts as invalid too: only the OUT pipe opened, then the IN one failed.
  usb.inHandle = kInvalidPipe;
  link.OpenPipes();
  log.clear();
  EXPECT_EQ(Exchange({0x00, 0x02}, 4), ExchangeResult::Failed);
  EXPECT_TRUE(log.empty());
}

TEST_F(PipeLinkTest, BothOpensFailing) {
  usb.outHandle = kInvalidPipe;
  usb.inHandle = kInvalidPipe;
  const PacketOutcome outcome = link.SendPacket(request, 2, reply, replyLength);
  EXPECT_FALSE(outcome.sent);
  EXPECT_EQ(log, (Calls{kCount, kOpenOut, kOpenIn, "Message(-1-1Failed to open data pipes.)",
                        "TakeUserNotice"}));
}

TEST_F(PipeLinkTest, OnePipeOpeningIsReleasedAfterTheMessage) {
  usb.inHandle = kInvalidPipe;
  link.OpenPipes();
  EXPECT_EQ(log, (Calls{kCount, kOpenOut, kOpenIn, "Message( 420-1Failed to open data pipes.)",
                        "TakeUserNotice", "Close(420)"}));
  EXPECT_EQ(link.WritePipeHandle(), kInvalidPipe);
  EXPECT_EQ(link.ReadPipeHandle(), kInvalidPipe);

  log.clear();
  usb.inHandle = 7;
  usb.outHandle = kInvalidPipe;
  usb.notice = "Access to the device was denied.";
  link.OpenPipes();
  EXPECT_EQ(log,
            (Calls{kCount, kOpenOut, kOpenIn, "Message(-1 7Failed to open data pipes.)",
                   "TakeUserNotice", "Message(Access to the device was denied.)", "Close(7)"}));
}

TEST_F(PipeLinkTest, ReplyCountsDecideTheResult) {
  OpenAndClearLog();
  usb.reads.push_back(Reply({0xA1, 0xA2, 0xA3, 0xA4}));
  EXPECT_EQ(Exchange({0x00, 0x02}, 4), ExchangeResult::Complete);
  EXPECT_EQ(replyLength, 4);

  // Short: the count received stays in the caller's variable, the rest of the buffer too.
  usb.reads.push_back(Reply({0xB1, 0xB2, 0xB3}));
  EXPECT_EQ(Exchange({0x00, 0x02}, 4), ExchangeResult::Short);
  EXPECT_EQ(replyLength, 3);
  EXPECT_EQ(Hex(std::span(reply).first(4)), "B1 B2 B3 A4");

  // More than expected is a failure without a message, and nothing lands past the count asked.
  usb.reads.push_back(Reply(Bytes(10, 0xC0)));
  EXPECT_EQ(Exchange({0x00, 0x02}, 4), ExchangeResult::Failed);
  EXPECT_EQ(replyLength, 10);
  EXPECT_EQ(reply[4], 0x00);

  usb.reads.push_back(Reply({}));
  EXPECT_EQ(Exchange({0xFF, 0x02}, 0), ExchangeResult::Complete);
  EXPECT_EQ(replyLength, 0);

  EXPECT_EQ(log, (Calls{"Write(420,[00 02],1000)", "Read(421,4,1000)", "Write(420,[00 02],1000)",
                        "Read(421,4,1000)", "Write(420,[00 02],1000)", "Read(421,4,1000)",
                        "Write(420,[FF 02],1000)", "Read(421,0,1000)"}));
  EXPECT_TRUE(link.PipesOpen());
}

TEST_F(PipeLinkTest, LengthsBeyondTheCallersBuffersAreCut) {
  OpenAndClearLog();
  const std::array<std::uint8_t, 3> small{0x01, 0x02, 0x03};
  std::array<std::uint8_t, 4> smallReply{};
  std::int32_t length = 61;
  usb.reads.push_back(ReplyClaiming(Bytes(61, 0x11), 61));
  const std::int32_t requestLength = 21;
  EXPECT_EQ(link.ExchangePacket(small, requestLength, smallReply, length, 1000, 1000),
            ExchangeResult::Failed)
      << "a library claiming more than the buffer holds is not believed";
  EXPECT_EQ(log, (Calls{"Write(420,[01 02 03],1000)", "Read(421,4,1000)"}));

  // A count that turns negative as a signed number is still more than was asked for.
  usb.reads.push_back(ReplyClaiming({1, 2, 3, 4}, 0xFFFFFFFFu));
  length = 4;
  EXPECT_EQ(link.ExchangePacket(small, requestLength, smallReply, length, 1000, 1000),
            ExchangeResult::Failed);

  log.clear();
  length = 4;
  const std::int32_t negative = -5;
  usb.reads.push_back(Reply({1, 2, 3, 4}));
  EXPECT_EQ(link.ExchangePacket(small, negative, smallReply, length, 1000, 1000),
            ExchangeResult::Complete);
  EXPECT_EQ(log, (Calls{"Write(420,[],1000)", "Read(421,4,1000)"}));
}

TEST_F(PipeLinkTest, WriteFailingWithInvalidHandleClosesSilently) {
  usb.writeResult = 0;
  usb.writeError = kErrorInvalidHandle;
  const PacketOutcome outcome = link.SendPacket(request, 5, reply, replyLength);
  EXPECT_TRUE(outcome.sent);
  EXPECT_EQ(outcome.result, ExchangeResult::Failed);
  // No read, no message; the caller's close finds nothing left to close.
  EXPECT_EQ(log, (Calls{kCount, kOpenOut, kOpenIn, "Write(420,[00 00 00 00 00],1000)",
                        "GetLastError", "Close(420)", "Close(421)"}));
}

TEST_F(PipeLinkTest, OtherWriteErrorsAreShownAndLeaveThePipesToTheCaller) {
  OpenAndClearLog();
  usb.writeResult = 5;  // anything but 1 is a failure
  usb.writeError = 31;
  EXPECT_EQ(Exchange({0x03, 0x01, 0x00, 0x08, 0x00}, 1), ExchangeResult::Failed);
  EXPECT_EQ(log, (Calls{"Write(420,[03 01 00 08 00],1000)", "GetLastError", "GetLastError",
                        "Message(Error Code :  31)"}));
  EXPECT_TRUE(link.PipesOpen());
}

TEST_F(PipeLinkTest, ReadTimeoutShowsTheCodeWithTwoBlanks) {
  OpenAndClearLog();
  usb.reads.push_back(ReadFails(kErrorTimeout));
  replyLength = 61;
  EXPECT_EQ(Exchange({0x01, 0x38, 0x00, 0x08, 0x00}, 61), ExchangeResult::Failed);
  EXPECT_EQ(replyLength, 61) << "a failed read leaves the expected count";
  EXPECT_EQ(log, (Calls{"Write(420,[01 38 00 08 00],1000)", "Read(421,61,1000)", "GetLastError",
                        "GetLastError", "Message(Error Code :  121)"}));
  EXPECT_TRUE(link.PipesOpen());

  // Codes above the signed range print as the negative number they are taken for.
  usb.reads.push_back(ReadFails(0xFFFFFFFEu));
  Exchange({0x00, 0x02}, 4);
  EXPECT_EQ(log.back(), "Message(Error Code : -2)");

  usb.reads.push_back(ReadFails(kErrorInvalidHandle));
  log.clear();
  Exchange({0x00, 0x02}, 4);
  EXPECT_EQ(log, (Calls{"Write(420,[00 02],1000)", "Read(421,4,1000)", "GetLastError", "Close(420)",
                        "Close(421)"}));
}

TEST_F(PipeLinkTest, InitPipesClosesWhateverIsOpen) {
  link.InitPipes();
  EXPECT_TRUE(log.empty());
  OpenAndClearLog();
  link.InitPipes();
  EXPECT_EQ(log, (Calls{"Close(420)", "Close(421)"}));
  EXPECT_EQ(link.WritePipeHandle(), kInvalidPipe);
  EXPECT_EQ(link.ReadPipeHandle(), kInvalidPipe);
}

TEST_F(PipeLinkTest, DestructionReleasesOpenPipes) {
  {
    UsbPipeLink other(usb, messages);
    other.OpenPipes();
    log.clear();
  }
  EXPECT_EQ(log, (Calls{"Close(420)", "Close(421)"}));
}

class RecordingTap final : public PacketTap {
 public:
  void OnExchange(std::span<const std::uint8_t> request, std::span<const std::uint8_t> reply,
                  ExchangeResult result) override {
    seen.push_back("Exchange([" + Hex(request) + "],[" + Hex(reply) + "]," +
                   std::to_string(static_cast<int>(result)) + ")");
  }
  void OnNotSent(std::span<const std::uint8_t> request) override {
    seen.push_back("NotSent([" + Hex(request) + "])");
  }
  Calls seen;
};

TEST_F(PipeLinkTest, TapSeesOnlyTheBytesThatArrived) {
  RecordingTap tap;
  link.SetPacketTap(&tap);
  request[0] = 0x00;
  request[1] = 0x02;
  reply.fill(0xEE);

  usb.reads.push_back(Reply({0x00, 0x02, 0x12}));
  replyLength = 4;
  link.SendPacket(request, 2, reply, replyLength);
  usb.reads.push_back(ReadFails(kErrorTimeout));
  replyLength = 4;
  link.SendPacket(request, 2, reply, replyLength);
  usb.reads.push_back(Reply({1, 2, 3, 4, 5, 6}));
  replyLength = 4;
  link.SendPacket(request, 2, reply, replyLength);
  usb.count = 0;
  link.SendPacket(request, 2, reply, replyLength);
  link.SetPacketTap(nullptr);
  link.SendPacket(request, 2, reply, replyLength);

  EXPECT_EQ(tap.seen, (Calls{"Exchange([00 02],[00 02 12],2)", "Exchange([00 02],[],0)",
                             "Exchange([00 02],[01 02 03 04],0)", "NotSent([00 02])"}));
}

TEST(NumberTextTest, BlankBeforeZeroAndPositivesMinusBeforeNegatives) {
  EXPECT_EQ(NumberText(420), " 420");
  EXPECT_EQ(NumberText(0), " 0");
  EXPECT_EQ(NumberText(-1), "-1");
  EXPECT_EQ(NumberText(121), " 121");
  EXPECT_EQ(NumberText(std::numeric_limits<std::int32_t>::min()), "-2147483648");
  EXPECT_EQ(NumberText(std::numeric_limits<std::int64_t>::max()), " 9223372036854775807");
}

}  // namespace
}  // namespace korvane::link
