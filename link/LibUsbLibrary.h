#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "link/UsbIdentity.h"
#include "link/UsbLibrary.h"

struct libusb_context;

namespace korvane::link {

// The udev rule that gives the logged-in user access to the device (packaging/linux/).
inline constexpr std::string_view kUdevRuleName = "70-korvane.rules";

// The Windows code a libusb error code (LIBUSB_ERROR_*) is reported as.
std::uint32_t WindowsErrorFor(int libusbError);

// The USB library on libusb-1.0: real devices on Linux, and on Windows the devices bound to
// WinUSB, libusbK or libusb0.
// One libusb context serves every instance alive in the process; it is created on first use.
// The OUT and IN pipe of one device share one opened device handle. Instances follow the
// devices' places: by bus, then port path. One LibUsbLibrary serves one thread; several can
// serve several threads at once.
class LibUsbLibrary final : public UsbLibrary {
 public:
  // Pipe handles are numbered from `firstHandle` up (at least 1), wrapping back to 1.
  explicit LibUsbLibrary(PipeHandle firstHandle = 1);
  LibUsbLibrary(const LibUsbLibrary&) = delete;
  LibUsbLibrary& operator=(const LibUsbLibrary&) = delete;
  ~LibUsbLibrary() override;

  std::int32_t MPUSBGetDeviceCount(std::string_view identity) override;
  PipeHandle MPUSBOpen(std::uint32_t instance, std::string_view identity, std::string_view pipeName,
                       std::uint32_t direction, std::uint32_t reserved) override;
  std::int32_t MPUSBWrite(PipeHandle handle, std::span<const std::uint8_t> data,
                          std::uint32_t& sent, std::uint32_t timeoutMs) override;
  std::int32_t MPUSBRead(PipeHandle handle, std::span<std::uint8_t> buffer, std::uint32_t& received,
                         std::uint32_t timeoutMs) override;
  std::int32_t MPUSBClose(PipeHandle handle) override;
  std::uint32_t GetLastError() override { return lastError_; }
  std::string TakeUserNotice() override;
  std::vector<AttachedDevice> ListDevices(std::string_view identity) override;
  bool PinLocation(std::string_view location) override;
  // Pinned to a place, the instance is the device plugged in there; else it is a position.
  bool IdentifiesDevice() const override { return pinned_.has_value(); }
  bool KnowsPlaces() const override { return true; }
  std::string LibraryName() const override { return "libusb"; }
  // Broken when libusb cannot be started (its notice says why).
  Availability Available() override;
  // With libusb hotplug (Linux): returns as soon as a matching device arrives. Where the
  // system's devices have changed without libusb hearing of it (no udev events), it returns at
  // once with a new context that sees them.
  void WaitForArrival(std::string_view identity, std::chrono::milliseconds timeout) override;
  std::vector<std::string> Diagnostics(std::string_view identity) override;

  // Pipes currently open, and devices they keep open (two pipes of one device count once).
  std::size_t OpenPipeCount() const { return pipes_.size(); }
  std::size_t OpenDeviceCount() const;

 private:
  class Context;
  class OpenDevice;
  struct Pipe;

  // The shared context, created when needed; nullptr when libusb cannot be started.
  libusb_context* UsbContext();
  std::int32_t Transfer(PipeHandle handle, std::uint8_t* data, std::size_t length,
                        std::uint32_t& count, std::uint32_t timeoutMs, bool in);
  PipeHandle Fail(std::uint32_t code);
  // Starts a new context when libusb's device list no longer matches the system's. True when
  // it did.
  bool RenewIfStale();
  static bool DeviceLeft(const OpenDevice& device);

  std::shared_ptr<Context> context_;
  // Open devices by bus and address, so that a device's second pipe reuses its handle.
  std::map<std::uint32_t, std::weak_ptr<OpenDevice>> devices_;
  std::map<PipeHandle, std::unique_ptr<Pipe>> pipes_;
  PipeHandle nextHandle_ = 1;
  std::uint32_t lastError_ = 0;
  std::string notice_;
  std::optional<std::string> pinned_;
  std::optional<int> hotplug_;  // the registered arrival callback
  std::atomic<bool> arrived_{false};
};

}  // namespace korvane::link
