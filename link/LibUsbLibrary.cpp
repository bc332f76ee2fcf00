#include "link/LibUsbLibrary.h"

#include <libusb.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <charconv>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>
#include <mutex>
#include <set>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "link/AccessAdvice.h"

namespace korvane::link {

namespace {

// libusb errors and the Windows codes the link sees for them. The link treats 6 as "the device
// went away" (it closes silently) and shows every other code to the user.
struct ErrorMapping {
  int libusbError;
  std::uint32_t windowsCode;
};
constexpr ErrorMapping kErrorTable[] = {
    {LIBUSB_ERROR_IO, kErrorIoDevice},                     // 1117 ERROR_IO_DEVICE
    {LIBUSB_ERROR_INVALID_PARAM, kErrorInvalidParameter},  // 87 ERROR_INVALID_PARAMETER
    {LIBUSB_ERROR_ACCESS, kErrorAccessDenied},             // 5 ERROR_ACCESS_DENIED
    {LIBUSB_ERROR_NO_DEVICE, kErrorInvalidHandle},         // 6 ERROR_INVALID_HANDLE
    {LIBUSB_ERROR_NOT_FOUND, kErrorFileNotFound},          // 2 ERROR_FILE_NOT_FOUND
    {LIBUSB_ERROR_BUSY, kErrorBusy},                       // 170 ERROR_BUSY
    {LIBUSB_ERROR_TIMEOUT, kErrorTimeout},                 // 121 ERROR_SEM_TIMEOUT
    {LIBUSB_ERROR_OVERFLOW, kErrorMoreData},               // 234 ERROR_MORE_DATA
    {LIBUSB_ERROR_PIPE, kErrorGenFailure},                 // 31 ERROR_GEN_FAILURE (stall)
    {LIBUSB_ERROR_INTERRUPTED, kErrorOperationAborted},    // 995 ERROR_OPERATION_ABORTED
    {LIBUSB_ERROR_NO_MEM, kErrorNotEnoughMemory},          // 8 ERROR_NOT_ENOUGH_MEMORY
    {LIBUSB_ERROR_NOT_SUPPORTED, kErrorNotSupported},      // 50 ERROR_NOT_SUPPORTED
    {LIBUSB_ERROR_OTHER, kErrorGenFailure},                // 31 ERROR_GEN_FAILURE
};

// How long a transfer that failed with an I/O error waits to see whether the device is gone:
// a device pulled out mid-transfer can fail the transfer before the system has noticed that it
// left.
constexpr auto kGoneCheckTime = std::chrono::milliseconds(250);
constexpr auto kGoneCheckStep = std::chrono::milliseconds(25);

// Told once per process: the USB library could not be started.
std::atomic<bool> initFailureTold{false};

std::uint32_t DeviceKey(libusb_device* device) {
  return (static_cast<std::uint32_t>(libusb_get_bus_number(device)) << 8) |
         libusb_get_device_address(device);
}

// "1-3.4": the bus, then the port numbers from the root hub down, as Linux names the device;
// "1-@5" (bus 1, address 5) for a device whose port path libusb cannot tell.
std::string LocationOf(libusb_device* device) {
  std::uint8_t ports[8]{};
  const int depth = libusb_get_port_numbers(device, ports, sizeof ports);
  std::string location = std::to_string(libusb_get_bus_number(device));
  location += '-';
  if (depth <= 0) {
    return location + "@" + std::to_string(libusb_get_device_address(device));
  }
  for (int i = 0; i < depth; ++i) {
    if (i > 0) {
      location += '.';
    }
    location += std::to_string(ports[i]);
  }
  return location;
}

// The devices of the context's current list that match `identity`, in a stable order: by bus,
// then by port path (then by address, for devices without one). The system enumerates in no
// fixed order, so instance 0 would otherwise not be the same device from one run to the next.
// With a pinned location only the device plugged in there is listed.
class MatchingDevices {
 public:
  MatchingDevices(libusb_context* context, const UsbIdentity& identity,
                  const std::optional<std::string>& pinned = std::nullopt) {
    const ssize_t count = libusb_get_device_list(context, &list_);
    if (count < 0) {
      list_ = nullptr;
      return;
    }
    struct Entry {
      std::tuple<int, std::vector<std::uint8_t>, int> key;
      libusb_device* device;
      std::string location;
    };
    std::vector<Entry> entries;
    for (ssize_t i = 0; i < count; ++i) {
      libusb_device_descriptor descriptor{};
      if (libusb_get_device_descriptor(list_[i], &descriptor) != LIBUSB_SUCCESS ||
          descriptor.idVendor != identity.vendor || descriptor.idProduct != identity.product) {
        continue;
      }
      std::uint8_t ports[8]{};
      const int depth = libusb_get_port_numbers(list_[i], ports, sizeof ports);
      std::string location = LocationOf(list_[i]);
      if (pinned && location != *pinned) {
        continue;
      }
      entries.push_back(Entry{{libusb_get_bus_number(list_[i]),
                               std::vector<std::uint8_t>(ports, ports + std::max(depth, 0)),
                               libusb_get_device_address(list_[i])},
                              list_[i],
                              std::move(location)});
    }
    std::sort(entries.begin(), entries.end(),
              [](const Entry& a, const Entry& b) { return a.key < b.key; });
    for (Entry& entry : entries) {
      matches_.push_back(entry.device);
      locations_.push_back(std::move(entry.location));
    }
  }
  MatchingDevices(const MatchingDevices&) = delete;
  MatchingDevices& operator=(const MatchingDevices&) = delete;
  ~MatchingDevices() {
    if (list_ != nullptr) {
      libusb_free_device_list(list_, 1);
    }
  }
  const std::vector<libusb_device*>& Devices() const { return matches_; }
  const std::vector<std::string>& Locations() const { return locations_; }

