#include "emulator/EmulatedUsbLibrary.h"

#include <algorithm>
#include <limits>
#include <thread>
#include <utility>

#include "link/BootloaderPacket.h"
#include "link/UsbPipeLink.h"

namespace korvane::emulator {
namespace {

using link::Command;

// Host time between two modelled delays longer than this is idle time (the user reading a
// window, say): the next delay starts afresh from that moment.
constexpr std::chrono::microseconds kIdleGap{20000};

bool SameTextIgnoringCase(std::string_view a, std::string_view b) {
  const auto lower = [](char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  };
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [&](char x, char y) { return lower(x) == lower(y); });
}

bool IsRead(std::uint8_t command) {
  return command == static_cast<std::uint8_t>(Command::FlashRead) ||
         command == static_cast<std::uint8_t>(Command::EepromRead);
}

std::uint32_t Chunks(std::uint32_t bytes) {
  return (bytes + link::kWriteChunk - 1) / link::kWriteChunk;
}

}  // namespace

EmulatedUsbLibrary::EmulatedUsbLibrary() {
  pipes_.reserve(8);
}

const EmulatedUsbLibrary::Pipe* EmulatedUsbLibrary::FindPipe(link::PipeHandle handle) const {
  const auto it = std::find_if(pipes_.begin(), pipes_.end(),
                               [handle](const Pipe& pipe) { return pipe.handle == handle; });
  return it == pipes_.end() ? nullptr : &*it;
}

const Fault* EmulatedUsbLibrary::FaultAt(FaultKind kind) const {
  if (faults_.empty() || packetsBegun_ == 0) {
    return nullptr;
  }
  const std::uint32_t packet = CurrentPacket();
  const auto it = std::find_if(faults_.begin(), faults_.end(), [&](const Fault& fault) {
    return fault.kind == kind && fault.packetIndex == packet;
  });
  return it == faults_.end() ? nullptr : &*it;
}

std::int32_t EmulatedUsbLibrary::Fail(std::uint32_t error) {
  lastError_ = error;
  return 0;
}

std::int32_t EmulatedUsbLibrary::MPUSBGetDeviceCount(std::string_view identity) {
  ++packetsBegun_;
  if (FaultAt(FaultKind::Unplug) != nullptr) {
    Unplug();
  }
  if (FaultAt(FaultKind::Arrival) != nullptr) {
    ++otherDevices_;
  }
  if (!SameTextIgnoringCase(identity, link::kDeviceIdentity)) {
    return 0;
  }
  const bool present = attached_ && device_.InBootloader();
  return (present ? 1 : 0) + otherDevices_;
}

link::PipeHandle EmulatedUsbLibrary::MPUSBOpen(std::uint32_t instance, std::string_view identity,
                                               std::string_view pipeName, std::uint32_t direction,
                                               std::uint32_t /*reserved*/) {
  if (instance != 0 || !SameTextIgnoringCase(identity, link::kDeviceIdentity) ||
      !SameTextIgnoringCase(pipeName, link::kPipeName) || direction > 1 || !attached_ ||
      !device_.InBootloader()) {
    return link::kInvalidPipe;
  }
  if (const Fault* fault = FaultAt(FaultKind::OpenFail);
      fault != nullptr && fault->direction == direction) {
    return link::kInvalidPipe;
  }
  // Handles count up and wrap before they would overflow, skipping any still in use.
  while (FindPipe(nextHandle_) != nullptr) {
    nextHandle_ = nextHandle_ == std::numeric_limits<link::PipeHandle>::max() ? 1 : nextHandle_ + 1;
  }
  const link::PipeHandle handle = nextHandle_;
  nextHandle_ = nextHandle_ == std::numeric_limits<link::PipeHandle>::max() ? 1 : nextHandle_ + 1;
  pipes_.push_back(Pipe{handle, direction, true});
  return handle;
}

