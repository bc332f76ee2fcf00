#include "link/LibUsbRuntime.h"

#include <windows.h>

#include <libusb.h>

#include <atomic>
#include <filesystem>
#include <type_traits>
#include <utility>
#include <vector>

#include "link/LibUsbLibrary.h"
#include "platform/Files.h"

namespace korvane::link {

namespace {

namespace fs = std::filesystem;

// The libusb functions the programs call. A libusb call added to LibUsbLibrary.cpp needs its
// name here and a forwarder at the end of this file.
// clang-format off
#define KORVANE_LIBUSB_FUNCTIONS(X)         \
  X(libusb_bulk_transfer)                   \
  X(libusb_claim_interface)                 \
  X(libusb_close)                           \
  X(libusb_error_name)                      \
  X(libusb_exit)                            \
  X(libusb_free_config_descriptor)          \
  X(libusb_free_device_list)                \
  X(libusb_get_active_config_descriptor)    \
  X(libusb_get_bus_number)                  \
  X(libusb_get_configuration)               \
  X(libusb_get_device)                      \
  X(libusb_get_device_address)              \
  X(libusb_get_device_descriptor)           \
  X(libusb_get_device_list)                 \
  X(libusb_get_port_numbers)                \
  X(libusb_get_version)                     \
  X(libusb_handle_events_timeout_completed) \
  X(libusb_has_capability)                  \
  X(libusb_hotplug_deregister_callback)     \
  X(libusb_hotplug_register_callback)       \
  X(libusb_init)                            \
  X(libusb_interrupt_transfer)              \
  X(libusb_open)                            \
  X(libusb_release_interface)               \
  X(libusb_set_auto_detach_kernel_driver)   \
  X(libusb_set_interface_alt_setting)       \
  X(libusb_strerror)
// clang-format on

// The DLL's functions, typed as libusb.h declares them.
struct Functions {
#define KORVANE_LIBUSB_MEMBER(name) decltype(&::name) name = nullptr;
  KORVANE_LIBUSB_FUNCTIONS(KORVANE_LIBUSB_MEMBER)
#undef KORVANE_LIBUSB_MEMBER
};

struct Runtime {
  Functions functions;
  bool loaded = false;
  std::string problem;
};

fs::path ProgramFile() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) {
      return {};
    }
    if (length < path.size()) {
      path.resize(length);
      return path;
    }
    path.resize(path.size() * 2);
  }
}

std::string ModuleFile(HMODULE module) {
  std::wstring path(MAX_PATH, L'\0');
  const DWORD length = GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
  path.resize(length < path.size() ? length : 0);
  return platform::Utf8FromWide(path);
}

// A plain function pointer from an export; the cast through void(*)() is the sanctioned way.
template <typename Fn>
void Resolve(HMODULE module, const char* name, Fn& function, std::vector<std::string>& lacking) {
  function = reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
  if (function == nullptr) {
    lacking.emplace_back(name);
  }
}

