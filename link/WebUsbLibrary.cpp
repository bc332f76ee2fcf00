#include "link/WebUsbLibrary.h"

#include "link/UsbIdentity.h"

#include <emscripten.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <limits>
#include <optional>
#include <utility>

// The browser's side: KorvaneWebUsb in WebUsbLibrary.js, bundled with the program. Each function
// answers a count of bytes (or devices, or a session number) when it is zero or more, else one of
// the outcomes below.

// clang-format off
EM_ASYNC_JS(int, korvane_usb_count, (int vendor, int product, int offerChooser), {
  return await KorvaneWebUsb.count(vendor, product, offerChooser !== 0);
});
EM_ASYNC_JS(int, korvane_usb_open, (int instance, int endpoint, int direction), {
  return await KorvaneWebUsb.open(instance, endpoint, direction);
});
EM_ASYNC_JS(int, korvane_usb_write,
            (int session, int endpoint, const unsigned char* data, int length, int timeoutMs), {
  // Copied before anything is awaited: the module's memory may move while it waits.
  const bytes = HEAPU8.slice(data, data + length);
  return await KorvaneWebUsb.transferOut(session, endpoint, bytes, timeoutMs);
});
EM_ASYNC_JS(int, korvane_usb_read,
            (int session, int endpoint, unsigned char* buffer, int length, int timeoutMs), {
  const result = await KorvaneWebUsb.transferIn(session, endpoint, length, timeoutMs);
  if (result.bytes) {
    HEAPU8.set(result.bytes.subarray(0, Math.min(length, result.bytes.length)), buffer);
  }
  return result.outcome;
});
EM_JS(void, korvane_usb_release, (int session), {
  KorvaneWebUsb.release(session);
});
EM_JS(void, korvane_usb_close_all, (), {
  KorvaneWebUsb.closeAll();
});
// clang-format on

