#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>

#include "image/UpdateFileLoader.h"
#include "station/Session.h"

namespace korvane::cli {

// Exit codes of korvane-cli.
inline constexpr int kExitSuccess = station::ExitCode(station::Verdict::Success);
inline constexpr int kExitUpdateFailed = station::ExitCode(station::Verdict::Failed);
inline constexpr int kExitUsage = station::ExitCode(station::Verdict::Usage);
inline constexpr int kExitNoDevice = station::ExitCode(station::Verdict::NoDevice);
inline constexpr int kExitFileError = station::ExitCode(station::Verdict::FileProblem);
inline constexpr int kExitBusy = station::ExitCode(station::Verdict::Busy);

// A command ends early: the message goes to standard error, the code is the exit code.
class CliError : public std::runtime_error {
 public:
  CliError(int exitCode, const std::string& message)
      : std::runtime_error(message), exitCode_(exitCode) {}
  int ExitCode() const { return exitCode_; }

 private:
  int exitCode_;
};

// Where a command writes: standard output, standard error, and whether standard output is a
// terminal (progress bar) or not (plain lines).
struct Console {
  std::ostream& out;
  std::ostream& err;
  bool terminal = false;
};

// The device options of the bench, and the packet trace of a one-device command.
struct DeviceOptions : station::DeviceOptions {
  std::string traceFile;
};

struct ExportTargets {
  std::string flash;
  std::string eeprom;
  std::string userId;
  std::string config;
};

// Serial numbers for update (--serial-file or --serial-series, --serial-at, --serial-bytes,
// --serial-format) and verify (the same but the source).
struct SerialChoices {
  std::string file;
  std::string series;
  std::optional<std::uint32_t> address;
  unsigned bytes = 4;
  std::string format = "le";
};

// The record database of update, verify, backup and reset (--db, --db-spool).
struct RecordDbChoices {
  std::string target;
  std::string spool;
};

struct UpdateChoices {
  bool verifyOnly = false;  // verify: read back and compare, never erase or write
  bool noFlash = false;
  bool eeprom = false;
  bool reset = false;
  bool onlyChanged = false;           // update: read first, then erase and write only what differs
  bool all = false;                   // every attached device at once (update, verify, reset)
  std::optional<std::size_t> expect;  // with --all: this many devices must answer
  bool repeat = false;                // the production loop (with --wait)
  bool force = false;                 // write a file with checksum errors or malformed lines
  std::string backupFile;             // read the device into this file before the first erase
  bool json = false;
  std::string logFile;  // append one record per board
  SerialChoices serial;
  RecordDbChoices database;
};

// Each returns the exit code; problems that end a command early are thrown as CliError (the
// options do not fit) or station::StationError (the station refused or ended the job).
int InfoCommand(const std::string& file, bool json, Console& console);
int ExportCommand(const std::string& file, const ExportTargets& targets, Console& console);
int ScrambleCommand(const std::string& in, const std::string& out, Console& console);
int DetectCommand(const DeviceOptions& device, bool json, Console& console);
int UpdateCommand(const std::string& file, const UpdateChoices& choices,
                  const DeviceOptions& device, Console& console);
// verify FILE: the same choices as update, with verifyOnly set.
int VerifyCommand(const std::string& file, const UpdateChoices& choices,
                  const DeviceOptions& device, Console& console);
// reset: the choices' json, logFile, database, all and expect.
int ResetCommand(const UpdateChoices& choices, const DeviceOptions& device, Console& console);
int BackupCommand(const std::string& file, const DeviceOptions& device, const std::string& logFile,
                  const RecordDbChoices& database, Console& console);
int ListCommand(const DeviceOptions& device, bool json, Console& console);

// A problem of the station, in the command line's words (naming the options that fix it).
std::string ProblemText(const station::StationError& e);

// The text output of `info` and its one-object JSON form.
std::string InfoText(const std::string& file, const image::MemoryImage& image,
                     const image::LoadReport& report);
std::string InfoJson(const std::string& file, const image::MemoryImage& image,
                     const image::LoadReport& report);

}  // namespace korvane::cli