std::int32_t EmulatedUsbLibrary::MPUSBWrite(link::PipeHandle handle,
                                            std::span<const std::uint8_t> data, std::uint32_t& sent,
                                            std::uint32_t /*timeoutMs*/) {
  sent = 0;
  // A reply nobody read is gone once the next request is on its way, sent or not.
  pending_.present = false;
  if (FaultAt(FaultKind::UnplugDuringExchange) != nullptr) {
    Unplug();
  }
  const Pipe* pipe = FindPipe(handle);
  if (pipe == nullptr || pipe->direction != 0 || !pipe->alive) {
    return Fail(link::kErrorInvalidHandle);
  }
  if (const Fault* fault = FaultAt(FaultKind::WriteError); fault != nullptr) {
    return Fail(fault->errorCode);
  }
  Delay(timing_.perTransfer);
  device_.Handle(data, pending_);
  Delay(OperationDelay(data));
  sent = static_cast<std::uint32_t>(data.size());

  if (const Fault* fault = FaultAt(FaultKind::BitFlip); fault != nullptr) {
    FlipBit(data, *fault);
  }
  if (pending_.present) {
    if (FaultAt(FaultKind::Timeout) != nullptr) {
      pending_.present = false;
    } else if (const Fault* cut = FaultAt(FaultKind::ShortReply); cut != nullptr) {
      pending_.size -= std::min<std::size_t>(pending_.size, cut->cutBytes);
    } else if (const Fault* extra = FaultAt(FaultKind::LongReply); extra != nullptr) {
      const std::size_t grown =
          std::min<std::size_t>(pending_.bytes.size(), pending_.size + extra->cutBytes);
      std::fill(pending_.bytes.begin() + static_cast<std::ptrdiff_t>(pending_.size),
                pending_.bytes.begin() + static_cast<std::ptrdiff_t>(grown), std::uint8_t{0});
      pending_.size = grown;
    } else if (pending_.size >= link::kDataByte && IsRead(pending_.bytes[link::kCommandByte])) {
      AlterReadReply();
    }
  }
  if (recording_) {
    recorded_.push_back(RecordedExchange{CurrentPacket(), {data.begin(), data.end()}, {}});
    recordPending_ = true;
  }
  return 1;
}

std::int32_t EmulatedUsbLibrary::MPUSBRead(link::PipeHandle handle, std::span<std::uint8_t> buffer,
                                           std::uint32_t& received, std::uint32_t timeoutMs) {
  received = 0;
  const Pipe* pipe = FindPipe(handle);
  if (pipe == nullptr || pipe->direction != 1 || !pipe->alive) {
    return Fail(link::kErrorInvalidHandle);
  }
  const bool hadRecord = std::exchange(recordPending_, false);
  if (!pending_.present) {
    if (buffer.empty()) {
      return 1;  // nothing asked for, nothing to wait for
    }
    Delay(std::chrono::milliseconds(timeoutMs));
    return Fail(link::kErrorTimeout);
  }
  Delay(timing_.perTransfer);
  pending_.present = false;
  const auto reply = pending_.View();
  const std::size_t copied = std::min(reply.size(), buffer.size());
  std::copy_n(reply.begin(), copied, buffer.begin());
  received = static_cast<std::uint32_t>(reply.size());
  if (hadRecord && !recorded_.empty()) {
    recorded_.back().reply.assign(reply.begin(), reply.begin() + copied);
  }
  return 1;
}

std::int32_t EmulatedUsbLibrary::MPUSBClose(link::PipeHandle handle) {
  const auto it = std::find_if(pipes_.begin(), pipes_.end(),
                               [handle](const Pipe& pipe) { return pipe.handle == handle; });
  if (it == pipes_.end()) {
    return 0;
  }
  pipes_.erase(it);
  return 1;
}

