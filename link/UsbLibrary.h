#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace korvane::link {

using PipeHandle = std::int32_t;
inline constexpr PipeHandle kInvalidPipe = -1;

// Windows system error codes, as the link expects them from GetLastError.
inline constexpr std::uint32_t kErrorInvalidHandle = 6;
inline constexpr std::uint32_t kErrorTimeout = 121;
inline constexpr std::uint32_t kErrorAccessDenied = 5;

// One USB host controller addresses at most 127 devices.
inline constexpr std::int32_t kMaxDevices = 127;

// One attached device as a library sees it: the instance number MPUSBOpen takes for it, and
// where it is plugged in ("1-3.4": bus 1, hub port 3, port 4), empty when the library cannot
// tell.
struct AttachedDevice {
  std::uint32_t instance = 0;
  std::string location;
};

// The USB library the pipe link talks through: the six operations of the vendor's pipe API.
// Implemented by the libusb backend (real devices) and by the emulated bootloader device.
class UsbLibrary {
 public:
  virtual ~UsbLibrary() = default;

  // Number of attached devices that match the identity ("vid_04d8&pid_a5e2"); 0 or less: none.
  virtual std::int32_t MPUSBGetDeviceCount(std::string_view identity) = 0;
  // Opens one pipe of device `instance`: direction 0 is OUT (host to device), 1 is IN.
  // Returns a handle, or kInvalidPipe on failure.
  virtual PipeHandle MPUSBOpen(std::uint32_t instance, std::string_view identity,
                               std::string_view pipeName, std::uint32_t direction,
                               std::uint32_t reserved) = 0;
  // Writes all of `data`; stores the count sent. Returns 1 on success, anything else on failure.
  virtual std::int32_t MPUSBWrite(PipeHandle handle, std::span<const std::uint8_t> data,
                                  std::uint32_t& sent, std::uint32_t timeoutMs) = 0;
  // Reads up to buffer.size() bytes (the expected count); stores the count received.
  // Returns 1 on success, anything else on failure.
  virtual std::int32_t MPUSBRead(PipeHandle handle, std::span<std::uint8_t> buffer,
                                 std::uint32_t& received, std::uint32_t timeoutMs) = 0;
  // Releases a pipe; the result is ignored by the link.
  virtual std::int32_t MPUSBClose(PipeHandle handle) = 0;
  // Error code of the last failed write or read.
  virtual std::uint32_t GetLastError() = 0;

  // True when the instance the link opens is always the same physical device while it stays
  // attached (a library pinned to one place, or one that serves a single device). False when
  // instances are only positions in a list that shifts as devices come and go: then a run
  // watches the device count (see UsbPipeLink::WatchDeviceCount).
  virtual bool IdentifiesDevice() const { return false; }
  // True when the library tells where each device is plugged in, so that it can be pinned.
  virtual bool KnowsPlaces() const { return false; }
  // How the user knows the library ("vbmpusbapi.dll", "libusb").
  virtual std::string LibraryName() const { return "the USB library"; }

  // Whether the library can be used here: it loads and has what it needs (Usable); it is not
  // on this system at all (Missing: a chooser passes over it without a word); or it is there
  // but cannot be used (Broken: its notice says why). Finding out may load it.
  enum class Availability { Usable, Missing, Broken };
  virtual Availability Available() { return Availability::Usable; }

  // A plain sentence for the user that the library has to add to a failure (for example that
  // access to the device was denied and which rule to install), or empty. Taking it clears it.
  virtual std::string TakeUserNotice() { return {}; }

  // The attached devices that match the identity, in instance order. A library without places
  // lists instances 0 to count - 1 with empty locations; a count beyond what USB can attach
  // is not believed beyond that.
  virtual std::vector<AttachedDevice> ListDevices(std::string_view identity) {
    std::vector<AttachedDevice> devices;
    const std::int32_t count = std::min(MPUSBGetDeviceCount(identity), kMaxDevices);
    for (std::int32_t i = 0; i < count; ++i) {
      devices.push_back(AttachedDevice{static_cast<std::uint32_t>(i), {}});
    }
    return devices;
  }
  // From now on the library sees only the device plugged in at `location`, as instance 0, so
  // that other devices coming and going cannot change which device the link opens. False when
  // the library has no locations (then the caller addresses the device by instance number).
  virtual bool PinLocation(std::string_view /*location*/) { return false; }
  // Returns when a matching device may have arrived, at the latest after `timeout`. Libraries
  // told of arrivals return early; the others just let the time pass, so callers scan again.
  virtual void WaitForArrival(std::string_view /*identity*/, std::chrono::milliseconds timeout);
  // Lines for a reader who wants to know why no device answers: library version, every device
  // with the identity, where it is, whether it could be opened and why not. Empty when the
  // library has nothing to add.
  virtual std::vector<std::string> Diagnostics(std::string_view /*identity*/) { return {}; }
  // One sentence for a user whom no device answered: the next step that fits what the system
  // shows (for example which driver to install), or empty when the library cannot tell.
  virtual std::string NoDeviceAdvice(std::string_view /*identity*/) { return {}; }
};

}  // namespace korvane::link