Runtime Load() {
  Runtime runtime;
  const std::string dll = platform::Utf8FromWide(kLibUsbDllName);
  const fs::path program = ProgramFile();
  const fs::path folder = program.parent_path();
  const std::string where = "the folder of " + platform::Utf8FromPath(program.filename()) + " (" +
                            platform::Utf8FromPath(folder) + ")";
  const std::string unreachable = "so no device bound to WinUSB can be reached";

  const std::wstring name(kLibUsbDllName);
  HMODULE module = LoadLibraryExW(name.c_str(), nullptr, LOAD_LIBRARY_SEARCH_APPLICATION_DIR);
  DWORD error = module == nullptr ? GetLastError() : ERROR_SUCCESS;
  if (module == nullptr && error == ERROR_INVALID_PARAMETER && !folder.empty()) {
    // A Windows without the search flags: the same file by its full name.
    module = LoadLibraryExW((folder / name).c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    error = module == nullptr ? GetLastError() : ERROR_SUCCESS;
  }
  if (module == nullptr) {
    std::error_code ignored;
    if (folder.empty() || !fs::is_regular_file(folder / name, ignored)) {
      runtime.problem = "The USB library " + dll + " is missing from " + where + ", " +
                        unreachable + ": put the " + dll + " that comes with Korvane there.";
    } else {
      runtime.problem = "The USB library " + dll + " in " + where +
                        " could not be loaded (Windows error " + std::to_string(error) + ": " +
                        platform::WindowsErrorText(error) + "), " + unreachable + ".";
    }
    return runtime;
  }

  std::vector<std::string> lacking;
#define KORVANE_LIBUSB_RESOLVE(name) Resolve(module, #name, runtime.functions.name, lacking);
  KORVANE_LIBUSB_FUNCTIONS(KORVANE_LIBUSB_RESOLVE)
#undef KORVANE_LIBUSB_RESOLVE
  if (!lacking.empty()) {
    std::string names;
    for (const std::string& function : lacking) {
      names += (names.empty() ? "" : ", ") + function;
    }
    runtime.problem = "The USB library " + ModuleFile(module) + " lacks the function" +
                      (lacking.size() == 1 ? " " : "s ") + names + ", " + unreachable +
                      ": put the " + dll + " that comes with Korvane in " + where + ".";
    runtime.functions = {};
    FreeLibrary(module);
    return runtime;
  }
  // The DLL stays loaded until the process ends: a libusb context may live that long.
  runtime.loaded = true;
  return runtime;
}

const Runtime& TheRuntime() {
  static const Runtime runtime = Load();
  return runtime;
}

const Functions* LoadedFunctions() {
  const Runtime& runtime = TheRuntime();
  return runtime.loaded ? &runtime.functions : nullptr;
}

// Calls the DLL's function; without the DLL, returns `absent`. Nothing reaches a function that
// needs a context or a device without it, since no context can be made then.
template <auto Member, typename Absent, typename... Args>
auto ForwardOr(Absent absent, Args... args) {
  using Result = decltype((std::declval<const Functions&>().*Member)(args...));
  if (const Functions* functions = LoadedFunctions()) {
    return (functions->*Member)(args...);
  }
  return static_cast<Result>(absent);
}

template <auto Member, typename... Args>
void Forward(Args... args) {
  if (const Functions* functions = LoadedFunctions()) {
    (functions->*Member)(args...);
  }
}

// The libusb route where the DLL could not be loaded: no device, and the reason, once per
// process (the bench and every device of a run make a library of their own).
std::atomic<bool> problemTold{false};

class LibUsbDllMissing final : public UsbLibrary {
 public:
  std::int32_t MPUSBGetDeviceCount(std::string_view /*identity*/) override {
    Tell();
    return 0;
  }
  std::vector<AttachedDevice> ListDevices(std::string_view /*identity*/) override {
    Tell();
    return {};
  }
  PipeHandle MPUSBOpen(std::uint32_t, std::string_view, std::string_view, std::uint32_t,
                       std::uint32_t) override {
    Tell();
    lastError_ = ERROR_MOD_NOT_FOUND;
    return kInvalidPipe;
  }
  std::int32_t MPUSBWrite(PipeHandle, std::span<const std::uint8_t>, std::uint32_t& sent,
                          std::uint32_t) override {
    sent = 0;
    lastError_ = kErrorInvalidHandle;
    return 0;
  }
  std::int32_t MPUSBRead(PipeHandle, std::span<std::uint8_t>, std::uint32_t& received,
                         std::uint32_t) override {
    received = 0;
    lastError_ = kErrorInvalidHandle;
    return 0;
  }
  std::int32_t MPUSBClose(PipeHandle) override {
    lastError_ = kErrorInvalidHandle;
    return 0;
  }
  std::uint32_t GetLastError() override { return lastError_; }
  std::string TakeUserNotice() override { return std::exchange(notice_, {}); }
  // The route's devices have places, as through the DLL; there are just none to be seen.
  bool KnowsPlaces() const override { return true; }
  bool PinLocation(std::string_view /*location*/) override { return true; }
  std::string LibraryName() const override { return "libusb"; }
  Availability Available() override { return Availability::Broken; }
  std::vector<std::string> Diagnostics(std::string_view /*identity*/) override {
    return {"libusb is not loaded, so it finds no device"};
  }

 private:
  void Tell() {
    if (!problemTold.exchange(true)) {
      notice_ = LibUsbDllProblem();
    }
  }

  std::string notice_;
  std::uint32_t lastError_ = 0;
};

}  // namespace

