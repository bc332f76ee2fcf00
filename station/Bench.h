#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "link/UsbLibrary.h"
#include "platform/Files.h"
#include "station/Session.h"

namespace korvane::station {

// What --device names: an instance number, or a place ("1-3.4"; "emulated-2").
struct DeviceSelector {
  std::optional<std::uint32_t> instance;
  std::string location;
  bool Any() const { return !instance && location.empty(); }
};
DeviceSelector ParseDeviceSelector(const std::string& text);

// "instance 2", "1-3.4": how a device is named in the lines.
std::string DeviceName(const link::AttachedDevice& device);

// Whether a bench takes its devices for a run, or only looks at them (list).
enum class BenchUse { Run, Look };

using StopFunction = std::function<bool()>;

// A device's lock, asked for before the device is opened: taken (held while `lock` lives;
// nothing to hold for a device no other process can reach), or busy, with the process that
// holds it when that can be told.
struct DeviceClaim {
  bool busy = false;
  std::optional<std::uint64_t> holder;
  std::optional<platform::FileLock> lock;
};
// "1-3 is in use by another Korvane run (process 4711)".
std::string BusyText(const std::string& deviceName, const std::optional<std::uint64_t>& holder);

// The devices a command can reach: USB devices through the real library, or emulated ones
// living in this process (--emulated, --emulated-devices N). Lists them, waits for them, and
// hands out one library per device, so that several devices can be served by several threads.
class DeviceBench {
 public:
  // Throws StationError: usage (options that do not fit), file (an emulated state that cannot
  // be loaded), busy (another run holds an emulated state folder), no device (a build without
  // USB support).
  static std::unique_ptr<DeviceBench> Create(const DeviceOptions& options,
                                             BenchUse use = BenchUse::Run);
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
  // Lines for --verbose.
  virtual std::vector<std::string> Diagnostics() = 0;
  // One sentence for a user whom no device answered (on Windows: what the drivers of the
  // devices there call for), or empty.
  virtual std::string NoDeviceAdvice() { return {}; }
  // Tries to open the device (nothing is sent); the library's error code when it cannot. The
  // caller holds the device's lock.
  virtual std::uint32_t ProbeOpen(const link::AttachedDevice&) { return 0; }
  // Saves emulated memories to their state folders. Throws StationError (file).
  virtual void Save() {}
  // False when the USB library names devices only by their position in a list, so that
  // devices coming and going shift the others (vbmpusbapi.dll): several devices at once are
  // then not safe.
  virtual bool IdentifiesDevices() const { return true; }
  // How the user knows the USB library ("libusb", "vbmpusbapi.dll").
  virtual std::string LibraryName() const = 0;
  // What the library had to say while it was listing (for example that it could not be
  // started), or empty. Taking it clears it.
  virtual std::string TakeNotice() { return {}; }
  // Takes the device's lock, unless another run holds it. Throws StationError (file) when the
  // lock file cannot be made.
  virtual DeviceClaim Claim(const link::AttachedDevice& device);

  // The attached device the selector names, if attached. With `claimed`, devices another run
  // holds are passed over, and the lock of the device found is kept in `claimed`.
  std::optional<link::AttachedDevice> Find(const DeviceSelector& selector,
                                           std::optional<platform::FileLock>* claimed = nullptr);
  // The device to use: the one selected, or instance 0. Throws StationError (no device) when a
  // device was selected explicitly and is not attached.
  std::optional<link::AttachedDevice> Choose(const DeviceSelector& selector);

  // Waits until the selected device (any, when none is selected) is attached; then, for up to
  // 2 s after it appeared, tries again to open it while that fails (its permissions may not be
  // set yet), so that the command's own open does not fail on a device still settling in. The
  // tries hold the device's lock; a device another run holds is not tried. `timeout` nullopt
  // waits for ever; `stop` is polled at least every 250 ms, and once more after the retries:
  // when it says stop, nothing is returned, so nothing is sent. Nothing also when the time ran
  // out. With `claimed`, busy devices are passed over and the lock of the device returned is
  // kept there.
  std::optional<link::AttachedDevice> WaitFor(const DeviceSelector& selector,
                                              std::optional<std::chrono::milliseconds> timeout,
                                              const StopFunction& stop,
                                              std::optional<platform::FileLock>* claimed = nullptr);
  // Waits until at least `count` attached devices answer the version query (then those are
  // the devices; devices another run holds are not asked and do not count); with `count`
  // nullopt, until at least one is attached and no other has joined for 2 s, or the time is up
  // (then every attached device; the list is looked at at least once). Nothing when the time
  // ran out or `stop` said so; `answered` then holds how many answered at the last look.
  std::optional<std::vector<link::AttachedDevice>> WaitForDevices(
      std::optional<std::size_t> count, std::optional<std::chrono::milliseconds> timeout,
      const StopFunction& stop, std::size_t* answered = nullptr);
  // The attached devices that answer the version query now (each asked under its lock; busy
  // ones are passed over).
  std::vector<link::AttachedDevice> Answering();
  // Waits until `device` has left (its place is empty; without places: fewer devices than
  // `countBefore`). False when `stop` said so first.
  bool WaitUntilGone(const link::AttachedDevice& device, std::size_t countBefore,
                     const StopFunction& stop);

 protected:
  // The lock file of a device plugged in at `key` ("usb-1-3.4", "emulated-..."): a file in
  // the machine's lock folder.
  static std::string LockFileFor(const std::string& key);

 private:
  bool Answers(const link::AttachedDevice& device);
};

// The windows' USB library: each packet's bracket takes the lock of the device it opens, as a
// run does, so that no packet of the windows comes between another run's packets; a device
// another run holds is not opened, and the library's notice says who holds it.
std::unique_ptr<link::UsbLibrary> WithDeviceLocks(std::unique_ptr<link::UsbLibrary> library);

// The lock of a device for one run. Throws StationError (busy) naming the holder (when it still
// runs) when another run has the device; holds nothing when `lockFile` is empty.
std::optional<platform::FileLock> ClaimDevice(const std::string& lockFile,
                                              const std::string& deviceName);

}  // namespace korvane::station
