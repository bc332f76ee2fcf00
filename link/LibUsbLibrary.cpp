#include "link/LibUsbLibrary.h"

#include <libusb.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <charconv>
#include <climits>
#include <mutex>
#include <set>
#include <utility>
#include <vector>

namespace korvane::link {

namespace {

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

std::optional<std::uint16_t> ParseHex4(std::string_view text) {
  if (text.size() != 4) {
    return std::nullopt;
  }
  std::uint16_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
  if (error != std::errc{} || end != text.data() + text.size()) {
    return std::nullopt;
  }
  return value;
}

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

std::string AccessDeniedNotice() {
  return "Access to the USB device was denied; install the udev rule " +
         std::string(kUdevRuleName) +
         " (from packaging/linux/) in /etc/udev/rules.d/, reload the udev rules and plug the "
         "device in again.";
}

// Told once per process: the USB library could not be started.
std::atomic<bool> initFailureTold{false};

std::uint32_t DeviceKey(libusb_device* device) {
  return (static_cast<std::uint32_t>(libusb_get_bus_number(device)) << 8) |
         libusb_get_device_address(device);
}

// The devices of the context's current list that match `identity`, in enumeration order.
class MatchingDevices {
 public:
  MatchingDevices(libusb_context* context, const UsbIdentity& identity) {
    const ssize_t count = libusb_get_device_list(context, &list_);
    if (count < 0) {
      list_ = nullptr;
      return;
    }
    for (ssize_t i = 0; i < count; ++i) {
      libusb_device_descriptor descriptor{};
      if (libusb_get_device_descriptor(list_[i], &descriptor) == LIBUSB_SUCCESS &&
          descriptor.idVendor == identity.vendor && descriptor.idProduct == identity.product) {
        matches_.push_back(list_[i]);
      }
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

 private:
  libusb_device** list_ = nullptr;
  std::vector<libusb_device*> matches_;
};

struct EndpointInfo {
  int interfaceNumber = -1;
  std::uint8_t transferType = 0;
};

// Finds the endpoint in the active configuration: the interface that holds it and its type.
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
          found = EndpointInfo{setting.bInterfaceNumber,
                               static_cast<std::uint8_t>(endpoint.bmAttributes & 0x03)};
          break;
        }
      }
    }
  }
  libusb_free_config_descriptor(config);
  return found;
}

}  // namespace

std::optional<UsbIdentity> ParseUsbIdentity(std::string_view identity) {
  // "vid_XXXX&pid_XXXX": 17 characters, hexadecimal digits in any case.
  if (identity.size() != 17 || !EqualsIgnoringCase(identity.substr(0, 4), "vid_") ||
      !EqualsIgnoringCase(identity.substr(8, 5), "&pid_")) {
    return std::nullopt;
  }
  const auto vendor = ParseHex4(identity.substr(4, 4));
  const auto product = ParseHex4(identity.substr(13, 4));
  if (!vendor || !product) {
    return std::nullopt;
  }
  return UsbIdentity{*vendor, *product};
}

std::optional<std::uint8_t> ParsePipeEndpoint(std::string_view pipeName) {
  constexpr std::string_view prefix = "\\MCHP_EP";
  if (pipeName.size() <= prefix.size() || pipeName.size() > prefix.size() + 2 ||
      !EqualsIgnoringCase(pipeName.substr(0, prefix.size()), prefix)) {
    return std::nullopt;
  }
  const std::string_view digits = pipeName.substr(prefix.size());
  unsigned number = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
  if (error != std::errc{} || end != digits.data() + digits.size() || number > 15) {
    return std::nullopt;
  }
  return static_cast<std::uint8_t>(number);
}

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
  static std::shared_ptr<Context> Acquire(int& error) {
    static std::mutex mutex;
    static std::weak_ptr<Context> shared;
    const std::lock_guard lock(mutex);
    if (auto existing = shared.lock()) {
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

 private:
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

  int Claim(int interface) {
    if (claimed_.contains(interface)) {
      return LIBUSB_SUCCESS;
    }
    const int result = libusb_claim_interface(handle_, interface);
    if (result == LIBUSB_SUCCESS) {
      claimed_.insert(interface);
    }
    return result;
  }

 private:
  std::shared_ptr<Context> context_;  // outlives the handle
  libusb_device_handle* handle_;
  std::set<int> claimed_;
};

struct LibUsbLibrary::Pipe {
  std::shared_ptr<OpenDevice> device;
  std::uint8_t endpoint = 0;
  std::uint8_t transferType = LIBUSB_TRANSFER_TYPE_BULK;
};

LibUsbLibrary::LibUsbLibrary() = default;

LibUsbLibrary::~LibUsbLibrary() {
  // Pipes first: they close their devices while the context is still there.
  pipes_.clear();
  devices_.clear();
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
  const MatchingDevices matching(context, *parsed);
  return static_cast<std::int32_t>(matching.Devices().size());
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
  const MatchingDevices matching(context, *parsed);
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
        notice_ = AccessDeniedNotice();
      }
      return Fail(WindowsErrorFor(result));
    }
    open = std::make_shared<OpenDevice>(context_, handle);
    devices_[key] = open;
  }
  const int claimed = open->Claim(endpoint->interfaceNumber);
  if (claimed != LIBUSB_SUCCESS) {
    if (claimed == LIBUSB_ERROR_ACCESS) {
      notice_ = AccessDeniedNotice();
    }
    return Fail(WindowsErrorFor(claimed));
  }

  const PipeHandle handle = nextHandle_++;
  pipes_.emplace(handle, std::make_unique<Pipe>(Pipe{open, address, endpoint->transferType}));
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
  const Pipe& pipe = *found->second;
  // libusb reads a time-out of 0 as "wait forever"; the link's callers never mean that.
  const unsigned int timeout = std::max<std::uint32_t>(timeoutMs, 1);
  int transferred = 0;
  const int result =
      pipe.transferType == LIBUSB_TRANSFER_TYPE_INTERRUPT
          ? libusb_interrupt_transfer(pipe.device->Handle(), pipe.endpoint, data,
                                      static_cast<int>(length), &transferred, timeout)
          : libusb_bulk_transfer(pipe.device->Handle(), pipe.endpoint, data,
                                 static_cast<int>(length), &transferred, timeout);
  count = static_cast<std::uint32_t>(std::max(transferred, 0));
  if (result != LIBUSB_SUCCESS) {
    lastError_ = WindowsErrorFor(result);
    return 0;
  }
  return 1;
}

std::int32_t LibUsbLibrary::MPUSBWrite(PipeHandle handle, std::span<const std::uint8_t> data,
                                       std::uint32_t& sent, std::uint32_t timeoutMs) {
  // libusb takes a non-const buffer for both directions; an OUT transfer only reads it.
  return Transfer(handle, const_cast<std::uint8_t*>(data.data()), data.size(), sent, timeoutMs,
                  false);
}

std::int32_t LibUsbLibrary::MPUSBRead(PipeHandle handle, std::span<std::uint8_t> buffer,
                                      std::uint32_t& received, std::uint32_t timeoutMs) {
  // The buffer is exactly the expected count: a device that sends more overflows it, which
  // fails the read instead of writing past the caller's buffer.
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
