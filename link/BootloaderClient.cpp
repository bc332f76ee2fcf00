#include "link/BootloaderClient.h"

namespace korvane::link {

namespace {

LinkFault Fault(LinkError error) {
  LinkFault fault;
  fault.error = error;
  return fault;
}

}  // namespace

std::string VersionText(const BootloaderVersion& version) {
  return "USB-Bootloader " + NumberText(version.major) + "." + NumberText(version.minor >> 4) +
         NumberText(version.minor & 0x0F) + " detected ";
}

std::string VersionNumber(const BootloaderVersion& version) {
  return std::to_string(version.major) + "." + std::to_string(version.minor >> 4) +
         std::to_string(version.minor & 0x0F);
}

PacketResult BootloaderClient::Send(std::int32_t requestLength, std::int32_t replyLength) {
  const PacketOutcome outcome = link_.SendPacket(request_, requestLength, reply_, replyLength);
  PacketResult result;
  result.sent = outcome.sent;
  written_ = outcome.written;
  received_ = replyLength;
  if (!outcome.sent) {
    LinkFault fault;
    fault.noDevice = outcome.noDevice;
    if (outcome.deviceChanged) {
      fault.error = LinkError::DeviceChanged;
      fault.libraryName = link_.LibraryName();
    }
    result.fault = fault;
  } else if (outcome.result == ExchangeResult::Short) {
    result.fault = Fault(LinkError::ShortReply);
  } else if (outcome.result != ExchangeResult::Complete) {
    result.fault = Fault(LinkError::ExchangeFailed);
    result.fault->errorCode = outcome.errorCode;
  } else {
    result.fault.reset();
  }
  return result;
}

BootloaderClient::VersionResult BootloaderClient::Version() {
  VersionResult result;
  static_cast<PacketResult&>(result) = Send(BuildVersionQuery(request_), kVersionReplyLength);
  if (result.ok()) {
    result.version = {reply_[3], reply_[2]};
  }
  return result;
}

PacketResult BootloaderClient::Reset() {
  PacketResult result = Send(BuildDeviceReset(request_), kResetReplyLength);
  if (result.sent && written_) {
    result.fault.reset();
  } else if (result.sent) {
    // The request did not go out whole: the library's error, if it had one.
    const std::uint32_t errorCode = result.fault ? result.fault->errorCode : 0;
    result.fault = Fault(LinkError::ExchangeFailed);
    result.fault->errorCode = errorCode;
  }
  return result;
}

PacketResult BootloaderClient::Erase(std::int32_t address) {
  return Send(BuildFlashErase(request_, address), kAckReplyLength);
}

PacketResult BootloaderClient::Write(Memory memory, std::int32_t address,
                                     std::span<const std::uint8_t, kWriteChunk> data) {
  const std::int32_t length = memory == Memory::Flash ? BuildFlashWrite(request_, address, data)
                                                      : BuildEepromWrite(request_, address, data);
  return Send(length, kAckReplyLength);
}

BootloaderClient::ReadResult BootloaderClient::Read(Memory memory, std::int32_t address,
                                                    std::size_t needed) {
  const bool flash = memory == Memory::Flash;
  ReadResult result;
  static_cast<PacketResult&>(result) =
      Send(flash ? BuildFlashRead(request_, address) : BuildEepromRead(request_, address),
           flash ? kFlashReadReplyLength : kEepromReadReplyLength);
  if (!result.ok()) {
    return result;
  }
  // A reply that names another command or address answers another request (a stale or
  // shifted reply): its data stand for other memory.
  if (!EchoesRequest(request_, reply_)) {
    result.fault = Fault(LinkError::WrongEcho);
    result.fault->echoedCommand = reply_[kCommandByte];
    result.fault->echoedAddress = PacketAddress(reply_);
    return result;
  }
  const std::size_t count = reply_[kLengthByte];
  if (count > request_[kLengthByte]) {
    result.fault = Fault(LinkError::CountTooLarge);
  } else if (count < needed) {
    // The bytes it leaves out were never read back.
    result.fault = Fault(LinkError::ShortCount);
    result.fault->answered = static_cast<std::uint32_t>(count);
    result.fault->needed = static_cast<std::uint32_t>(needed);
  } else if (received_ < 0 || kDataByte + count > static_cast<std::size_t>(received_)) {
    result.fault = Fault(LinkError::ShortReply);
  } else {
    result.data = std::span<const std::uint8_t>(reply_).subspan(kDataByte, count);
  }
  return result;
}

}  // namespace korvane::link