 private:
  libusb_device** list_ = nullptr;
  std::vector<libusb_device*> matches_;
  std::vector<std::string> locations_;
};

struct EndpointInfo {
  int interfaceNumber = -1;
  int alternateSetting = 0;
  std::uint8_t transferType = 0;
  std::size_t maxPacketSize = 64;
};

// Finds the endpoint in the active configuration: the interface and alternate setting that
// hold it, its type and its packet size. The first setting that has it wins, so an endpoint of
// the default setting is used as it is.
std::optional<EndpointInfo> FindEndpoint(libusb_device* device, std::uint8_t address) {
  libusb_config_descriptor* config = nullptr;
  if (libusb_get_active_config_descriptor(device, &config) != LIBUSB_SUCCESS) {
    return std::nullopt;
  }
  std::optional<EndpointInfo> found;
  for (int i = 0; i < config->bNumInterfaces && !found; ++i) {
    const libusb_interface& interface = config->interface[i];
    for (int a = 0; a < interface.num_altsetting && !found; ++a) {
      const libusb_interface_descriptor& setting = interface.altsetting[a];
      for (int e = 0; e < setting.bNumEndpoints; ++e) {
        const libusb_endpoint_descriptor& endpoint = setting.endpoint[e];
        if (endpoint.bEndpointAddress == address) {
          // Bits 0-10 of wMaxPacketSize are the size; a descriptor saying 0 gets the
          // full-speed bulk size.
          const std::size_t size = endpoint.wMaxPacketSize & 0x07FF;
          found = EndpointInfo{setting.bInterfaceNumber, setting.bAlternateSetting,
                               static_cast<std::uint8_t>(endpoint.bmAttributes & 0x03),
                               size == 0 ? 64 : size};
          break;
        }
      }
    }
  }
  libusb_free_config_descriptor(config);
  return found;
}

}  // namespace

std::uint32_t WindowsErrorFor(int libusbError) {
  for (const ErrorMapping& mapping : kErrorTable) {
    if (mapping.libusbError == libusbError) {
      return mapping.windowsCode;
    }
  }
  return kErrorGenFailure;
}

// One libusb context for the process, shared by every LibUsbLibrary alive; freed with the last.
class LibUsbLibrary::Context {
 public:
  explicit Context(libusb_context* context) : context_(context) {}
  Context(const Context&) = delete;
  Context& operator=(const Context&) = delete;
  ~Context() { libusb_exit(context_); }
  libusb_context* Get() const { return context_; }

