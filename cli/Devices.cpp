#include "cli/Devices.h"

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <thread>

#include "link/UsbPipeLink.h"

#if KORVANE_CLI_HAVE_LIBUSB
#include "link/LibUsbLibrary.h"
#elif KORVANE_CLI_HAVE_MPUSBDLL
#include "link/MpusbDllLibrary.h"
#endif

namespace korvane::cli {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Without arrival notices the list is scanned this often; waits also look at Ctrl+C this often.
constexpr milliseconds kScanInterval{250};
// A device whose permissions are being set right after it appeared refuses opens for a moment.
constexpr milliseconds kAccessSettleTime{2000};
constexpr milliseconds kAccessRetryInterval{100};
// An emulated production line: a board taken off is followed by the next one this much later.
constexpr milliseconds kEmulatedNextBoard{1000};

constexpr std::string_view kEmulatedPlace = "emulated-";

// USB devices through the platform's USB library: a scanning library for the list and the
// waits, and for each device a library of its own, pinned to the device's place where the
// library knows places (else addressed by instance number), so that devices coming and going
// elsewhere cannot change which device a session talks to.
class UsbBench final : public DeviceBench {
 public:
  using Factory = std::function<std::unique_ptr<link::UsbLibrary>()>;
  explicit UsbBench(Factory factory) : factory_(std::move(factory)), scanner_(factory_()) {}

  std::vector<link::AttachedDevice> List() override {
    return scanner_->ListDevices(link::kDeviceIdentity);
  }

  DeviceTarget Target(const std::optional<link::AttachedDevice>& device) override {
    DeviceTarget target;
    target.owned = factory_();
    if (device) {
      target.name = DeviceName(*device);
      if (device->location.empty() || !target.owned->PinLocation(device->location)) {
        target.instance = device->instance;
      }
    }
    target.library = target.owned.get();
    return target;
  }

  void WaitForChange(milliseconds timeout) override {
    scanner_->WaitForArrival(link::kDeviceIdentity, timeout);
  }

  std::vector<std::string> Diagnostics() override {
    return scanner_->Diagnostics(link::kDeviceIdentity);
  }

  std::uint32_t ProbeOpen(const link::AttachedDevice& device) override {
    DeviceTarget target = Target(device);
    link::UsbLibrary& library = *target.library;
    const link::PipeHandle pipe =
        library.MPUSBOpen(target.instance, link::kDeviceIdentity, link::kPipeName, 0, 0);
    library.TakeUserNotice();
    if (pipe == link::kInvalidPipe) {
      return library.GetLastError();
    }
    library.MPUSBClose(pipe);
    return 0;
  }

 private:
  Factory factory_;
  std::unique_ptr<link::UsbLibrary> scanner_;
};

// Emulated devices in this process, each with a library of its own and, with a state
// directory, its memory in DIR (one device) or DIR/i/ (--emulated-devices N).
class EmulatedBench final : public DeviceBench {
 public:
  explicit EmulatedBench(const DeviceOptions& options) {
    const std::vector<emulator::Fault> faults = CheckDeviceOptions(options);
    const int count = std::max(options.emulatedDevices, 1);
    for (int i = 0; i < count; ++i) {
      Device device;
      device.library = std::make_unique<emulator::EmulatedUsbLibrary>();
      if (!options.stateDir.empty()) {
        device.stateDir = options.emulatedDevices > 0
                              ? std::filesystem::path(options.stateDir) / std::to_string(i)
                              : std::filesystem::path(options.stateDir);
        if (std::filesystem::exists(device.stateDir)) {
          try {
            device.library->Device().LoadState(device.stateDir);
          } catch (const std::exception& e) {
            throw CliError(kExitFileError, "cannot load the emulated device from " +
                                               device.stateDir.string() + ": " + e.what());
          }
        }
      }
      device.library->SetTiming(options.emulatedTiming);
      for (const emulator::Fault& fault : faults) {
        device.library->AddFault(fault);
      }
      devices_.push_back(std::move(device));
    }
  }

  std::vector<link::AttachedDevice> List() override {
    std::vector<link::AttachedDevice> attached;
    for (std::size_t i = 0; i < devices_.size(); ++i) {
      const emulator::EmulatedUsbLibrary& library = *devices_[i].library;
      if (library.Attached() && library.Device().InBootloader()) {
        attached.push_back(link::AttachedDevice{static_cast<std::uint32_t>(attached.size()),
                                                std::string(kEmulatedPlace) + std::to_string(i)});
      }
    }
    return attached;
  }

  DeviceTarget Target(const std::optional<link::AttachedDevice>& device) override {
    DeviceTarget target;
    Device& chosen = device ? devices_.at(Index(*device)) : devices_.front();
    target.library = chosen.library.get();
    target.emulated = chosen.library.get();
    if (device) {
      target.name = DeviceName(*device);
    }
    return target;
  }

  void WaitForChange(milliseconds timeout) override {
    // The next board of an emulated production line arrives a while after the last one left.
    const auto now = Clock::now();
    for (Device& device : devices_) {
      const bool present = device.library->Attached() && device.library->Device().InBootloader();
      if (present) {
        device.leftAt.reset();
      } else if (!device.leftAt) {
        device.leftAt = now;
      } else if (now - *device.leftAt >= kEmulatedNextBoard) {
        device.library->PlugIn();
        device.leftAt.reset();
        return;
      }
    }
    std::this_thread::sleep_for(std::min(timeout, milliseconds(50)));
  }

