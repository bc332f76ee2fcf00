// A stand-in for the device's USB library, for tests only: the emulated bootloader device behind
// the five MPUSBAPI operations, built as a 32-bit DLL with plain stdcall export names.
//
// Environment:
//   KORVANE_STANDIN_FAULTS  faults as korvane-cli's --fault takes them, separated by commas
//                           ("timeout@3,write-error@0"); packets count from the DLL's load
//   KORVANE_STANDIN_STATE   a folder holding flash.bin and eeprom.bin: loaded when the DLL is
//                           first used, written back whenever a pipe is closed after the memory
//                           changed, so that successive programs see one device
//   KORVANE_STANDIN_TIMING  "1": the USB and flash timing model is on
//   KORVANE_STANDIN_COUNT   the device count to report instead of the device's own ("-5")
//   KORVANE_STANDIN_OPEN_ERROR  "CODE" or "CODE*N": every open (the first N opens) fails and
//                           leaves CODE as the thread's last error (0: leaves none)
//   KORVANE_STANDIN_ONE_CALLER  "1": a library that is not safe for several threads: a device
//                           count asked while another call is in progress answers 0
// The last three are read at every call.
//
// Built without KORVANE_STANDIN_WITH_READ it lacks MPUSBRead: an incomplete library.

#include <windows.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "station/Session.h"
#include "emulator/EmulatedUsbLibrary.h"

namespace {

using korvane::emulator::BootloaderDevice;
using korvane::emulator::EmulatedUsbLibrary;
using korvane::emulator::kDeviceEepromSize;
using korvane::emulator::kDeviceFlashSize;

std::string Environment(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string() : std::string(value);
}

class StandIn {
 public:
  StandIn() : stateDir_(Environment("KORVANE_STANDIN_STATE")) {
    std::string faults = Environment("KORVANE_STANDIN_FAULTS");
    std::size_t start = 0;
    while (start < faults.size()) {
      const std::size_t comma = std::min(faults.find(',', start), faults.size());
      const auto fault =
          korvane::station::ParseFault(std::string_view(faults).substr(start, comma - start));
      if (fault) {
        library_.AddFault(fault->fault);
      }
      start = comma + 1;
    }
    library_.SetTiming(Environment("KORVANE_STANDIN_TIMING") == "1");
    if (!stateDir_.empty()) {
      try {
        library_.Device().LoadState(stateDir_);
      } catch (const std::exception&) {
        // A folder without state yet: the device starts with its earlier firmware.
      }
      Remember();
    }
  }

  EmulatedUsbLibrary& Library() { return library_; }

  // Writes the memory back when it changed since it was loaded or last written.
  void SaveIfChanged() {
    if (stateDir_.empty()) {
      return;
    }
    const BootloaderDevice& device = library_.Device();
    if (std::memcmp(device.Flash().data(), flash_.data(), flash_.size()) == 0 &&
        std::memcmp(device.Eeprom().data(), eeprom_.data(), eeprom_.size()) == 0) {
      return;
    }
    try {
      device.SaveState(stateDir_);
      Remember();
    } catch (const std::exception&) {
      // The next close tries again.
    }
  }

 private:
  void Remember() {
    const BootloaderDevice& device = library_.Device();
    std::memcpy(flash_.data(), device.Flash().data(), flash_.size());
    std::memcpy(eeprom_.data(), device.Eeprom().data(), eeprom_.size());
  }

  EmulatedUsbLibrary library_;
  std::string stateDir_;
  std::array<std::uint8_t, kDeviceFlashSize> flash_{};
  std::array<std::uint8_t, kDeviceEepromSize> eeprom_{};
};

std::mutex gMutex;
std::atomic<int> gCallsInProgress{0};
std::atomic<int> gOpensFailed{0};

// One call into the library, from its start to its end. With KORVANE_STANDIN_ONE_CALLER it
// lasts a moment, and knows whether another call was in progress meanwhile.
class Call {
 public:
  Call() : oneCaller_(Environment("KORVANE_STANDIN_ONE_CALLER") == "1") {
    overlapped_ = gCallsInProgress.fetch_add(1) != 0;
    if (oneCaller_) {
      Sleep(1);
      overlapped_ = overlapped_ || gCallsInProgress.load() != 1;
    }
  }
  ~Call() { gCallsInProgress.fetch_sub(1); }
  Call(const Call&) = delete;
  Call& operator=(const Call&) = delete;
  // True when this call met another on a library that takes one caller at a time.
  bool Overlapped() const { return oneCaller_ && overlapped_; }