  // The shared context, or nullptr with the libusb error in `error`.
  static std::shared_ptr<Context> Acquire(int& error) { return Share(false, error); }
  // A new context, which lists the devices as they are now, shared from now on in place of the
  // one before (whose users keep it while they need it); nullptr when it cannot be started.
  static std::shared_ptr<Context> Renew(int& error) { return Share(true, error); }

 private:
  static std::shared_ptr<Context> Share(bool renew, int& error) {
    static std::mutex mutex;
    static std::weak_ptr<Context> shared;
    const std::lock_guard lock(mutex);
    if (auto existing = shared.lock(); existing && !renew) {
      return existing;
    }
    libusb_context* raw = nullptr;
    error = libusb_init(&raw);
    if (error != LIBUSB_SUCCESS) {
      return nullptr;
    }
    auto created = std::make_shared<Context>(raw);
    shared = created;
    return created;
  }

  libusb_context* context_;
};

// An opened device with the interfaces claimed on it; released and closed with its last pipe.
class LibUsbLibrary::OpenDevice {
 public:
  OpenDevice(std::shared_ptr<Context> context, libusb_device_handle* handle)
      : context_(std::move(context)), handle_(handle) {
    // A kernel driver bound to an interface is detached when the interface is claimed and
    // attached again when it is released. Not every platform can do this; that is no error.
    libusb_set_auto_detach_kernel_driver(handle_, 1);
  }
  OpenDevice(const OpenDevice&) = delete;
  OpenDevice& operator=(const OpenDevice&) = delete;
  ~OpenDevice() {
    for (const int interface : claimed_) {
      libusb_release_interface(handle_, interface);
    }
    libusb_close(handle_);
  }
  libusb_device_handle* Handle() const { return handle_; }

  // Claims the interface and selects the alternate setting that holds the pipe's endpoint.
  // An interface is in one setting at a time: a pipe that needs another setting than the one
  // a pipe of the same interface already uses cannot be served.
  int Claim(int interface, int alternateSetting) {
    if (const auto selected = settings_.find(interface); selected != settings_.end()) {
      return selected->second == alternateSetting ? LIBUSB_SUCCESS : LIBUSB_ERROR_NOT_SUPPORTED;
    }
    const int result = libusb_claim_interface(handle_, interface);
    if (result != LIBUSB_SUCCESS) {
      return result;
    }
    claimed_.insert(interface);
    if (alternateSetting != 0) {
      const int selected = libusb_set_interface_alt_setting(handle_, interface, alternateSetting);
      if (selected != LIBUSB_SUCCESS) {
        return selected;
      }
    }
    settings_[interface] = alternateSetting;
    return LIBUSB_SUCCESS;
  }

  // True when the device has left: its place in the system is gone.
  bool Gone() const {
    int configuration = 0;
    return libusb_get_configuration(handle_, &configuration) == LIBUSB_ERROR_NO_DEVICE;
  }