namespace korvane::link {

namespace {

// The browser's outcomes, as WebUsbLibrary.js numbers them.
enum Outcome : int {
  kTimedOut = -1,       // the time-out passed; the device was closed to cancel the transfer
  kGone = -2,           // the device was unplugged or is not there any more
  kStall = -3,          // the endpoint stalled (it has been cleared again)
  kBabble = -4,         // the device sent more than a whole packet
  kAccessDenied = -5,   // the system refused the browser access to the device
  kBusy = -6,           // the interface is claimed by another program or page
  kNoPipe = -7,         // no such device instance, or no interface holds the endpoint
  kIoError = -8,        // the transfer or the opening failed while the device stayed
  kAborted = -9,        // the transfer was cancelled
  kNotSupported = -10,  // the endpoint is isochronous
  kOther = -11,         // anything else the browser reported
};

// Windows system error codes, as the link and the users of the other backends know them.

std::uint32_t WindowsCodeFor(int outcome) {
  switch (outcome) {
    case kTimedOut:
      return kErrorTimeout;
    case kGone:
      return kErrorInvalidHandle;
    case kBabble:
      return kErrorMoreData;
    case kAccessDenied:
      return kErrorAccessDenied;
    case kBusy:
      return kErrorBusy;
    case kNoPipe:
      return kErrorFileNotFound;
    case kIoError:
      return kErrorIoDevice;
    case kAborted:
      return kErrorOperationAborted;
    case kNotSupported:
      return kErrorNotSupported;
    default:  // a stall, and whatever else went wrong
      return kErrorGenFailure;
  }
}

constexpr std::string_view kAccessDeniedNotice =
    "The browser was refused access to the device. On Linux, install Korvane's udev rule "
    "(70-korvane.rules) and plug the device in again; on Windows, the device needs the WinUSB "
    "driver.";
constexpr std::string_view kBusyNotice =
    "The device is in use by another program or browser tab: close that first.";

}  // namespace

WebUsbLibrary::~WebUsbLibrary() {
  korvane_usb_close_all();
}

void WebUsbLibrary::Fail(int outcome) {
  lastError_ = WindowsCodeFor(outcome);
  if (outcome == kAccessDenied) {
    notice_ = kAccessDeniedNotice;
  } else if (outcome == kBusy) {
    notice_ = kBusyNotice;
  }
}

std::string WebUsbLibrary::TakeUserNotice() {
  return std::exchange(notice_, {});
}

std::int32_t WebUsbLibrary::MPUSBGetDeviceCount(std::string_view identity) {
  const auto parsed = ParseUsbIdentity(identity);
  if (!parsed) {
    return 0;
  }
  // The chooser is shown at most once per offer, whatever the user picks in it.
  const bool offer = std::exchange(offer_, false);
  return std::max(korvane_usb_count(parsed->vendor, parsed->product, offer ? 1 : 0), 0);
}

PipeHandle WebUsbLibrary::MPUSBOpen(std::uint32_t instance, std::string_view identity,
                                    std::string_view pipeName, std::uint32_t direction,
                                    std::uint32_t /*reserved*/) {
  const auto endpoint = ParsePipeEndpoint(pipeName);
  if (!ParseUsbIdentity(identity) || !endpoint || direction > 1 ||
      instance > static_cast<std::uint32_t>(std::numeric_limits<int>::max())) {
    lastError_ = kErrorInvalidParameter;
    return kInvalidPipe;
  }
  const int session =
      korvane_usb_open(static_cast<int>(instance), *endpoint, static_cast<int>(direction));
  if (session <= 0) {
    Fail(session < 0 ? session : kOther);
    return kInvalidPipe;
  }
  // Handles count up and start again at 1 before they would overflow, skipping any in use.
  while (pipes_.contains(nextHandle_)) {
    nextHandle_ = nextHandle_ == std::numeric_limits<PipeHandle>::max() ? 1 : nextHandle_ + 1;
  }
  const PipeHandle handle = nextHandle_;
  nextHandle_ = nextHandle_ == std::numeric_limits<PipeHandle>::max() ? 1 : nextHandle_ + 1;
  pipes_.emplace(handle, Pipe{session, *endpoint, direction});
  return handle;
}

const WebUsbLibrary::Pipe* WebUsbLibrary::Find(PipeHandle handle, std::uint32_t direction) {
  const auto found = pipes_.find(handle);
  if (found == pipes_.end() || found->second.direction != direction) {
    lastError_ = kErrorInvalidHandle;
    return nullptr;
  }
  return &found->second;
}

std::int32_t WebUsbLibrary::MPUSBWrite(PipeHandle handle, std::span<const std::uint8_t> data,
                                       std::uint32_t& sent, std::uint32_t timeoutMs) {
  sent = 0;
  const Pipe* pipe = Find(handle, 0);
  if (pipe == nullptr) {
    return 0;
  }
  if (data.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
    lastError_ = kErrorInvalidParameter;
    return 0;
  }
  // A time-out of 0 would fail every transfer at once; the link's callers never mean that.
  const int timeout = static_cast<int>(std::clamp<std::uint32_t>(timeoutMs, 1, 0x7FFFFFFF));
  const int result = korvane_usb_write(pipe->session, pipe->endpoint, data.data(),
                                       static_cast<int>(data.size()), timeout);
  if (result < 0) {
    Fail(result);
    return 0;
  }
  sent = static_cast<std::uint32_t>(result);
  return 1;
}

std::int32_t WebUsbLibrary::MPUSBRead(PipeHandle handle, std::span<std::uint8_t> buffer,
                                      std::uint32_t& received, std::uint32_t timeoutMs) {
  received = 0;
  const Pipe* pipe = Find(handle, 1);
  if (pipe == nullptr) {
    return 0;
  }
  if (buffer.empty()) {
    // Nothing asked for, nothing to wait for: the reset request expects no reply, and the
    // device may be gone before a zero-length packet could arrive.
    return 1;
  }
  if (buffer.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
    lastError_ = kErrorInvalidParameter;
    return 0;
  }
  const int timeout = static_cast<int>(std::clamp<std::uint32_t>(timeoutMs, 1, 0x7FFFFFFF));
  // At most buffer.size() bytes land in the buffer; the result is the true count, which the
  // link takes as a failure when it is larger.
  const int result = korvane_usb_read(pipe->session, pipe->endpoint, buffer.data(),
                                      static_cast<int>(buffer.size()), timeout);
  if (result < 0) {
    Fail(result);
    return 0;
  }
  received = static_cast<std::uint32_t>(result);
  return 1;
}

std::int32_t WebUsbLibrary::MPUSBClose(PipeHandle handle) {
  const auto found = pipes_.find(handle);
  if (found == pipes_.end()) {
    lastError_ = kErrorInvalidHandle;
    return 0;
  }
  korvane_usb_release(found->second.session);
  pipes_.erase(found);
  return 1;
}

}  // namespace korvane::link
