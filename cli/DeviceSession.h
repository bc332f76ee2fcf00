#pragma once

#include <fstream>
#include <memory>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "cli/Output.h"
#include "emulator/EmulatedUsbLibrary.h"
#include "link/UsbLibrary.h"
#include "link/UsbPipeLink.h"

namespace korvane::cli {

// Exit codes of korvane-cli.
inline constexpr int kExitSuccess = 0;
inline constexpr int kExitUpdateFailed = 1;  // mismatch, abort, a failed exchange
inline constexpr int kExitUsage = 2;
inline constexpr int kExitNoDevice = 3;
inline constexpr int kExitFileError = 4;  // a file could not be read (or written)

// A command ends early: the message goes to standard error, the code is the exit code.
class CliError : public std::runtime_error {
 public:
  CliError(int exitCode, const std::string& message)
      : std::runtime_error(message), exitCode_(exitCode) {}
  int ExitCode() const { return exitCode_; }

 private:
  int exitCode_;
};

// The options every command that talks to a device takes.
struct DeviceOptions {
  bool emulated = false;
  bool emulatedTiming = false;
  int emulatedDevices = 0;  // --emulated-devices N; 0 when not given
  std::string stateDir;
  std::vector<std::string> faults;  // "KIND@N"
  std::string traceFile;
  std::string device;  // --device SEL; empty: instance 0
  bool wait = false;
  std::optional<double> waitSeconds;  // --wait=SECONDS; nullopt: for ever
  bool verbose = false;

  bool UsesEmulator() const { return emulated || emulatedTiming || emulatedDevices > 0; }
};

// The device one session talks to: the library, and the instance its link opens.
struct DeviceTarget {
  link::UsbLibrary* library = nullptr;  // `owned`, or a library the bench keeps
  std::unique_ptr<link::UsbLibrary> owned;
  std::uint32_t instance = 0;
  emulator::EmulatedUsbLibrary* emulated = nullptr;
  std::string name;  // how the command's lines name the device; empty when none is attached
};

// Reads "KIND@N": KIND one of timeout, short, long-count, bitflip, unplug, open-fail,
// write-error; N the 0-based packet index. Nothing when the text is not of that form.
std::optional<emulator::Fault> ParseFault(std::string_view text);

// Throws CliError (usage) when the options do not fit together or a fault does not parse.
// Returns the parsed faults.
std::vector<emulator::Fault> CheckDeviceOptions(const DeviceOptions& options);

// The device a command talks to, with its link, its messages and its trace, for one command.
// One session serves one thread.
class DeviceSession {
 public:
  // Throws CliError (file) when the trace file cannot be written.
  DeviceSession(DeviceTarget target, const DeviceOptions& options, std::ostream& err);
  DeviceSession(const DeviceSession&) = delete;
  DeviceSession& operator=(const DeviceSession&) = delete;
  ~DeviceSession();

  link::UsbPipeLink& Link() { return *link_; }
  // Number of link messages printed so far.
  int LinkMessageCount() const { return messages_.Count(); }
  // The emulated device's library, or nullptr on real USB.
  emulator::EmulatedUsbLibrary* Emulated() { return target_.emulated; }
  const std::string& Name() const { return target_.name; }

  // Ends the session: checks that the trace was written. Throws CliError (file) when not.
  void Finish();

 private:
  DeviceOptions options_;
  StreamLinkMessages messages_;
  DeviceTarget target_;
  std::ofstream traceStream_;
  std::unique_ptr<TraceWriter> trace_;
  std::unique_ptr<link::UsbPipeLink> link_;
};

}  // namespace korvane::cli
