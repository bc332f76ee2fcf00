#include "station/Bench.h"

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <iomanip>
#include <sstream>
#include <thread>
#include <utility>

#include "link/UsbPipeLink.h"

#if KORVANE_STATION_HAVE_USB
#include "link/SystemUsb.h"
#endif

namespace korvane::station {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Without arrival notices the list is scanned this often; waits also look at Ctrl+C this often.
constexpr milliseconds kScanInterval{250};
// A device whose permissions are being set right after it appeared refuses opens for a moment;
// the devices of a fixture plugged in together are all listed within this time.
constexpr milliseconds kSettleTime{2000};
constexpr milliseconds kAccessRetryInterval{100};
// An emulated production line: a board taken off is followed by the next one this much later.
constexpr milliseconds kEmulatedNextBoard{1000};

constexpr std::string_view kEmulatedPlace = "emulated-";

// Collects nothing: the version queries of a wait are not the user's business.
class SilentMessages final : public link::LinkMessages {
 public:
  void ShowLinkMessage(std::string_view) override {}
};

// `now` + `timeout`, or the end of time when that lies beyond it.
Clock::time_point Deadline(milliseconds timeout) {
  const Clock::time_point now = Clock::now();
  if (timeout >= std::chrono::duration_cast<milliseconds>(Clock::time_point::max() - now)) {
    return Clock::time_point::max();
  }
  return now + timeout;
}

bool Passed(const std::optional<Clock::time_point>& deadline) {
  return deadline && Clock::now() >= *deadline;
}

milliseconds Slice(const std::optional<Clock::time_point>& deadline) {
  if (!deadline) {
    return kScanInterval;
  }
  const auto left = std::chrono::duration_cast<milliseconds>(*deadline - Clock::now());
  return std::clamp(left, milliseconds(1), kScanInterval);
}

// The lock file of a device plugged in at `key`: a file in the machine's lock folder.
std::string LockFileOf(const std::string& key) {
  std::string name = "korvane-" + key + ".lock";
  std::replace_if(
      name.begin(), name.end(),
      [](char c) { return c == '/' || c == '\\' || c == ':' || c == ' '; }, '_');
  return platform::Utf8FromPath(platform::PathFromUtf8(platform::LockFolder()) / name);
}

// The key of a USB device's lock: its place, or its instance where the library knows no places.
std::string LockKey(const link::AttachedDevice& device) {
  return device.location.empty() ? "usb-instance-" + std::to_string(device.instance)
                                 : "usb-" + device.location;
}

// Takes the lock in `lockFile` at once, or says who holds it.
DeviceClaim ClaimFile(const std::string& lockFile) {
  DeviceClaim claim;
  try {
    claim.lock = platform::FileLock::TryLock(lockFile);
  } catch (const platform::FileError& e) {
    throw StationError(Verdict::FileProblem, e.what());
  }
  if (!claim.lock) {
    claim.busy = true;
    claim.holder = platform::FileLock::Holder(lockFile);
  }
  return claim;
}

// USB devices through the platform's USB library: a scanning library for the list and the
// waits, and for each device a library of its own, pinned to the device's place where the
// library knows places (else addressed by instance number), so that devices coming and going
// elsewhere cannot change which device a session talks to.
class UsbBench final : public DeviceBench {
 public:
  using Factory = std::function<std::unique_ptr<link::UsbLibrary>()>;
  explicit UsbBench(Factory factory) : factory_(std::move(factory)), scanner_(factory_()) {}

  std::vector<link::AttachedDevice> List() override {
    std::vector<link::AttachedDevice> devices = scanner_->ListDevices(link::kDeviceIdentity);
    if (std::string notice = scanner_->TakeUserNotice(); !notice.empty()) {
      notice_ = std::move(notice);
    }
    return devices;
  }