 private:
  std::shared_ptr<Context> context_;  // outlives the handle
  libusb_device_handle* handle_;
  std::set<int> claimed_;
  std::map<int, int> settings_;  // interface -> alternate setting in use
};

struct LibUsbLibrary::Pipe {
  std::shared_ptr<OpenDevice> device;
  std::uint8_t endpoint = 0;
  std::uint8_t transferType = LIBUSB_TRANSFER_TYPE_BULK;
  std::size_t maxPacketSize = 64;
  std::vector<std::uint8_t> packets;  // IN pipes: whole packets, so that no reply overflows
};

LibUsbLibrary::LibUsbLibrary(PipeHandle firstHandle)
    : nextHandle_(std::max<PipeHandle>(firstHandle, 1)) {}

LibUsbLibrary::~LibUsbLibrary() {
  // Pipes first: they close their devices while the context is still there.
  pipes_.clear();
  devices_.clear();
  if (hotplug_ && context_) {
    libusb_hotplug_deregister_callback(context_->Get(), *hotplug_);
  }
}

libusb_context* LibUsbLibrary::UsbContext() {
  if (!context_) {
    int error = LIBUSB_SUCCESS;
    context_ = Context::Acquire(error);
    if (!context_ && !initFailureTold.exchange(true)) {
      notice_ = std::string("The USB library libusb could not be started (") +
                libusb_error_name(error) + "), so no device can be found.";
    }
  }
  return context_ ? context_->Get() : nullptr;
}

UsbLibrary::Availability LibUsbLibrary::Available() {
  return UsbContext() != nullptr ? Availability::Usable : Availability::Broken;
}

std::string LibUsbLibrary::TakeUserNotice() {
  return std::exchange(notice_, {});
}

std::size_t LibUsbLibrary::OpenDeviceCount() const {
  return static_cast<std::size_t>(std::count_if(
      devices_.begin(), devices_.end(), [](const auto& entry) { return !entry.second.expired(); }));
}

std::int32_t LibUsbLibrary::MPUSBGetDeviceCount(std::string_view identity) {
  const auto parsed = ParseUsbIdentity(identity);
  libusb_context* context = UsbContext();
  if (!parsed || context == nullptr) {
    return 0;
  }
  const MatchingDevices matching(context, *parsed, pinned_);
  return static_cast<std::int32_t>(matching.Devices().size());
}

std::vector<AttachedDevice> LibUsbLibrary::ListDevices(std::string_view identity) {
  std::vector<AttachedDevice> devices;
  const auto parsed = ParseUsbIdentity(identity);
  libusb_context* context = UsbContext();
  if (!parsed || context == nullptr) {
    return devices;
  }
  const MatchingDevices matching(context, *parsed, pinned_);
  for (std::size_t i = 0; i < matching.Locations().size(); ++i) {
    devices.push_back(AttachedDevice{static_cast<std::uint32_t>(i), matching.Locations()[i]});
  }
  return devices;
}

bool LibUsbLibrary::PinLocation(std::string_view location) {
  pinned_ = std::string(location);
  return true;
}

namespace {

int LIBUSB_CALL OnArrival(libusb_context*, libusb_device*, libusb_hotplug_event, void* user) {
  static_cast<std::atomic<bool>*>(user)->store(true);
  return 0;  // stay registered
}

}  // namespace

void LibUsbLibrary::WaitForArrival(std::string_view identity, std::chrono::milliseconds timeout) {
  if (RenewIfStale()) {
    return;  // the devices have changed: the caller looks again
  }
  const auto parsed = ParseUsbIdentity(identity);
  libusb_context* context = UsbContext();
  if (!parsed || context == nullptr || libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG) == 0) {
    UsbLibrary::WaitForArrival(identity, timeout);
    return;
  }
  if (!hotplug_) {
    libusb_hotplug_callback_handle handle = 0;
    if (libusb_hotplug_register_callback(context, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED,
                                         LIBUSB_HOTPLUG_NO_FLAGS, parsed->vendor, parsed->product,
                                         LIBUSB_HOTPLUG_MATCH_ANY, OnArrival, &arrived_,
                                         &handle) != LIBUSB_SUCCESS) {
      UsbLibrary::WaitForArrival(identity, timeout);
      return;
    }
    hotplug_ = handle;
  }
  // The callback runs inside event handling, so events are handled until it has run or the
  // time is up.
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  arrived_ = false;
  while (!arrived_) {
    const auto left = std::chrono::duration_cast<std::chrono::microseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      break;
    }
    timeval tv{static_cast<decltype(tv.tv_sec)>(left.count() / 1000000),
               static_cast<decltype(tv.tv_usec)>(left.count() % 1000000)};
    int completed = 0;
    libusb_handle_events_timeout_completed(context, &tv, &completed);
  }
}

