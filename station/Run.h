#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "station/Bench.h"
#include "station/Board.h"
#include "station/DbRecord.h"
#include "station/Serial.h"
#include "station/Session.h"
#include "station/Station.h"

// The run of a job: what a command asks of the station, checked before any packet, carried out
// on one board, on every attached board at once or board after board, and decided: the verdict
// of each board and of the whole job. The command line fills in the job and prints what the
// station reports; it decides nothing.
namespace korvane::station {

// How the boards of a job are taken.
enum class BoardsTaken {
  One,   // the selected device (instance 0 by default), waited for when asked
  All,   // every attached device at once, each on its own thread
  Loop,  // the production loop: board after board until stopped
};

// What a command asks of the station: plain data.
struct Job {
  BoardAction action = BoardAction::Update;
  // Update, Verify: the update file, loaded once (the record's hash is of the bytes loaded).
  std::string updateFile;
  bool flash = true;    // Update, Verify: program flash from 0x800
  bool eeprom = false;  // Update, Verify: the data EEPROM
  bool reset = false;   // Update: reset the board after a successful update
  // Update: the full run, or only what differs from the file (each board's numbered image).
  update::UpdateMode mode = update::UpdateMode::Full;
  // Update, Verify: take a file with checksum errors, malformed lines or bytes beyond the device
  // as it was loaded.
  bool force = false;
  // Update: read the device into this file before the first erase (each board of several gets
  // a name of its own). Backup: the file.
  std::string backupFile;
  // Update: a number of its own for each board (from a file, or from the record database's
  // series); Verify: where the board's number lies.
  std::optional<SerialPlan> serial;
  std::string logFile;  // one record per board (empty: none)
  // Every board's run recorded in the record database too (besides the log, if any).
  std::optional<DatabaseJob> database;
  BoardsTaken boards = BoardsTaken::One;
  std::optional<std::size_t> expect;  // All: at least this many devices must answer
  DeviceOptions devices;              // how devices are reached, chosen and waited for
  std::string traceFile;              // One: the packet trace (empty: none)
  std::string korvaneVersion;         // for the record
};

// Where the station is before and between the boards of a job; the views follow each board.
class JobObserver : public StationObserver {
 public:
  // A report of the update file's load (a record type it skips, its problems), in the loader's
  // words.
  virtual void OnFileMessage(std::string_view /*text*/) {}
  enum class Notice {
    LockFolder,  // the device locks are not in the machine's lock folder
    Library,     // what the USB library had to say while it looked for devices
    SpoolSent,   // runs that waited in the spool went to the record database
  };
  virtual void OnNotice(Notice /*kind*/, std::string_view /*text*/) {}
  // What the USB library and the devices look like (asked for with DeviceOptions::verbose).
  virtual void OnDiagnostics(const std::vector<std::string>& /*lines*/) {}
  // The job waits for the device the selector names (any, when none).
  virtual void OnWaitingForDevice(const std::string& /*selected*/) {}
  // The job waits for the boards to take at once (`expect` of them, or all that come).
  virtual void OnWaitingForDevices(std::optional<std::size_t> /*expect*/) {}
  // That many boards are taken at once for the action.
  virtual void OnBoardsStarting(BoardAction /*action*/, std::size_t /*count*/) {}
  // An output of boards run at once (the emulated state) could not be written.
  virtual void OnOutputLost(std::string_view /*text*/) {}
  // Polled while the job waits and, in the production loop, between boards: true ends it.
  virtual bool StopRequested() { return false; }
};

struct JobResult {
  // The job's verdict: korvane-cli's exit code. One: the board's. All: 4 when a board's record or
  // another output was lost or a record waits in the spool, 0 when every board succeeded, 3
  // when none answered, 5 when every one was busy, else 1. Loop: 4 when a record or the state
  // was lost or a record waits in the spool, 0 when every board was updated and every reset
  // asked for went out, else 1.
  Verdict verdict = Verdict::Success;
  std::vector<BoardReport> boards;  // One, All
  LoopSummary loop;                 // Loop
  // After a board (or all of them) found no device: the next step, where the system can tell.
  std::string noDeviceAdvice;
};

// Checks the job before any packet (throws StationError: options that do not fit, a file that
// cannot be used, an output that is an input or another output, a backup name taken, a serial
// number that would not land in what is written, a log that cannot take lines, a trace file that
// is not an earlier trace, a record database that is not ready or whose spool cannot be sent or
// take runs, no device, or not the devices expected), loads the update file once, and runs the
// job. Throws StationError for what ends the job before its boards; what happens
// to a board is in its report.
JobResult RunJob(const Job& job, JobObserver& observer);

// What the bootloader of one device says (detect): the version when it answered.
struct DetectResult {
  std::string device;  // as the lines name it; empty when none is attached
  std::optional<link::BootloaderVersion> version;
  Verdict verdict = Verdict::Success;  // NoDevice when nothing answered
  std::string noDeviceAdvice;
};
// Asks the selected device (waited for when asked) for its version, under its lock, with a
// packet trace when `traceFile` names one.
DetectResult Detect(const DeviceOptions& devices, const std::string& traceFile,
                    JobObserver& observer);

// One attached device as `list` shows it.
struct ListedDevice {
  link::AttachedDevice device;
  std::optional<link::BootloaderVersion> version;  // when it answered
  bool busy = false;                               // another run holds it: it was not asked
  // Why it did not answer (the link's last message), or who holds it; empty when it answered.
  std::string problem;
};
struct DeviceList {
  std::vector<ListedDevice> devices;
  std::string notice;          // what the USB library said while it looked (none attached)
  std::string noDeviceAdvice;  // none attached: the next step, where the system can tell
};
// Every attached device, each asked once for its version under its lock.
DeviceList ListDevices(const DeviceOptions& options, JobObserver& observer);

// The files of the emulated devices' memories (DeviceOptions::stateDir): read and written.
std::vector<FileRole> StateFiles(const DeviceOptions& options);

}  // namespace korvane::station