  DeviceTarget Target(const std::optional<link::AttachedDevice>& device) override {
    DeviceTarget target;
    target.owned = factory_();
    if (device) {
      target.name = DeviceName(*device);
      if (device->location.empty() || !target.owned->PinLocation(device->location)) {
        target.instance = device->instance;
      }
      target.lockFile = LockFileFor(LockKey(*device));
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

  std::string NoDeviceAdvice() override { return scanner_->NoDeviceAdvice(link::kDeviceIdentity); }

  std::uint32_t ProbeOpen(const link::AttachedDevice& device) override {
    DeviceTarget target = Target(device);
    link::UsbLibrary& library = *target.library;
    const link::PipeHandle pipe =
        library.MPUSBOpen(target.instance, link::kDeviceIdentity, link::kPipeName, 0, 0);
    library.TakeUserNotice();
    if (pipe == link::kInvalidPipe) {
      const std::uint32_t error = library.GetLastError();
      return error != 0 ? error : link::kErrorInvalidHandle;
    }
    library.MPUSBClose(pipe);
    return 0;
  }

  // A library that knows places pins each device's library to its place.
  bool IdentifiesDevices() const override { return scanner_->KnowsPlaces(); }

  std::string LibraryName() const override { return scanner_->LibraryName(); }

  std::string TakeNotice() override { return std::exchange(notice_, {}); }

  DeviceClaim Claim(const link::AttachedDevice& device) override {
    return ClaimFile(LockFileFor(LockKey(device)));
  }

 private:
  Factory factory_;
  std::unique_ptr<link::UsbLibrary> scanner_;
  std::string notice_;
};

// Emulated devices in this process, each with a library of its own and, with a state
// folder, its memory in DIR (one device) or DIR/i/ (--emulated-devices N). A run holds the
// lock of every state folder from before it loads the memory until it has saved it.
class EmulatedBench final : public DeviceBench {
 public:
  EmulatedBench(const DeviceOptions& options, BenchUse use) {
    const std::vector<DeviceFault> faults = CheckDeviceOptions(options);
    const int count = std::max(options.emulatedDevices, 1);
    for (int i = 0; i < count; ++i) {
      Device device;
      device.library = std::make_unique<emulator::EmulatedUsbLibrary>();
      if (!options.stateDir.empty()) {
        device.stateDir = options.emulatedDevices > 0
                              ? platform::PathFromUtf8(options.stateDir) / std::to_string(i)
                              : platform::PathFromUtf8(options.stateDir);
        device.lockFile = LockFileFor(StateKey(device.stateDir));
        if (use == BenchUse::Run) {
          device.lock = ClaimDevice(
              device.lockFile, "the emulated device in " + platform::Utf8FromPath(device.stateDir));
        }
        std::error_code missing;
        if (std::filesystem::exists(device.stateDir, missing)) {
          try {
            device.library->Device().LoadState(device.stateDir);
          } catch (const std::exception& e) {
            throw StationError(Verdict::FileProblem, "cannot load the emulated device from " +
                                                         platform::Utf8FromPath(device.stateDir) +
                                                         ": " + e.what());
          }
        }
      }
      device.library->SetTiming(options.emulatedTiming);
      for (const DeviceFault& fault : faults) {
        if (!fault.device || *fault.device == i) {
          device.library->AddFault(fault.fault);
        }
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
    // The bench holds the state folder's lock itself.
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
                           : ", memory in " + platform::Utf8FromPath(devices_[i].stateDir)));
    }
    return lines;
  }

  void Save() override {
    for (const Device& device : devices_) {
      if (device.stateDir.empty() || !device.lock) {
        continue;  // only a run that holds the folder writes it
      }
      try {
        device.library->Device().SaveState(device.stateDir);
      } catch (const std::exception& e) {
        throw StationError(Verdict::FileProblem, "cannot save the emulated device to " +
                                                     platform::Utf8FromPath(device.stateDir) +
                                                     ": " + e.what());
      }
    }
  }

  std::string LibraryName() const override { return "the emulated device"; }

  DeviceClaim Claim(const link::AttachedDevice& device) override {
    const Device& chosen = devices_.at(Index(device));
    if (chosen.lockFile.empty() || chosen.lock) {
      return {};  // nobody else can reach it, or this bench holds it
    }
    return ClaimFile(chosen.lockFile);
  }

 private:
  struct Device {
    std::unique_ptr<emulator::EmulatedUsbLibrary> library;
    std::filesystem::path stateDir;
    std::string lockFile;
    std::optional<platform::FileLock> lock;
    std::optional<Clock::time_point> leftAt;
  };

  static std::size_t Index(const link::AttachedDevice& device) {
    return std::stoul(device.location.substr(kEmulatedPlace.size()));
  }

  // One key per state folder, however it is written ("dev", "./dev/", "/home/x/dev").
  static std::string StateKey(const std::filesystem::path& folder) {
    std::error_code error;
    std::filesystem::path whole = std::filesystem::weakly_canonical(folder, error);
    if (error) {
      whole = std::filesystem::absolute(folder, error);
    }
    std::string text = platform::Utf8FromPath(whole);
    while (text.size() > 1 && (text.back() == '/' || text.back() == '\\')) {
      text.pop_back();
    }
    std::ostringstream key;
    key << "emulated-" << std::hex << std::setw(16) << std::setfill('0')
        << std::hash<std::string>{}(text);
    return key.str();
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

std::unique_ptr<DeviceBench> DeviceBench::Create(const DeviceOptions& options, BenchUse use) {
  CheckDeviceOptions(options);
  if (options.UsesEmulator()) {
    if (options.usb != link::UsbRoute::Auto) {
      throw StationError(Verdict::Usage, Problem::UsbRouteWithEmulator,
                         "the emulated device is reached without USB");
    }
    return std::make_unique<EmulatedBench>(options, use);
  }
#if KORVANE_STATION_HAVE_USB
  // One choice for the whole command: every library it makes is of the same kind.
  link::UsbSystem system = link::SystemUsb();
  if (std::string refusal = link::UsbChoice::Refusal(options.usb, system); !refusal.empty()) {
    throw StationError(Verdict::Usage, refusal);
  }
  std::shared_ptr<link::UsbChoice> choice = link::UsbChoice::Create(options.usb, std::move(system));
  return std::make_unique<UsbBench>([choice] { return choice->MakeLibrary(); });
#else
  throw StationError(Verdict::NoDevice, Problem::NoUsbSupport, "this build has no USB support");
#endif
}

std::string DeviceBench::LockFileFor(const std::string& key) {
  return LockFileOf(key);
}

DeviceClaim DeviceBench::Claim(const link::AttachedDevice&) {
  return {};
}

std::string BusyText(const std::string& deviceName, const std::optional<std::uint64_t>& holder) {
  return deviceName + " is in use by another Korvane run" +
         (holder ? " (process " + std::to_string(*holder) + ")" : std::string());
}

std::optional<platform::FileLock> ClaimDevice(const std::string& lockFile,
                                              const std::string& deviceName) {
  if (lockFile.empty()) {
    return std::nullopt;
  }
  DeviceClaim claim = ClaimFile(lockFile);
  if (claim.busy) {
    throw StationError(Verdict::Busy,
                       BusyText(deviceName, claim.holder) + "; wait until it has finished");
  }
  return std::move(claim.lock);
}

std::optional<link::AttachedDevice> DeviceBench::Find(const DeviceSelector& selector,
                                                      std::optional<platform::FileLock>* claimed) {
  for (const link::AttachedDevice& device : List()) {
    if (!Matches(device, selector)) {
      continue;
    }
    if (claimed == nullptr) {
      return device;
    }
    DeviceClaim claim = Claim(device);
    if (!claim.busy) {
      *claimed = std::move(claim.lock);
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
    throw StationError(Verdict::NoDevice,
                       (selector.instance ? "no device is attached as instance " +
                                                std::to_string(*selector.instance)
                                          : "no device is plugged in at " + selector.location) +
                           "; korvane-cli list shows the attached devices");
  }
  return found;
}

std::optional<link::AttachedDevice> DeviceBench::WaitFor(
    const DeviceSelector& selector, std::optional<milliseconds> timeout, const StopFunction& stop,
    std::optional<platform::FileLock>* claimed) {
  const auto stopped = [&stop] { return stop && stop(); };
  const std::optional<Clock::time_point> deadline =
      timeout ? std::optional(Deadline(*timeout)) : std::nullopt;
  std::optional<link::AttachedDevice> found;
  for (;;) {
    found = Find(selector, claimed);
    if (found || stopped() || Passed(deadline)) {
      break;
    }
    WaitForChange(Slice(deadline));
  }
  if (!found) {
    return std::nullopt;
  }
  // Right after a device appeared its permissions may not be set yet (the open is denied),
  // and the system may still be setting it up: for a moment every failed open is tried again,
  // under the device's lock, so that no open comes between another run's packets.
  DeviceClaim probing;
  if (claimed == nullptr) {
    probing = Claim(*found);
  }
  if (!probing.busy) {
    const auto settled = Clock::now() + kSettleTime;
    while (ProbeOpen(*found) != 0 && Clock::now() < settled && !stopped()) {
      std::this_thread::sleep_for(kAccessRetryInterval);
    }
  }
  // Stopped while the device settled: it is not handed over, so nothing is sent to it.
  if (stopped()) {
    if (claimed != nullptr) {
      claimed->reset();
    }
    return std::nullopt;
  }
  return found;
}

bool DeviceBench::Answers(const link::AttachedDevice& device) {
  const DeviceClaim claim = Claim(device);
  if (claim.busy) {
    return false;  // a query between another run's packets would disturb it
  }
  SilentMessages silent;
  DeviceSession session(Target(device), silent, nullptr);
  return session.Client().Version().ok();
}

std::vector<link::AttachedDevice> DeviceBench::Answering() {
  std::vector<link::AttachedDevice> answering;
  for (const link::AttachedDevice& device : List()) {
    if (Answers(device)) {
      answering.push_back(device);
    }
  }
  return answering;
}

std::optional<std::vector<link::AttachedDevice>> DeviceBench::WaitForDevices(
    std::optional<std::size_t> count, std::optional<milliseconds> timeout, const StopFunction& stop,
    std::size_t* answered) {
  const auto stopped = [&stop] { return stop && stop(); };
  const std::optional<Clock::time_point> deadline =
      timeout ? std::optional(Deadline(*timeout)) : std::nullopt;
  std::size_t lastCount = 0;
  Clock::time_point lastJoined = Clock::now();
  for (;;) {
    // Taken first: a look that began in time counts.
    const bool timeUp = Passed(deadline);
    const std::vector<link::AttachedDevice> attached = List();
    if (attached.size() != lastCount) {
      lastCount = attached.size();
      lastJoined = Clock::now();
    }
    // Nobody said how many: the list has settled, or the time left allows no more settling.
    if (!count && !attached.empty() && (Clock::now() - lastJoined >= kSettleTime || timeUp)) {
      return stopped() ? std::nullopt : std::optional(attached);
    }
    if (count && attached.size() >= *count) {
      // Devices that just arrived may refuse the first opens for a moment.
      std::vector<link::AttachedDevice> answering = Answering();
      const auto settled = Clock::now() + kSettleTime;
      while (answering.size() < *count && Clock::now() < settled && !stopped()) {
        std::this_thread::sleep_for(kAccessRetryInterval);
        answering = Answering();
      }
      if (answered != nullptr) {
        *answered = answering.size();
      }
      if (answering.size() >= *count) {
        return stopped() ? std::nullopt : std::optional(answering);
      }
    }
    if (stopped() || timeUp) {
      return std::nullopt;
    }
    WaitForChange(Slice(deadline));
  }
}

bool DeviceBench::WaitUntilGone(const link::AttachedDevice& device, std::size_t countBefore,
                                const StopFunction& stop) {
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

namespace {

// Every bracket of the windows' packets holds the device's lock from the open of its pipes to
// their close; a device another run holds is not opened.
class LockingUsbLibrary final : public link::UsbLibrary {
 public:
  explicit LockingUsbLibrary(std::unique_ptr<link::UsbLibrary> library)
      : library_(std::move(library)) {}

  std::int32_t MPUSBGetDeviceCount(std::string_view identity) override {
    return library_->MPUSBGetDeviceCount(identity);
  }

  link::PipeHandle MPUSBOpen(std::uint32_t instance, std::string_view identity,
                             std::string_view pipeName, std::uint32_t direction,
                             std::uint32_t reserved) override {
    if (open_ == 0 && !Claim(instance, identity)) {
      return link::kInvalidPipe;
    }
    const link::PipeHandle pipe =
        library_->MPUSBOpen(instance, identity, pipeName, direction, reserved);
    if (pipe != link::kInvalidPipe) {
      ++open_;
    } else if (open_ == 0) {
      lock_.reset();
    }
    return pipe;
  }

  std::int32_t MPUSBWrite(link::PipeHandle handle, std::span<const std::uint8_t> data,
                          std::uint32_t& sent, std::uint32_t timeoutMs) override {
    return library_->MPUSBWrite(handle, data, sent, timeoutMs);
  }
  std::int32_t MPUSBRead(link::PipeHandle handle, std::span<std::uint8_t> buffer,
                         std::uint32_t& received, std::uint32_t timeoutMs) override {
    return library_->MPUSBRead(handle, buffer, received, timeoutMs);
  }
  std::int32_t MPUSBClose(link::PipeHandle handle) override {
    const std::int32_t result = library_->MPUSBClose(handle);
    if (open_ > 0 && --open_ == 0) {
      lock_.reset();
    }
    return result;
  }
  std::uint32_t GetLastError() override { return library_->GetLastError(); }
  bool IdentifiesDevice() const override { return library_->IdentifiesDevice(); }
  bool KnowsPlaces() const override { return library_->KnowsPlaces(); }
  std::string LibraryName() const override { return library_->LibraryName(); }
  Availability Available() override { return library_->Available(); }
  std::string TakeUserNotice() override {
    std::string notice = std::exchange(busy_, {});
    if (std::string other = library_->TakeUserNotice(); !other.empty()) {
      notice += (notice.empty() ? "" : "\n") + other;
    }
    return notice;
  }
  std::vector<link::AttachedDevice> ListDevices(std::string_view identity) override {
    return library_->ListDevices(identity);
  }
  bool PinLocation(std::string_view location) override { return library_->PinLocation(location); }
  void WaitForArrival(std::string_view identity, std::chrono::milliseconds timeout) override {
    library_->WaitForArrival(identity, timeout);
  }
  std::vector<std::string> Diagnostics(std::string_view identity) override {
    return library_->Diagnostics(identity);
  }
  std::string NoDeviceAdvice(std::string_view identity) override {
    return library_->NoDeviceAdvice(identity);
  }

 private:
  // Takes the lock of the device the instance names now. False when another run holds it.
  bool Claim(std::uint32_t instance, std::string_view identity) {
    link::AttachedDevice device{instance, {}};
    if (library_->KnowsPlaces()) {
      for (const link::AttachedDevice& attached : library_->ListDevices(identity)) {
        if (attached.instance == instance) {
          device = attached;
        }
      }
    }
    DeviceClaim claim;
    try {
      claim = ClaimFile(LockFileOf(LockKey(device)));
    } catch (const StationError&) {
      return true;  // no lock file can be made anywhere: the windows still work
    }
    if (claim.busy) {
      busy_ = BusyText("The device", claim.holder) + "; wait until it has finished.";
      return false;
    }
    lock_ = std::move(claim.lock);
    return true;
  }

  std::unique_ptr<link::UsbLibrary> library_;
  std::optional<platform::FileLock> lock_;
  int open_ = 0;
  std::string busy_;
};

}  // namespace

std::unique_ptr<link::UsbLibrary> WithDeviceLocks(std::unique_ptr<link::UsbLibrary> library) {
  return std::make_unique<LockingUsbLibrary>(std::move(library));
}

}  // namespace korvane::station