#ifdef __linux__
namespace {

// The devices the kernel has now, by bus and address (as DeviceKey gives them): the entries of
// /sys/bus/usb/devices that are devices ("1-2", "usb1"), not interfaces ("1-2:1.0").
// Nothing when sysfs cannot be read.
std::optional<std::set<std::uint32_t>> KernelDevices() {
  const std::filesystem::path folder = "/sys/bus/usb/devices";
  std::error_code error;
  std::filesystem::directory_iterator entries(folder, error);
  if (error) {
    return std::nullopt;
  }
  const auto number = [](const std::filesystem::path& file) {
    unsigned value = 0;
    std::ifstream in(file);
    return (in >> value) ? std::optional<unsigned>(value) : std::nullopt;
  };
  std::set<std::uint32_t> devices;
  for (const std::filesystem::directory_entry& entry : entries) {
    if (entry.path().filename().string().find(':') != std::string::npos) {
      continue;
    }
    const auto bus = number(entry.path() / "busnum");
    const auto address = number(entry.path() / "devnum");
    if (bus && address) {  // else it is leaving right now
      devices.insert((*bus << 8) | *address);
    }
  }
  return devices;
}

}  // namespace
#endif

// libusb on Linux learns of devices that come and go from udev's events only: where udevd does
// not run (a container given the USB device nodes, a small system) or its events do not
// reach this process, libusb's list keeps what it found when its context started. So each scan
// compares that list with the kernel's own (sysfs), and when they differ starts a new context,
// which enumerates afresh; where the events arrive, the two agree and a scan costs one folder
// read. Elsewhere libusb either has events of its own or enumerates at every list.
bool LibUsbLibrary::RenewIfStale() {
#ifdef __linux__
  libusb_context* context = UsbContext();
  if (context == nullptr) {
    return false;
  }
  const auto kernel = KernelDevices();
  if (!kernel) {
    return false;
  }
  std::set<std::uint32_t> listed;
  libusb_device** list = nullptr;
  const ssize_t count = libusb_get_device_list(context, &list);
  for (ssize_t i = 0; i < count; ++i) {
    listed.insert(DeviceKey(list[i]));
  }
  if (count >= 0) {
    libusb_free_device_list(list, 1);
  }
  if (listed == *kernel) {
    return false;
  }
  int error = LIBUSB_SUCCESS;
  auto renewed = Context::Renew(error);
  if (!renewed) {
    return false;
  }
  if (hotplug_) {
    libusb_hotplug_deregister_callback(context, *hotplug_);
    hotplug_.reset();
  }
  context_ = std::move(renewed);
  return true;
#else
  return false;
#endif
}

std::vector<std::string> LibUsbLibrary::Diagnostics(std::string_view identity) {
  std::vector<std::string> lines;
  const libusb_version* version = libusb_get_version();
  lines.push_back("libusb " + std::to_string(version->major) + "." +
                  std::to_string(version->minor) + "." + std::to_string(version->micro) +
                  (libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG) != 0 ? ", with hotplug"
                                                                      : ", without hotplug"));
  const auto parsed = ParseUsbIdentity(identity);
  libusb_context* context = UsbContext();
  if (context == nullptr) {
    lines.push_back("libusb could not be started, so no device can be found");
    return lines;
  }
  if (!parsed) {
    return lines;
  }
  const MatchingDevices matching(context, *parsed);
  char id[16];
  std::snprintf(id, sizeof id, "%04x:%04x", parsed->vendor, parsed->product);
  if (matching.Devices().empty()) {
    lines.push_back(std::string("no device with the bootloader's identity ") + id + " is attached");
  }
  for (std::size_t i = 0; i < matching.Devices().size(); ++i) {
    libusb_device* device = matching.Devices()[i];
    std::string line = "device " + std::to_string(i) + " at " + matching.Locations()[i] + " (bus " +
                       std::to_string(libusb_get_bus_number(device)) + ", address " +
                       std::to_string(libusb_get_device_address(device)) + ", " + id + "): ";
    libusb_device_handle* handle = nullptr;
    const int opened = libusb_open(device, &handle);
    if (opened != LIBUSB_SUCCESS) {
      line +=
          std::string("cannot be opened: ") + libusb_strerror(static_cast<libusb_error>(opened));
      if (opened == LIBUSB_ERROR_ACCESS) {
        line += ". " + AccessDeniedAdviceHere();
      }
    } else {
      const auto endpoint = FindEndpoint(device, LIBUSB_ENDPOINT_IN | 1);
      const int claimed = endpoint ? libusb_claim_interface(handle, endpoint->interfaceNumber)
                                   : LIBUSB_ERROR_NOT_FOUND;
      if (claimed == LIBUSB_SUCCESS) {
        libusb_release_interface(handle, endpoint->interfaceNumber);
        line += "can be opened";
      } else if (claimed == LIBUSB_ERROR_NOT_FOUND) {
        line += "opens, but has no pipe \\MCHP_EP1";
      } else {
        line += std::string("opens, but its interface cannot be claimed: ") +
                libusb_strerror(static_cast<libusb_error>(claimed));
      }
      libusb_close(handle);
    }
    lines.push_back(line);
  }
  return lines;
}