void EmulatedUsbLibrary::AlterReadReply() {
  if (const Fault* fault = FaultAt(FaultKind::LongCount); fault != nullptr) {
    pending_.bytes[link::kLengthByte] = fault->count;
  } else if (const Fault* shortCount = FaultAt(FaultKind::ShortCount); shortCount != nullptr) {
    pending_.bytes[link::kLengthByte] =
        std::min(shortCount->shortCount, pending_.bytes[link::kLengthByte]);
  } else if (const Fault* echo = FaultAt(FaultKind::WrongEcho);
             echo != nullptr && echo->byteIndex < link::kDataByte &&
             echo->byteIndex != link::kLengthByte) {
    pending_.bytes[echo->byteIndex] ^= static_cast<std::uint8_t>(1u << (echo->bit & 7u));
  }
}

void EmulatedUsbLibrary::FlipBit(std::span<const std::uint8_t> request, const Fault& fault) {
  if (request.size() < link::kDataByte) {
    return;
  }
  const std::uint64_t address =
      (static_cast<std::uint64_t>(request[link::kAddressLowByte]) |
       static_cast<std::uint64_t>(request[link::kAddressHighByte]) << 8 |
       static_cast<std::uint64_t>(request[link::kAddressUpperByte]) << 16) +
      fault.byteIndex;
  const auto mask = static_cast<std::uint8_t>(1u << (fault.bit & 7u));
  const auto command = request[link::kCommandByte];
  if (command == static_cast<std::uint8_t>(Command::FlashWrite) && address >= kBootBlockEnd &&
      address < kDeviceFlashSize) {
    device_.MutableFlash()[address] ^= mask;
  } else if (command == static_cast<std::uint8_t>(Command::EepromWrite) &&
             address < kDeviceEepromSize) {
    device_.MutableEeprom()[address] ^= mask;
  }
}

std::chrono::microseconds EmulatedUsbLibrary::OperationDelay(
    std::span<const std::uint8_t> request) const {
  if (!timingEnabled_ || request.size() < link::kDataByte) {
    return std::chrono::microseconds{0};
  }
  const std::uint32_t count = request[link::kLengthByte];
  switch (static_cast<Command>(request[link::kCommandByte])) {
    case Command::FlashErase:
      return timing_.perFlashErase * count;
    case Command::FlashWrite:
      return timing_.perFlashWrite * Chunks(count);
    case Command::EepromWrite:
      return timing_.perEepromWrite * Chunks(count);
    default:
      return std::chrono::microseconds{0};
  }
}

void EmulatedUsbLibrary::Delay(std::chrono::microseconds delay) {
  if (!timingEnabled_ || delay.count() <= 0) {
    return;
  }
  modelledDelay_ += delay;
  // The delays run back to back on one schedule. The time the host spent since the last sleep
  // returned is added to it in full, as it would be with a real device, while the time the
  // system overslept is made up for by sleeping that much less now. So the wall time is the
  // modelled delays plus the host's own work, without the sleeps' own inaccuracy.
  const auto now = std::chrono::steady_clock::now();
  const auto hostTime = now - wake_;
  if (deadline_ == std::chrono::steady_clock::time_point{} || hostTime > kIdleGap) {
    deadline_ = now;
  } else {
    deadline_ += hostTime;
  }
  deadline_ += delay;
  if (sleepUntil_) {
    sleepUntil_(deadline_);
  } else {
    std::this_thread::sleep_until(deadline_);
  }
  wake_ = std::chrono::steady_clock::now();
}

void EmulatedUsbLibrary::SetTiming(bool enabled, TimingModel model) {
  timingEnabled_ = enabled;
  timing_ = model;
  deadline_ = {};
  wake_ = {};
}

void EmulatedUsbLibrary::Unplug() {
  attached_ = false;
  pending_.present = false;
  for (Pipe& pipe : pipes_) {
    pipe.alive = false;
  }
}

void EmulatedUsbLibrary::PlugIn() {
  attached_ = true;
  device_.ReturnToBootloader();
}

bool EmulatedUsbLibrary::Attached() const {
  return attached_;
}

void EmulatedUsbLibrary::AddFault(const Fault& fault) {
  faults_.push_back(fault);
}

void EmulatedUsbLibrary::ClearFaults() {
  faults_.clear();
}

}  // namespace korvane::emulator
