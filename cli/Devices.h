#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/DeviceSession.h"
#include "emulator/EmulatedUsbLibrary.h"
#include "link/UsbLibrary.h"

namespace korvane::cli {

// What --device names: an instance number, or a place ("1-3.4"; "emulated-2").
struct DeviceSelector {
  std::optional<std::uint32_t> instance;
  std::string location;
  bool Any() const { return !instance && location.empty(); }
};
DeviceSelector ParseDeviceSelector(const std::string& text);

// "instance 2", "1-3.4": how a device is named in the command's lines.
std::string DeviceName(const link::AttachedDevice& device);

// The devices a command can reach: USB devices through the real library, or emulated ones
// living in this process (--emulated, --emulated-devices N). Lists them, waits for them, and
// hands out one library per device, so that several devices can be served by several threads.
class DeviceBench {
 public:
  // Throws CliError: usage (options that do not fit), file (an emulated state that cannot be
  // loaded), no device (a build without USB support).
  static std::unique_ptr<DeviceBench> Create(const DeviceOptions& options);
  virtual ~DeviceBench() = default;

  // The attached devices, in instance order.
  virtual std::vector<link::AttachedDevice> List() = 0;
  // A device to talk to; `device` nullopt when nothing is attached: then the link opens
  // instance 0 and finds nothing, as the windows do.
  virtual DeviceTarget Target(const std::optional<link::AttachedDevice>& device) = 0;
  // Returns when the list may have changed, at the latest after `timeout`.
  virtual void WaitForChange(std::chrono::milliseconds timeout) = 0;
  // The device has been taken off (the production loop: the next one is wanted).
  virtual void DeviceDone(const link::AttachedDevice&) {}
  // Lines for detect --verbose.
  virtual std::vector<std::string> Diagnostics() = 0;
  // Tries to open the device (nothing is sent); the library's error code when it cannot.
  virtual std::uint32_t ProbeOpen(const link::AttachedDevice&) { return 0; }
  // Saves emulated memories to their state directories. Throws CliError (file).
  virtual void Save() {}

  // The attached device the selector names, if attached.
  std::optional<link::AttachedDevice> Find(const DeviceSelector& selector);
  // The device to use: the one selected, or instance 0. Throws CliError (no device) when a
  // device was selected explicitly and is not attached.
  std::optional<link::AttachedDevice> Choose(const DeviceSelector& selector);

  // Waits until the selected device (any, when none is selected) is attached; then, for up to
  // 2 s after it appeared, tries again to open it while that fails (its permissions may not be
  // set yet), so that the command's own open does not fail on a device still settling in. `timeout`
  // nullopt waits for ever; `stop` is polled at least every 250 ms. Nothing when the time ran out
  // or `stop` said so.
  std::optional<link::AttachedDevice> WaitFor(const DeviceSelector& selector,
                                              std::optional<std::chrono::milliseconds> timeout,
                                              const std::function<bool()>& stop);
  // Waits until `device` has left (its place is empty; without places: fewer devices than
  // `countBefore`). False when `stop` said so first.
  bool WaitUntilGone(const link::AttachedDevice& device, std::size_t countBefore,
                     const std::function<bool()>& stop);
};

}  // namespace korvane::cli