PipeHandle LibUsbLibrary::Fail(std::uint32_t code) {
  lastError_ = code;
  return kInvalidPipe;
}

PipeHandle LibUsbLibrary::MPUSBOpen(std::uint32_t instance, std::string_view identity,
                                    std::string_view pipeName, std::uint32_t direction,
                                    std::uint32_t /*reserved*/) {
  const auto parsed = ParseUsbIdentity(identity);
  const auto endpointNumber = ParsePipeEndpoint(pipeName);
  if (!parsed || !endpointNumber || direction > 1) {
    return Fail(kErrorInvalidParameter);
  }
  libusb_context* context = UsbContext();
  if (context == nullptr) {
    return Fail(kErrorFileNotFound);
  }
  const MatchingDevices matching(context, *parsed, pinned_);
  if (instance >= matching.Devices().size()) {
    return Fail(kErrorFileNotFound);
  }
  libusb_device* device = matching.Devices()[instance];
  const std::uint8_t address =
      static_cast<std::uint8_t>(*endpointNumber | (direction == 1 ? LIBUSB_ENDPOINT_IN : 0));
  const auto endpoint = FindEndpoint(device, address);
  if (!endpoint) {
    return Fail(kErrorFileNotFound);
  }
  if (endpoint->transferType != LIBUSB_TRANSFER_TYPE_BULK &&
      endpoint->transferType != LIBUSB_TRANSFER_TYPE_INTERRUPT) {
    return Fail(kErrorNotSupported);
  }

  const std::uint32_t key = DeviceKey(device);
  std::shared_ptr<OpenDevice> open = devices_[key].lock();
  if (open && libusb_get_device(open->Handle()) != device) {
    open.reset();  // the address now belongs to another device; the old handle stays with its pipes
  }
  if (!open) {
    libusb_device_handle* handle = nullptr;
    const int result = libusb_open(device, &handle);
    if (result != LIBUSB_SUCCESS) {
      if (result == LIBUSB_ERROR_ACCESS) {
        notice_ = AccessDeniedAdviceHere();
      }
      return Fail(WindowsErrorFor(result));
    }
    open = std::make_shared<OpenDevice>(context_, handle);
    devices_[key] = open;
  }
  const int claimed = open->Claim(endpoint->interfaceNumber, endpoint->alternateSetting);
  if (claimed != LIBUSB_SUCCESS) {
    if (claimed == LIBUSB_ERROR_ACCESS) {
      notice_ = AccessDeniedAdviceHere();
    }
    return Fail(WindowsErrorFor(claimed));
  }

  // Handles count up and start again at 1 before they would overflow, skipping any still in
  // use: a handle is never 0 or negative, however many pipes a process opens.
  while (pipes_.contains(nextHandle_)) {
    nextHandle_ = nextHandle_ == std::numeric_limits<PipeHandle>::max() ? 1 : nextHandle_ + 1;
  }
  const PipeHandle handle = nextHandle_;
  nextHandle_ = nextHandle_ == std::numeric_limits<PipeHandle>::max() ? 1 : nextHandle_ + 1;
  pipes_.emplace(handle, std::make_unique<Pipe>(Pipe{
                             open, address, endpoint->transferType, endpoint->maxPacketSize, {}}));
  return handle;
}

