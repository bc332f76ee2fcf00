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

// What a StationError is about, when the one who prints it has words of its own for it (the
// command line names its options); None: the message says it all.
enum class Problem {
  None,
  EmulatorChoiceMissing,  // faults or a state folder without an emulated device
  EmulatedDeviceCount,    // number: the count asked for
  WaitOutOfRange,         // a wait that is not 0 to kMaxWaitSeconds seconds
  FaultUnreadable,        // subject: the fault as given
  NoSuchEmulatedDevice,   // subject: the fault; number: its device; detail: the last device
  UsbRouteWithEmulator,   // a USB route chosen for the emulated device
  NoUsbSupport,           // a build without USB support
  SeveralNotSafe,         // subject: the USB library, which cannot tell devices apart
  NoProgramData,          // subject: the file
  NoEepromData,           // subject: the file
  DamagedFile,            // subject: the file; detail: its problems ("3 checksum errors ...")
  SerialBytes,            // number: the most bytes (or digits) the format takes
  SerialOutside,   // subject: the address; number: the bytes; detail: the highest program address;
                   // flag: program flash is chosen
  TraceFileTaken,  // subject: the trace file, which is not an earlier trace
  // The record database could not do what was asked; subject: the database as the message names
  // it (a connection string without its password), or the spool file.
  DatabaseTarget,       // the connection string cannot be read
  DatabaseUnreachable,  // no connection could be made, or it broke
  DatabaseNotReady,     // no schema, another schema version, or no such serial series
  DatabaseRefused,      // the server refused a statement (a rule of the schema, a privilege)
  DatabaseExists,       // a serial series of that name exists already
  DatabaseSpool,        // the local spool cannot be read, written or sent
  DatabaseNotOffered,   // this platform's build has no record database
  DatabaseSpoolPlace,   // no place for the spool: neither XDG_STATE_HOME nor HOME is set
};

// Ends a job early: the message says why, in the station's words (empty when it was said); a
// problem of its own kind carries what another wording needs.
class StationError : public std::runtime_error {
 public:
  StationError(Verdict verdict, const std::string& message)
      : std::runtime_error(message), verdict_(verdict) {}
  StationError(Verdict verdict, Problem problem, const std::string& message,
               std::string subject = {}, std::string detail = {}, std::uint64_t number = 0,
               bool flag = false)
      : std::runtime_error(message),
        verdict_(verdict),
        problem_(problem),
        subject_(std::move(subject)),
        detail_(std::move(detail)),
        number_(number),
        flag_(flag) {}
  Verdict GetVerdict() const { return verdict_; }
  Problem GetProblem() const { return problem_; }
  const std::string& Subject() const { return subject_; }
  const std::string& Detail() const { return detail_; }
  std::uint64_t Number() const { return number_; }
  bool Flag() const { return flag_; }

 private:
  Verdict verdict_;
  Problem problem_ = Problem::None;
  std::string subject_;
  std::string detail_;
  std::uint64_t number_ = 0;
  bool flag_ = false;
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
