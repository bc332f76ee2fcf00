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
  std::string stateDir;
  std::vector<std::string> faults;  // "KIND@N"
  std::string traceFile;

  bool UsesEmulator() const { return emulated || emulatedTiming; }
};

// Reads "KIND@N": KIND one of timeout, short, long-count, bitflip, unplug, open-fail,
// write-error; N the 0-based packet index. Nothing when the text is not of that form.
std::optional<emulator::Fault> ParseFault(std::string_view text);

// Throws CliError (usage) when the options do not fit together or a fault does not parse.
// Returns the parsed faults.
std::vector<emulator::Fault> CheckDeviceOptions(const DeviceOptions& options);

// The device a command talks to, with its link, its messages and its trace, for one command.
class DeviceSession {
 public:
  // Throws CliError: usage (emulator options without --emulated), file (state or trace file),
  // no device (a build without USB support).
  DeviceSession(const DeviceOptions& options, std::ostream& err);
  DeviceSession(const DeviceSession&) = delete;
  DeviceSession& operator=(const DeviceSession&) = delete;
  ~DeviceSession();

  link::UsbPipeLink& Link() { return *link_; }
  // Number of link messages printed so far.
  int LinkMessageCount() const { return messages_.Count(); }
  // The emulated device's library, or nullptr on real USB.
  emulator::EmulatedUsbLibrary* Emulated() { return emulated_; }

  // Ends the session: writes the emulated memory back to the state directory when one was
  // given. Throws CliError (file) when that fails.
  void Finish();

 private:
  DeviceOptions options_;
  StreamLinkMessages messages_;
  std::unique_ptr<link::UsbLibrary> library_;
  emulator::EmulatedUsbLibrary* emulated_ = nullptr;
  std::ofstream traceStream_;
  std::unique_ptr<TraceWriter> trace_;
  std::unique_ptr<link::UsbPipeLink> link_;
};

}  // namespace korvane::cli