std::int32_t LibUsbLibrary::Transfer(PipeHandle handle, std::uint8_t* data, std::size_t length,
                                     std::uint32_t& count, std::uint32_t timeoutMs, bool in) {
  count = 0;
  const auto found = pipes_.find(handle);
  if (found == pipes_.end() || ((found->second->endpoint & LIBUSB_ENDPOINT_IN) != 0) != in) {
    lastError_ = kErrorInvalidHandle;
    return 0;
  }
  if (length > static_cast<std::size_t>(INT_MAX)) {
    lastError_ = kErrorInvalidParameter;
    return 0;
  }
  if (in && length == 0) {
    // Nothing asked for, nothing to wait for: a read of 0 bytes succeeds at once, as the
    // vendor's library does. The reset request expects no reply, and the device may be gone
    // before a zero-length packet could ever arrive.
    return 1;
  }
  Pipe& pipe = *found->second;
  // A read goes into whole packets: a device that sends more than was asked for then does not
  // overflow the transfer (an error with a message); the caller gets at most what it asked
  // for and the true count, which the link takes as a failure without a message.
  std::uint8_t* target = data;
  std::size_t targetLength = length;
  if (in) {
    const std::size_t packets = (length + pipe.maxPacketSize - 1) / pipe.maxPacketSize;
    pipe.packets.resize(std::max<std::size_t>(packets, 1) * pipe.maxPacketSize);
    target = pipe.packets.data();
    targetLength = pipe.packets.size();
    if (targetLength > static_cast<std::size_t>(INT_MAX)) {
      lastError_ = kErrorInvalidParameter;
      return 0;
    }
  }
  // libusb reads a time-out of 0 as "wait forever"; the link's callers never mean that.
  const unsigned int timeout = std::max<std::uint32_t>(timeoutMs, 1);
  int transferred = 0;
  const int result =
      pipe.transferType == LIBUSB_TRANSFER_TYPE_INTERRUPT
          ? libusb_interrupt_transfer(pipe.device->Handle(), pipe.endpoint, target,
                                      static_cast<int>(targetLength), &transferred, timeout)
          : libusb_bulk_transfer(pipe.device->Handle(), pipe.endpoint, target,
                                 static_cast<int>(targetLength), &transferred, timeout);
  count = static_cast<std::uint32_t>(std::max(transferred, 0));
  if (in) {
    std::copy_n(pipe.packets.begin(), std::min<std::size_t>(count, length), data);
  }
  if (result != LIBUSB_SUCCESS) {
    lastError_ = WindowsErrorFor(result);
    if (result == LIBUSB_ERROR_IO && DeviceLeft(*pipe.device)) {
      // Pulled out during the transfer: the same as a device that is gone.
      lastError_ = kErrorInvalidHandle;
    }
    return 0;
  }
  return 1;
}

bool LibUsbLibrary::DeviceLeft(const OpenDevice& device) {
  const auto deadline = std::chrono::steady_clock::now() + kGoneCheckTime;
  for (;;) {
    if (device.Gone()) {
      return true;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      return false;
    }
    std::this_thread::sleep_for(kGoneCheckStep);
  }
}

std::int32_t LibUsbLibrary::MPUSBWrite(PipeHandle handle, std::span<const std::uint8_t> data,
                                       std::uint32_t& sent, std::uint32_t timeoutMs) {
  // libusb takes a non-const buffer for both directions; an OUT transfer only reads it.
  return Transfer(handle, const_cast<std::uint8_t*>(data.data()), data.size(), sent, timeoutMs,
                  false);
}

std::int32_t LibUsbLibrary::MPUSBRead(PipeHandle handle, std::span<std::uint8_t> buffer,
                                      std::uint32_t& received, std::uint32_t timeoutMs) {
  // The buffer is exactly the expected count; a longer reply is cut to it (see Transfer).
  return Transfer(handle, buffer.data(), buffer.size(), received, timeoutMs, true);
}

std::int32_t LibUsbLibrary::MPUSBClose(PipeHandle handle) {
  const auto found = pipes_.find(handle);
  if (found == pipes_.end()) {
    lastError_ = kErrorInvalidHandle;
    return 0;
  }
  pipes_.erase(found);
  std::erase_if(devices_, [](const auto& entry) { return entry.second.expired(); });
  return 1;
}

}  // namespace korvane::link