const std::string& LibUsbDllProblem() {
  return TheRuntime().problem;
}

std::unique_ptr<UsbLibrary> MakeLibUsbLibrary() {
  if (LibUsbDllProblem().empty()) {
    return std::make_unique<LibUsbLibrary>();
  }
  return std::make_unique<LibUsbDllMissing>();
}

}  // namespace korvane::link

// The libusb functions, forwarded to the DLL's.
using korvane::link::Forward;
using korvane::link::ForwardOr;
using korvane::link::Functions;

extern "C" {

int LIBUSB_CALL libusb_init(libusb_context** context) {
  return ForwardOr<&Functions::libusb_init>(LIBUSB_ERROR_NOT_FOUND, context);
}

void LIBUSB_CALL libusb_exit(libusb_context* context) {
  Forward<&Functions::libusb_exit>(context);
}

const libusb_version* LIBUSB_CALL libusb_get_version(void) {
  static const libusb_version none{};
  return ForwardOr<&Functions::libusb_get_version>(&none);
}

int LIBUSB_CALL libusb_has_capability(uint32_t capability) {
  return ForwardOr<&Functions::libusb_has_capability>(0, capability);
}

const char* LIBUSB_CALL libusb_error_name(int error) {
  return ForwardOr<&Functions::libusb_error_name>("LIBUSB_ERROR_NOT_FOUND", error);
}

const char* LIBUSB_CALL libusb_strerror(int error) {
  return ForwardOr<&Functions::libusb_strerror>("libusb-1.0.dll is not loaded", error);
}

ssize_t LIBUSB_CALL libusb_get_device_list(libusb_context* context, libusb_device*** list) {
  return ForwardOr<&Functions::libusb_get_device_list>(LIBUSB_ERROR_NOT_FOUND, context, list);
}

void LIBUSB_CALL libusb_free_device_list(libusb_device** list, int unref) {
  Forward<&Functions::libusb_free_device_list>(list, unref);
}

int LIBUSB_CALL libusb_get_device_descriptor(libusb_device* device,
                                             libusb_device_descriptor* descriptor) {
  return ForwardOr<&Functions::libusb_get_device_descriptor>(LIBUSB_ERROR_NOT_FOUND, device,
                                                             descriptor);
}

int LIBUSB_CALL libusb_get_active_config_descriptor(libusb_device* device,
                                                    libusb_config_descriptor** config) {
  return ForwardOr<&Functions::libusb_get_active_config_descriptor>(LIBUSB_ERROR_NOT_FOUND, device,
                                                                    config);
}

void LIBUSB_CALL libusb_free_config_descriptor(libusb_config_descriptor* config) {
  Forward<&Functions::libusb_free_config_descriptor>(config);
}

uint8_t LIBUSB_CALL libusb_get_bus_number(libusb_device* device) {
  return ForwardOr<&Functions::libusb_get_bus_number>(0, device);
}

uint8_t LIBUSB_CALL libusb_get_device_address(libusb_device* device) {
  return ForwardOr<&Functions::libusb_get_device_address>(0, device);
}

int LIBUSB_CALL libusb_get_port_numbers(libusb_device* device, uint8_t* ports, int length) {
  return ForwardOr<&Functions::libusb_get_port_numbers>(LIBUSB_ERROR_NOT_FOUND, device, ports,
                                                        length);
}

int LIBUSB_CALL libusb_open(libusb_device* device, libusb_device_handle** handle) {
  return ForwardOr<&Functions::libusb_open>(LIBUSB_ERROR_NOT_FOUND, device, handle);
}

void LIBUSB_CALL libusb_close(libusb_device_handle* handle) {
  Forward<&Functions::libusb_close>(handle);
}

libusb_device* LIBUSB_CALL libusb_get_device(libusb_device_handle* handle) {
  return ForwardOr<&Functions::libusb_get_device>(nullptr, handle);
}

int LIBUSB_CALL libusb_get_configuration(libusb_device_handle* handle, int* configuration) {
  return ForwardOr<&Functions::libusb_get_configuration>(LIBUSB_ERROR_NOT_FOUND, handle,
                                                         configuration);
}

int LIBUSB_CALL libusb_set_auto_detach_kernel_driver(libusb_device_handle* handle, int enable) {
  return ForwardOr<&Functions::libusb_set_auto_detach_kernel_driver>(LIBUSB_ERROR_NOT_FOUND, handle,
                                                                     enable);
}

int LIBUSB_CALL libusb_claim_interface(libusb_device_handle* handle, int interface) {
  return ForwardOr<&Functions::libusb_claim_interface>(LIBUSB_ERROR_NOT_FOUND, handle, interface);
}

int LIBUSB_CALL libusb_release_interface(libusb_device_handle* handle, int interface) {
  return ForwardOr<&Functions::libusb_release_interface>(LIBUSB_ERROR_NOT_FOUND, handle, interface);
}

int LIBUSB_CALL libusb_set_interface_alt_setting(libusb_device_handle* handle, int interface,
                                                 int setting) {
  return ForwardOr<&Functions::libusb_set_interface_alt_setting>(LIBUSB_ERROR_NOT_FOUND, handle,
                                                                 interface, setting);
}

int LIBUSB_CALL libusb_bulk_transfer(libusb_device_handle* handle, unsigned char endpoint,
                                     unsigned char* data, int length, int* transferred,
                                     unsigned int timeout) {
  return ForwardOr<&Functions::libusb_bulk_transfer>(LIBUSB_ERROR_NOT_FOUND, handle, endpoint, data,
                                                     length, transferred, timeout);
}

int LIBUSB_CALL libusb_interrupt_transfer(libusb_device_handle* handle, unsigned char endpoint,
                                          unsigned char* data, int length, int* transferred,
                                          unsigned int timeout) {
  return ForwardOr<&Functions::libusb_interrupt_transfer>(LIBUSB_ERROR_NOT_FOUND, handle, endpoint,
                                                          data, length, transferred, timeout);
}

int LIBUSB_CALL libusb_handle_events_timeout_completed(libusb_context* context, timeval* tv,
                                                       int* completed) {
  return ForwardOr<&Functions::libusb_handle_events_timeout_completed>(LIBUSB_ERROR_NOT_FOUND,
                                                                       context, tv, completed);
}

int LIBUSB_CALL libusb_hotplug_register_callback(libusb_context* context, int events, int flags,
                                                 int vendor, int product, int deviceClass,
                                                 libusb_hotplug_callback_fn callback, void* user,
                                                 libusb_hotplug_callback_handle* handle) {
  return ForwardOr<&Functions::libusb_hotplug_register_callback>(
      LIBUSB_ERROR_NOT_SUPPORTED, context, events, flags, vendor, product, deviceClass, callback,
      user, handle);
}

void LIBUSB_CALL libusb_hotplug_deregister_callback(libusb_context* context,
                                                    libusb_hotplug_callback_handle handle) {
  Forward<&Functions::libusb_hotplug_deregister_callback>(context, handle);
}

}  // extern "C"
