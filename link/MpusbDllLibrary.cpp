#include "link/MpusbDllLibrary.h"

#include <windows.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/Files.h"

namespace korvane::link {

namespace {

using platform::Utf8FromWide;

// A full-speed bulk packet.
constexpr std::size_t kMaxPacketSize = 64;

// No count is believed beyond what one USB host controller can address.

// The library is not known to be safe for several threads, and `update --all` talks to several
// devices from several threads, each through a library object of its own: every call into the
// library, from any object, takes this lock.
std::mutex& LibraryLock() {
  static std::mutex lock;
  return lock;
}

// Calls into the library under its lock. `error` receives the thread's last error as the call
// left it, taken before anything else can change it; a library that sets none leaves 0, and a
// failure without a code is then reported as ERROR_GEN_FAILURE.
template <typename Call>
auto CallLibrary(Call&& call, DWORD& error) {
  const std::lock_guard lock(LibraryLock());
  SetLastError(ERROR_SUCCESS);
  auto result = call();
  error = ::GetLastError();
  return result;
}

template <typename Call>
auto CallLibrary(Call&& call) {
  DWORD ignored = 0;
  return CallLibrary(std::forward<Call>(call), ignored);
}

// The library's operations as it exports them: stdcall, single-byte strings, 32-bit handles
// (-1 when a pipe could not be opened), 32-bit counts and time-outs.
using MpusbHandle = std::int32_t;
using GetDeviceCountFn = std::int32_t(__stdcall*)(const char* identity);
using OpenFn = MpusbHandle(__stdcall*)(std::uint32_t instance, const char* identity,
                                       const char* pipeName, std::uint32_t direction,
                                       std::uint32_t reserved);
using WriteFn = std::int32_t(__stdcall*)(MpusbHandle handle, const void* data, std::uint32_t length,
                                         std::uint32_t* sent, std::uint32_t timeoutMs);
using ReadFn = std::int32_t(__stdcall*)(MpusbHandle handle, void* data, std::uint32_t length,
                                        std::uint32_t* received, std::uint32_t timeoutMs);
using CloseFn = std::int32_t(__stdcall*)(MpusbHandle handle);

// Owns a loaded module and frees it once.
class ModuleOwner {
 public:
  explicit ModuleOwner(HMODULE module) : module_(module) {}
  ModuleOwner(const ModuleOwner&) = delete;
  ModuleOwner& operator=(const ModuleOwner&) = delete;
  ~ModuleOwner() {
    if (module_ != nullptr) {
      FreeLibrary(module_);
    }
  }
  HMODULE Get() const { return module_; }

