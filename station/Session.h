#pragma once

#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "emulator/EmulatedUsbLibrary.h"
#include "link/BootloaderClient.h"
#include "link/UsbChoice.h"
#include "link/UsbLibrary.h"
#include "link/UsbPipeLink.h"
#include "platform/Files.h"

namespace korvane::station {

// How a board's run (or a whole command) ended. The values are korvane-cli's exit codes.
enum class Verdict : int {
  Success = 0,
  Failed = 1,       // mismatch, abort, a failed or short exchange, a reset that did not go out
  Usage = 2,        // options that do not fit together
  NoDevice = 3,     // nothing answered, or nothing was attached in time
  FileProblem = 4,  // a file could not be read or written, or cannot be used as it is
  Busy = 5,         // another run holds the device
};

constexpr int ExitCode(Verdict verdict) {
  return static_cast<int>(verdict);
}

// Ends a command early: the message says why, for standard error; empty when it was said.
class StationError : public std::runtime_error {
 public:
  StationError(Verdict verdict, const std::string& message)
      : std::runtime_error(message), verdict_(verdict) {}
  Verdict GetVerdict() const { return verdict_; }

 private:
  Verdict verdict_;
};

// The longest --wait: a month. Longer waits are a mistake rather than a plan.
inline constexpr double kMaxWaitSeconds = 30.0 * 24 * 3600;

// How the devices are reached and chosen: the options every command that talks to a device
// takes.
struct DeviceOptions {
  bool emulated = false;
  bool emulatedTiming = false;
  int emulatedDevices = 0;  // --emulated-devices N; 0 when not given
  std::string stateDir;
  std::vector<std::string> faults;  // "[DEVICE:]KIND@N"
  std::string device;               // --device SEL; empty: instance 0
  bool wait = false;
  std::optional<double> waitSeconds;  // --wait=SECONDS; nullopt: for ever
  bool verbose = false;
  link::UsbRoute usb = link::UsbRoute::Auto;  // --usb: how USB devices are reached (Windows)

  bool UsesEmulator() const { return emulated || emulatedTiming || emulatedDevices > 0; }
};

// A fault for the emulated devices: for every device, or for device `device` only.
struct DeviceFault {
  std::optional<int> device;
  emulator::Fault fault;
};

// Reads "[DEVICE:]KIND@N": KIND one of timeout, short, long-count, long-reply, bitflip, unplug,
// open-fail, write-error, arrive; N the 0-based packet index; DEVICE the emulated device's
// number. Nothing when the text is not of that form.
std::optional<DeviceFault> ParseFault(std::string_view text);

// Throws StationError (usage) when the options do not fit together, a fault does not parse or
// a wait is not a number of seconds from 0 to kMaxWaitSeconds. Returns the parsed faults.
std::vector<DeviceFault> CheckDeviceOptions(const DeviceOptions& options);

// The device one session talks to: the library, the instance its link opens, and the lock
// file that keeps other runs off it.
struct DeviceTarget {
  link::UsbLibrary* library = nullptr;  // `owned`, or a library the bench keeps
  std::unique_ptr<link::UsbLibrary> owned;
  std::uint32_t instance = 0;
  emulator::EmulatedUsbLibrary* emulated = nullptr;
  std::string name;      // how the lines name the device; empty when none is attached
  std::string lockFile;  // empty: nothing to lock (the bench holds it, or nobody else can reach it)
  // The device's lock, when the caller has taken it already (it is kept for the run).
  std::optional<platform::FileLock> lock;
};

// The link to one device for one run, with its messages and an optional packet trace. One
// session serves one thread.
class DeviceSession {
 public:
  DeviceSession(DeviceTarget target, link::LinkMessages& messages, link::PacketTap* tap);
  DeviceSession(const DeviceSession&) = delete;
  DeviceSession& operator=(const DeviceSession&) = delete;
  ~DeviceSession();

  link::UsbPipeLink& Link() { return *link_; }
  // The bootloader's commands over the link.
  link::BootloaderClient& Client() { return *client_; }
  const DeviceTarget& Target() const { return target_; }
  const std::string& Name() const { return target_.name; }

 private:
  DeviceTarget target_;
  std::unique_ptr<link::UsbPipeLink> link_;
  std::unique_ptr<link::BootloaderClient> client_;
};

}  // namespace korvane::station
