#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "link/UsbLibrary.h"

namespace korvane::link {

// The file the device's driver package installs; it is looked for in the program's own folder
// first, then in the system folders, never in the current folder.
inline constexpr std::wstring_view kMpusbDllName = L"vbmpusbapi.dll";

// The USB library on Windows: the device's own MPUSBAPI library, loaded at run time.
//
// The library is loaded on first use. Its five operations are taken by their plain names and
// called with the stdcall convention, single-byte strings and 32-bit handles, one call at a time
// in the whole process. Failed opens, writes and reads are followed by the thread's last error
// code, kept until the next failure (a failure without one is reported as 31); a failure after
// which the pipe's device is no longer counted is reported as 6 (invalid handle). Reads take
// whole 64-byte packets, so that a reply longer than expected is seen as such. Device counts
// below 0 are 0, and none is believed beyond 127.
//
// When the library cannot be loaded, or lacks one of the five operations, it is not used: every
// device count is 0, as if no device were attached, and the first count leaves one notice that
// says which file is missing or incomplete and where it belongs.
class MpusbDllLibrary final : public UsbLibrary {
 public:
  // `dllName` is the file to load, looked for as described above.
  explicit MpusbDllLibrary(std::wstring_view dllName = kMpusbDllName);
  MpusbDllLibrary(const MpusbDllLibrary&) = delete;
  MpusbDllLibrary& operator=(const MpusbDllLibrary&) = delete;
  ~MpusbDllLibrary() override;

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
  std::string LibraryName() const override { return "vbmpusbapi.dll"; }
  // Missing when the file is in neither place it is looked for; Broken when it is there but
  // does not load or lacks an operation.
  Availability Available() override;
  // Where the library was loaded from and how many devices it counts, or why it is not used.
  std::vector<std::string> Diagnostics(std::string_view identity) override;

  // True once the library was loaded with all five operations.
  bool Usable();

 private:
  struct Api;

  // What a pipe was opened on, to tell afterwards whether its device is still there.
  struct OpenPipe {
    std::string identity;
    std::uint32_t instance = 0;
  };

  // Loads the library on the first call; false when it cannot be used.
  bool EnsureLoaded();
  std::int32_t ReadInto(PipeHandle handle, std::span<std::uint8_t> buffer, std::uint32_t& received,
                        std::uint32_t timeoutMs);
  // The library's device count, negative counts as 0, none beyond 127.
  std::int32_t CountDevices(const std::string& identity);
  // Keeps the code of a failed write or read; a device that is gone is reported as 6.
  void NoteFailure(PipeHandle handle, std::uint32_t error);

  std::wstring dllName_;
  std::unique_ptr<Api> api_;  // null until loaded, and when the library cannot be used
  bool loadTried_ = false;
  std::string notice_;
  std::string loadProblem_;  // the notice of a library that cannot be used, kept for Diagnostics
  bool installed_ = false;   // the file is where the library is looked for
  std::uint32_t lastError_ = 0;
  std::uint32_t loadError_ = 0;  // why the library cannot be used
  std::map<PipeHandle, OpenPipe> pipes_;
};

}  // namespace korvane::link