  void DeviceDone(const link::AttachedDevice& device) override {
    // The operator takes the board off.
    Device& done = devices_.at(Index(device));
    done.library->Unplug();
    done.leftAt = Clock::now();
  }

  std::vector<std::string> Diagnostics() override {
    std::vector<std::string> lines{"emulated devices: " + std::to_string(devices_.size())};
    for (std::size_t i = 0; i < devices_.size(); ++i) {
      const emulator::EmulatedUsbLibrary& library = *devices_[i].library;
      lines.push_back(std::string(kEmulatedPlace) + std::to_string(i) + ": " +
                      (!library.Attached()               ? "unplugged"
                       : library.Device().InBootloader() ? "in its bootloader"
                                                         : "left its bootloader (reset)") +
                      (devices_[i].stateDir.empty()
                           ? std::string()
                           : ", memory in " + devices_[i].stateDir.string()));
    }
    return lines;
  }

  void Save() override {
    for (const Device& device : devices_) {
      if (device.stateDir.empty()) {
        continue;
      }
      try {
        std::filesystem::create_directories(device.stateDir);
        device.library->Device().SaveState(device.stateDir);
      } catch (const std::exception& e) {
        throw CliError(kExitFileError, "cannot save the emulated device to " +
                                           device.stateDir.string() + ": " + e.what());
      }
    }
  }

 private:
  struct Device {
    std::unique_ptr<emulator::EmulatedUsbLibrary> library;
    std::filesystem::path stateDir;
    std::optional<Clock::time_point> leftAt;
  };

  static std::size_t Index(const link::AttachedDevice& device) {
    return std::stoul(device.location.substr(kEmulatedPlace.size()));
  }

  std::vector<Device> devices_;
};

bool Matches(const link::AttachedDevice& device, const DeviceSelector& selector) {
  if (selector.instance) {
    return device.instance == *selector.instance;
  }
  return selector.location.empty() || device.location == selector.location;
}

}  // namespace

DeviceSelector ParseDeviceSelector(const std::string& text) {
  DeviceSelector selector;
  if (text.empty()) {
    return selector;
  }
  std::uint32_t number = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
  if (error == std::errc{} && end == text.data() + text.size()) {
    selector.instance = number;
  } else {
    selector.location = text;
  }
  return selector;
}

std::string DeviceName(const link::AttachedDevice& device) {
  return device.location.empty() ? "instance " + std::to_string(device.instance) : device.location;
}

std::unique_ptr<DeviceBench> DeviceBench::Create(const DeviceOptions& options) {
  CheckDeviceOptions(options);
  if (options.UsesEmulator()) {
    return std::make_unique<EmulatedBench>(options);
  }
#if KORVANE_CLI_HAVE_LIBUSB
  return std::make_unique<UsbBench>([] { return std::make_unique<link::LibUsbLibrary>(); });
#elif KORVANE_CLI_HAVE_MPUSBDLL
  return std::make_unique<UsbBench>([] { return std::make_unique<link::MpusbDllLibrary>(); });
#else
  throw CliError(kExitNoDevice, "this build has no USB support; use --emulated");
#endif
}

std::optional<link::AttachedDevice> DeviceBench::Find(const DeviceSelector& selector) {
  for (const link::AttachedDevice& device : List()) {
    if (Matches(device, selector)) {
      return device;
    }
  }
  return std::nullopt;
}

std::optional<link::AttachedDevice> DeviceBench::Choose(const DeviceSelector& selector) {
  if (selector.Any()) {
    return Find(DeviceSelector{0, {}});
  }
  auto found = Find(selector);
  if (!found) {
    throw CliError(kExitNoDevice,
                   (selector.instance
                        ? "no device is attached as instance " + std::to_string(*selector.instance)
                        : "no device is plugged in at " + selector.location) +
                       "; korvane-cli list shows the attached devices");
  }
  return found;
}

std::optional<link::AttachedDevice> DeviceBench::WaitFor(const DeviceSelector& selector,
                                                         std::optional<milliseconds> timeout,
                                                         const std::function<bool()>& stop) {
  const auto deadline = timeout ? std::optional(Clock::now() + *timeout) : std::nullopt;
  std::optional<link::AttachedDevice> found;
  for (;;) {
    found = Find(selector);
    if (found || (stop && stop())) {
      break;
    }
    milliseconds slice = kScanInterval;
    if (deadline) {
      const auto left = std::chrono::duration_cast<milliseconds>(*deadline - Clock::now());
      if (left.count() <= 0) {
        break;
      }
      slice = std::min(slice, left);
    }
    WaitForChange(slice);
  }
  if (!found) {
    return std::nullopt;
  }
  // Right after a device appeared its permissions may not be set yet (the open is denied),
  // and the system may still be setting it up: for a moment every failed open is tried again.
  const auto settled = Clock::now() + kAccessSettleTime;
  while (ProbeOpen(*found) != 0 && Clock::now() < settled && !(stop && stop())) {
    std::this_thread::sleep_for(kAccessRetryInterval);
  }
  return found;
}

bool DeviceBench::WaitUntilGone(const link::AttachedDevice& device, std::size_t countBefore,
                                const std::function<bool()>& stop) {
  for (;;) {
    const std::vector<link::AttachedDevice> devices = List();
    const bool present =
        device.location.empty()
            ? devices.size() >= countBefore
            : std::any_of(devices.begin(), devices.end(), [&](const link::AttachedDevice& d) {
                return d.location == device.location;
              });
    if (!present) {
      return true;
    }
    if (stop && stop()) {
      return false;
    }
    WaitForChange(kScanInterval);
  }
}

}  // namespace korvane::cli
