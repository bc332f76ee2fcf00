#include "link/UsbPipeLink.h"

#include <algorithm>
#include <string>
#include <thread>

namespace korvane::link {

std::string NumberText(std::int64_t value) {
  // Negative numbers bring their own minus sign; the others get one blank in its place.
  std::string text = value < 0 ? "" : " ";
  return text += std::to_string(value);
}

void UsbLibrary::WaitForArrival(std::string_view, std::chrono::milliseconds timeout) {
  std::this_thread::sleep_for(timeout);
}

UsbPipeLink::UsbPipeLink(UsbLibrary& library, LinkMessages& messages, std::uint32_t instance)
    : library_(library), messages_(messages), instance_(instance) {}

UsbPipeLink::~UsbPipeLink() {
  ClosePipes();
}

void UsbPipeLink::InitPipes() {
  if (writePipe_ != kInvalidPipe) {
    library_.MPUSBClose(writePipe_);
  }
  if (readPipe_ != kInvalidPipe) {
    library_.MPUSBClose(readPipe_);
  }
  writePipe_ = kInvalidPipe;
  readPipe_ = kInvalidPipe;
}

void UsbPipeLink::ShowNotice() {
  const std::string notice = library_.TakeUserNotice();
  if (!notice.empty()) {
    messages_.ShowLibraryNotice(notice);
  }
}

void UsbPipeLink::WatchDeviceCount(bool watch) {
  watchDepth_ += watch ? 1 : -1;
  if (watchDepth_ <= 0) {
    watchDepth_ = 0;
    watchedCount_ = -1;
    countChanged_ = false;
  }
}

void UsbPipeLink::OpenPipes() {
  const std::int32_t count = library_.MPUSBGetDeviceCount(kDeviceIdentity);
  if (watchDepth_ > 0 && !library_.IdentifiesDevice()) {
    if (watchedCount_ < 0) {
      watchedCount_ = std::max(count, 0);
    } else if (std::max(count, 0) != watchedCount_) {
      countChanged_ = true;
    }
    if (countChanged_) {
      // The instance may name another device now: nothing more is sent to it.
      deviceFound_ = false;
      return;
    }
  }
  deviceFound_ = static_cast<std::int64_t>(count) > static_cast<std::int64_t>(instance_);
  if (!deviceFound_) {
    // No device: nothing is opened and nothing is said, unless the library itself could not be
    // started, which it tells once.
    ShowNotice();
    return;
  }
  writePipe_ = library_.MPUSBOpen(instance_, kDeviceIdentity, kPipeName, 0, 0);
  readPipe_ = library_.MPUSBOpen(instance_, kDeviceIdentity, kPipeName, 1, 0);
  if (writePipe_ == kInvalidPipe || readPipe_ == kInvalidPipe) {
    messages_.ShowLinkMessage(NumberText(writePipe_) + NumberText(readPipe_) +
                              "Failed to open data pipes.");
    ShowNotice();
    // The pipe that did open is released, so that no handle is left behind.
    ClosePipes();
  }
}

void UsbPipeLink::ClosePipes() {
  if (writePipe_ != kInvalidPipe) {
    library_.MPUSBClose(writePipe_);
    writePipe_ = kInvalidPipe;
  }
  if (readPipe_ != kInvalidPipe) {
    library_.MPUSBClose(readPipe_);
    readPipe_ = kInvalidPipe;
  }
}

void UsbPipeLink::ReportPipeError() {
  lastErrorCode_ = library_.GetLastError();
  if (lastErrorCode_ == kErrorInvalidHandle) {
    ClosePipes();
    return;
  }
  lastErrorCode_ = library_.GetLastError();
  messages_.ShowLinkMessage("Error Code : " +
                            NumberText(static_cast<std::int32_t>(lastErrorCode_)));
}

ExchangeResult UsbPipeLink::ExchangePacket(std::span<const std::uint8_t> request,
                                           const std::int32_t& requestLength,
                                           std::span<std::uint8_t> reply, std::int32_t& replyLength,
                                           std::int32_t writeTimeoutMs,
                                           std::int32_t readTimeoutMs) {
  const std::int32_t expected = replyLength;
  if (writePipe_ == kInvalidPipe || readPipe_ == kInvalidPipe) {
    return ExchangeResult::Failed;
  }
  // Never reach past the caller's buffers, whatever the lengths say.
  const auto sendCount =
      std::min<std::size_t>(request.size(), static_cast<std::size_t>(std::max(requestLength, 0)));
  std::uint32_t sent = 0;
  lastWriteComplete_ = false;
  if (library_.MPUSBWrite(writePipe_, request.first(sendCount), sent,
                          static_cast<std::uint32_t>(writeTimeoutMs)) != 1) {
    ReportPipeError();
    return ExchangeResult::Failed;
  }
  lastWriteComplete_ = sent == sendCount;
  const auto readCount =
      std::min<std::size_t>(reply.size(), static_cast<std::size_t>(std::max(expected, 0)));
  std::uint32_t received = 0;
  if (library_.MPUSBRead(readPipe_, reply.first(readCount), received,
                         static_cast<std::uint32_t>(readTimeoutMs)) != 1) {
    ReportPipeError();
    return ExchangeResult::Failed;
  }
  replyLength = static_cast<std::int32_t>(received);
  if (received > readCount) {
    // More arrived than was asked for (or than fits): a failure. Checked on the unsigned count,
    // so a huge count cannot pass for a short reply once taken as signed.
    return ExchangeResult::Failed;
  }
  if (replyLength == expected) {
    return ExchangeResult::Complete;
  }
  return replyLength < expected ? ExchangeResult::Short : ExchangeResult::Failed;
}

PacketOutcome UsbPipeLink::SendPacket(std::span<const std::uint8_t> request,
                                      std::int32_t requestLength, std::span<std::uint8_t> reply,
                                      std::int32_t& replyLength) {
  const auto shown =
      request.first(std::min<std::size_t>(request.size(), std::max(requestLength, 0)));
  PacketOutcome outcome;
  OpenPipes();
  outcome.deviceChanged = countChanged_;
  outcome.noDevice = !deviceFound_ && !countChanged_;
  if (PipesOpen()) {
    outcome.sent = true;
    const std::int32_t expected = replyLength;
    lastErrorCode_ = 0;
    lastWriteComplete_ = false;
    outcome.result =
        ExchangePacket(request, requestLength, reply, replyLength, kTimeoutMs, kTimeoutMs);
    outcome.written = lastWriteComplete_;
    outcome.errorCode = lastErrorCode_;
    if (tap_ != nullptr) {
      // What came back: nothing when the write or read failed (the count variable then still
      // holds the expected count); else the received count, but never more than the read asked
      // for, since only that much landed in the buffer.
      std::size_t got = 0;
      if (outcome.result != ExchangeResult::Failed || replyLength != expected) {
        got = std::min<std::size_t>({reply.size(), static_cast<std::size_t>(std::max(expected, 0)),
                                     static_cast<std::size_t>(std::max(replyLength, 0))});
      }
      tap_->OnExchange(shown, reply.first(got), outcome.result);
    }
  } else if (tap_ != nullptr) {
    tap_->OnNotSent(shown);
  }
  ClosePipes();
  return outcome;
}

}  // namespace korvane::link