 private:
  HMODULE module_;
};

// The running program's full file name.
std::wstring ProgramPath() {
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

std::wstring FolderOf(const std::wstring& path) {
  const std::size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

std::wstring FileNameOf(const std::wstring& path) {
  const std::size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

std::wstring ModulePath(HMODULE module) {
  std::wstring path(MAX_PATH, L'\0');
  const DWORD length = GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
  path.resize(length < path.size() ? length : 0);
  return path;
}

// Loads `name` from the program's folder, else from the system folders; never from the current
// folder, so that a library planted next to an update file is not picked up.
HMODULE LoadFromSafeFolders(const std::wstring& name, DWORD& error) {
  HMODULE module =
      LoadLibraryExW(name.c_str(), nullptr,
                     LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
  error = module == nullptr ? ::GetLastError() : ERROR_SUCCESS;
  if (module != nullptr || error != ERROR_INVALID_PARAMETER) {
    return module;
  }
  // A Windows without the search flags: the same two places by full path.
  const std::wstring programFolder = FolderOf(ProgramPath());
  std::wstring systemFolder(MAX_PATH, L'\0');
  systemFolder.resize(GetSystemDirectoryW(systemFolder.data(), MAX_PATH));
  for (const std::wstring& folder : {programFolder, systemFolder}) {
    if (folder.empty()) {
      continue;
    }
    module =
        LoadLibraryExW((folder + L"\\" + name).c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (module != nullptr) {
      error = ERROR_SUCCESS;
      return module;
    }
    error = ::GetLastError();
  }
  return nullptr;
}

// True when `name` is a file in one of the two places LoadFromSafeFolders looks (or, given
// with its folder, where it says).
bool InstalledFile(const std::wstring& name) {
  const auto exists = [](const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
  };
  if (name.find_first_of(L"\\/") != std::wstring::npos) {
    return exists(name);
  }
  std::wstring systemFolder(MAX_PATH, L'\0');
  systemFolder.resize(GetSystemDirectoryW(systemFolder.data(), MAX_PATH));
  for (const std::wstring& folder : {FolderOf(ProgramPath()), systemFolder}) {
    if (!folder.empty() && exists(folder + L"\\" + name)) {
      return true;
    }
  }
  return false;
}

// Plain function pointer from an export; the cast through void(*)() is the sanctioned way.
template <typename Fn>
Fn Export(HMODULE module, const char* name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

std::string WhereItBelongs(const std::string& dll) {
  const std::wstring program = ProgramPath();
  return " The device's driver package provides " + dll + "; it can also be put in the folder of " +
         Utf8FromWide(FileNameOf(program)) + " (" + Utf8FromWide(FolderOf(program)) + ").";
}

}  // namespace

struct MpusbDllLibrary::Api {
  ModuleOwner module;
  GetDeviceCountFn getDeviceCount = nullptr;
  OpenFn open = nullptr;
  WriteFn write = nullptr;
  ReadFn read = nullptr;
  CloseFn close = nullptr;

  explicit Api(HMODULE loaded) : module(loaded) {}
};

MpusbDllLibrary::MpusbDllLibrary(std::wstring_view dllName) : dllName_(dllName) {}

MpusbDllLibrary::~MpusbDllLibrary() = default;

bool MpusbDllLibrary::Usable() {
  return EnsureLoaded();
}

bool MpusbDllLibrary::EnsureLoaded() {
  if (loadTried_) {
    return api_ != nullptr;
  }
  loadTried_ = true;

  const std::string dll = Utf8FromWide(dllName_);
  DWORD error = ERROR_SUCCESS;
  const HMODULE module = LoadFromSafeFolders(dllName_, error);
  loadError_ = error;
  if (module == nullptr) {
    installed_ = InstalledFile(dllName_);
    notice_ = "The USB library " + dll + " could not be loaded (Windows error " +
              std::to_string(error) + ": " + platform::WindowsErrorText(error) +
              "), so no device can be found." + WhereItBelongs(dll);
    loadProblem_ = notice_;
    return false;
  }
  installed_ = true;

  auto api = std::make_unique<Api>(module);
  api->getDeviceCount = Export<GetDeviceCountFn>(module, "MPUSBGetDeviceCount");
  api->open = Export<OpenFn>(module, "MPUSBOpen");
  api->write = Export<WriteFn>(module, "MPUSBWrite");
  api->read = Export<ReadFn>(module, "MPUSBRead");
  api->close = Export<CloseFn>(module, "MPUSBClose");

  std::string lacking;
  const std::pair<const char*, bool> operations[] = {
      {"MPUSBGetDeviceCount", api->getDeviceCount != nullptr},
      {"MPUSBOpen", api->open != nullptr},
      {"MPUSBWrite", api->write != nullptr},
      {"MPUSBRead", api->read != nullptr},
      {"MPUSBClose", api->close != nullptr},
  };
  for (const auto& [name, present] : operations) {
    if (!present) {
      lacking += (lacking.empty() ? "" : ", ") + std::string(name);
    }
  }
  if (!lacking.empty()) {
    loadError_ = ERROR_PROC_NOT_FOUND;
    notice_ = "The USB library " + Utf8FromWide(ModulePath(module)) + " lacks the operation" +
              (lacking.find(',') == std::string::npos ? " " : "s ") + lacking +
              ", so no device can be found." + WhereItBelongs("a complete " + dll);
    loadProblem_ = notice_;
    return false;  // `api` frees the module
  }
  api_ = std::move(api);
  return true;
}

UsbLibrary::Availability MpusbDllLibrary::Available() {
  if (EnsureLoaded()) {
    return Availability::Usable;
  }
  return installed_ ? Availability::Broken : Availability::Missing;
}

std::vector<std::string> MpusbDllLibrary::Diagnostics(std::string_view identity) {
  const std::string dll = Utf8FromWide(dllName_);
  if (!EnsureLoaded()) {
    if (!installed_) {
      const std::wstring program = ProgramPath();
      std::wstring systemFolder(MAX_PATH, L'\0');
      systemFolder.resize(GetSystemDirectoryW(systemFolder.data(), MAX_PATH));
      return {dll + " is not installed: it is neither in the folder of " +
              Utf8FromWide(FileNameOf(program)) + " (" + Utf8FromWide(FolderOf(program)) +
              ") nor in " + Utf8FromWide(systemFolder)};
    }
    return {loadProblem_};
  }
  const std::int32_t count = CountDevices(std::string(identity));
  return {dll + " loaded from " + Utf8FromWide(ModulePath(api_->module.Get())) + ": " +
          std::to_string(count) + (count == 1 ? " device" : " devices") + " with the identity " +
          std::string(identity)};
}

std::string MpusbDllLibrary::TakeUserNotice() {
  return std::exchange(notice_, {});
}

std::int32_t MpusbDllLibrary::MPUSBGetDeviceCount(std::string_view identity) {
  if (!EnsureLoaded()) {
    return 0;
  }
  const std::string text(identity);
  return CountDevices(text);
}

std::int32_t MpusbDllLibrary::CountDevices(const std::string& identity) {
  const std::int32_t count = CallLibrary([&] { return api_->getDeviceCount(identity.c_str()); });
  return std::clamp(count, 0, kMaxDevices);
}

PipeHandle MpusbDllLibrary::MPUSBOpen(std::uint32_t instance, std::string_view identity,
                                      std::string_view pipeName, std::uint32_t direction,
                                      std::uint32_t reserved) {
  if (!EnsureLoaded()) {
    lastError_ = loadError_;
    return kInvalidPipe;
  }
  std::string identityText(identity);
  const std::string pipeText(pipeName);
  DWORD error = ERROR_SUCCESS;
  const PipeHandle handle = CallLibrary(
      [&] {
        return api_->open(instance, identityText.c_str(), pipeText.c_str(), direction, reserved);
      },
      error);
  if (handle == kInvalidPipe) {
    // Kept for whoever decides whether to try again (a device whose access is still being set
    // up refuses opens for a moment).
    lastError_ = error != ERROR_SUCCESS ? error : ERROR_GEN_FAILURE;
    return handle;
  }
  pipes_[handle] = OpenPipe{std::move(identityText), instance};
  return handle;
}

std::int32_t MpusbDllLibrary::MPUSBWrite(PipeHandle handle, std::span<const std::uint8_t> data,
                                         std::uint32_t& sent, std::uint32_t timeoutMs) {
  if (!EnsureLoaded()) {
    lastError_ = ERROR_INVALID_HANDLE;
    return 0;
  }
  DWORD error = ERROR_SUCCESS;
  const std::int32_t result = CallLibrary(
      [&] {
        return api_->write(handle, data.data(), static_cast<std::uint32_t>(data.size()), &sent,
                           timeoutMs);
      },
      error);
  if (result != 1) {
    NoteFailure(handle, error);
  }
  return result;
}

std::int32_t MpusbDllLibrary::MPUSBRead(PipeHandle handle, std::span<std::uint8_t> buffer,
                                        std::uint32_t& received, std::uint32_t timeoutMs) {
  if (!EnsureLoaded()) {
    lastError_ = ERROR_INVALID_HANDLE;
    return 0;
  }
  if (buffer.empty()) {
    return ReadInto(handle, buffer, received, timeoutMs);
  }
  // The device answers in whole packets: the read takes whole packets, so that a reply longer
  // than expected arrives complete and its true count reaches the link, which refuses it. Only
  // the expected bytes are copied to the caller.
  std::vector<std::uint8_t> packets((buffer.size() + kMaxPacketSize - 1) / kMaxPacketSize *
                                    kMaxPacketSize);
  const std::int32_t result = ReadInto(handle, packets, received, timeoutMs);
  if (result == 1) {
    std::copy_n(packets.begin(), std::min<std::size_t>(received, buffer.size()), buffer.begin());
  }
  return result;
}

std::int32_t MpusbDllLibrary::ReadInto(PipeHandle handle, std::span<std::uint8_t> buffer,
                                       std::uint32_t& received, std::uint32_t timeoutMs) {
  DWORD error = ERROR_SUCCESS;
  const std::int32_t result = CallLibrary(
      [&] {
        return api_->read(handle, buffer.data(), static_cast<std::uint32_t>(buffer.size()),
                          &received, timeoutMs);
      },
      error);
  if (result != 1) {
    NoteFailure(handle, error);
  }
  return result;
}

void MpusbDllLibrary::NoteFailure(PipeHandle handle, std::uint32_t error) {
  lastError_ = error != ERROR_SUCCESS ? error : ERROR_GEN_FAILURE;
  if (lastError_ == ERROR_INVALID_HANDLE) {
    return;
  }
  // A device pulled out in the middle of a transfer fails with whatever its driver says. When it
  // is gone the link is told so by the invalid-handle code, and closes without a message.
  const auto opened = pipes_.find(handle);
  const bool gone =
      lastError_ == ERROR_DEVICE_NOT_CONNECTED ||
      (opened != pipes_.end() && static_cast<std::int64_t>(CountDevices(opened->second.identity)) <=
                                     static_cast<std::int64_t>(opened->second.instance));
  if (gone) {
    lastError_ = ERROR_INVALID_HANDLE;
  }
}

std::int32_t MpusbDllLibrary::MPUSBClose(PipeHandle handle) {
  if (!EnsureLoaded()) {
    return 0;
  }
  pipes_.erase(handle);
  return CallLibrary([&] { return api_->close(handle); });
}

}  // namespace korvane::link