 private:
  bool oneCaller_;
  bool overlapped_ = false;
};

// The error a failing open leaves, when KORVANE_STANDIN_OPEN_ERROR says this open fails.
std::optional<DWORD> OpenError() {
  const std::string setting = Environment("KORVANE_STANDIN_OPEN_ERROR");
  if (setting.empty()) {
    return std::nullopt;
  }
  const std::size_t star = setting.find('*');
  if (star != std::string::npos && gOpensFailed.load() >= std::stoi(setting.substr(star + 1))) {
    return std::nullopt;
  }
  ++gOpensFailed;
  return static_cast<DWORD>(std::stoul(setting.substr(0, star)));
}

StandIn& Device() {
  static StandIn standIn;
  return standIn;
}

// Hands the emulated device's error code to the caller's GetLastError and returns `result`.
std::int32_t Finish(std::int32_t result) {
  if (result != 1) {
    SetLastError(Device().Library().GetLastError());
  }
  return result;
}

}  // namespace

extern "C" {

__declspec(dllexport) std::int32_t __stdcall MPUSBGetDeviceCount(const char* identity) {
  const Call call;
  const std::lock_guard lock(gMutex);
  const std::int32_t count =
      Device().Library().MPUSBGetDeviceCount(identity == nullptr ? "" : identity);
  if (call.Overlapped()) {
    return 0;
  }
  const std::string reported = Environment("KORVANE_STANDIN_COUNT");
  return reported.empty() ? count : std::stoi(reported);
}

__declspec(dllexport) std::int32_t
    __stdcall MPUSBOpen(std::uint32_t instance, const char* identity, const char* pipeName,
                        std::uint32_t direction, std::uint32_t reserved) {
  const Call call;
  const std::lock_guard lock(gMutex);
  if (const std::optional<DWORD> error = OpenError()) {
    SetLastError(*error);
    return -1;
  }
  return Device().Library().MPUSBOpen(instance, identity == nullptr ? "" : identity,
                                      pipeName == nullptr ? "" : pipeName, direction, reserved);
}

__declspec(dllexport) std::int32_t
    __stdcall MPUSBWrite(std::int32_t handle, const void* data, std::uint32_t length,
                         std::uint32_t* sent, std::uint32_t timeoutMs) {
  const Call call;
  const std::lock_guard lock(gMutex);
  std::uint32_t count = 0;
  const std::int32_t result = Device().Library().MPUSBWrite(
      handle, std::span(static_cast<const std::uint8_t*>(data), length), count, timeoutMs);
  if (sent != nullptr) {
    *sent = count;
  }
  return Finish(result);
}

#ifdef KORVANE_STANDIN_WITH_READ
__declspec(dllexport) std::int32_t
    __stdcall MPUSBRead(std::int32_t handle, void* data, std::uint32_t length,
                        std::uint32_t* received, std::uint32_t timeoutMs) {
  const Call call;
  const std::lock_guard lock(gMutex);
  std::uint32_t count = 0;
  const std::int32_t result = Device().Library().MPUSBRead(
      handle, std::span(static_cast<std::uint8_t*>(data), length), count, timeoutMs);
  if (received != nullptr) {
    *received = count;
  }
  if (result == 1 && count > length) {
    // As a USB stack does with a packet larger than the buffer: the read fails.
    SetLastError(ERROR_MORE_DATA);
    return 0;
  }
  return Finish(result);
}
#endif

__declspec(dllexport) std::int32_t __stdcall MPUSBClose(std::int32_t handle) {
  const Call call;
  const std::lock_guard lock(gMutex);
  const std::int32_t result = Device().Library().MPUSBClose(handle);
  Device().SaveIfChanged();
  return result;
}

}  // extern "C"
