#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "image/MemoryImage.h"
#include "image/UpdateFileLoader.h"
#include "link/UsbPipeLink.h"
#include "station/Record.h"
#include "station/Serial.h"
#include "station/Session.h"
#include "update/DeviceBackup.h"
#include "update/UpdateRun.h"

// One board's run on a service bench or a production line: its lock, its backup, the update,
// the reset, and the report of what came of it.
namespace korvane::station {

// Follows a board's run: the update run's events, and those of its reads of the device (a backup
// before the update, a verify).
class BoardView : public update::UpdateObserver, public update::BackupObserver {
 public:
  // A read of the device begins, and ends (an update may follow).
  virtual void OnReadStarted() {}
  virtual void OnReadEnded(bool /*success*/) {}
};

enum class BoardAction {
  Update,  // (backup,) (serial,) erase, write, verify, (reset)
  Verify,  // read back and compare with the file; nothing is erased or written
  Backup,  // read the device into a file
  Reset,   // send the reset command
};

// What came of a board, for its outcome line.
enum class BoardResult {
  None,          // nothing to say beyond the reason (a verify or a reset that did not get far)
  Updated,       // the update ran to its end and was verified
  NotUpdated,    // the update failed, or never started
  Matches,       // the verify compared everything and found the file
  DoesNotMatch,  // the verify compared and found a difference (or no serial number)
  ResetSent,     // the reset request went out whole
};

struct BoardJob {
  BoardAction action = BoardAction::Update;
  const image::MemoryImage* image = nullptr;  // Update, Verify
  bool flash = true;                          // Update, Verify: program flash from 0x800
  bool eeprom = false;                        // Update, Verify: the data EEPROM
  bool reset = false;                         // Update: reset after a successful update
  // Update: the full run, or only the blocks and rows that differ from the image (with the serial
  // number in place).
  update::UpdateMode mode = update::UpdateMode::Full;
  // Update: read the device into this file before the first erase (empty: no backup).
  // Backup: the file. Never replaces an existing file.
  std::string backupFile;
  // A name made for one of several boards: when a file has taken it meanwhile, the backup goes
  // to the name with "-2" (or "-3", ...) added before the extension instead of failing.
  bool backupNameMade = false;
  // Update: a serial number of its own for each board, taken once the device has answered the
  // version query, written and verified with the rest. Verify: where the board's number lies
  // (the plan's file is not used): it is read from the device, reported, and left out of the
  // comparison.
  std::optional<SerialPlan> serial;
  // Append the board's record to this log (empty: none); the bootloader's version is asked
  // for first, so that the record can name it.
  std::string logFile;
  RecordContext record;
  // The record that many stations share (the record database): the board's run is recorded
  // there too, before the board is called done, and a serial plan with a series takes its
  // numbers from it. Null: none.
  RunStore* store = nullptr;
};

struct BoardReport {
  BoardAction action = BoardAction::Update;
  // The board's verdict; FileProblem also when its record, its trace or the emulated state
  // could not be written after it was done.
  Verdict verdict = Verdict::Success;
  std::string device;  // the device, as the lines name it
  BoardResult result = BoardResult::None;
  std::string reason;  // why it failed, in one line; empty on success
  update::UpdateOutcome outcome;
  bool backupFailed = false;
  std::string backupWritten;               // the backup file, once it is complete under its name
  bool resetWanted = false;                // Update: a reset after a success was asked for
  bool resetSent = false;                  // the reset request went out whole
  std::optional<std::uint64_t> serial;     // the number this board was given (verify: found)
  std::size_t differing = 0;               // Verify: bytes that differ from the file
  std::optional<std::string> bootloader;   // "1.12", when asked for (with a log)
  std::optional<std::string> imageSha256;  // of the bytes written, compared or read
  std::string recordError;                 // why the record could not be appended
  std::string outputError;  // why the trace or the emulated state could not be written
  // Why the record database did not take the board's record, which waits in the local spool
  // instead; empty when it took it (or there is none).
  std::string recordSpooled;
  // The "failure" name (see BoardFailure); "record-failed" or "output-failed" when the board
  // itself succeeded and its record or another output was lost, "record-spooled" when its
  // record waits in the spool.
  std::string failure;
  double seconds = 0;

  // The update ran to its end, verified (its reset may still have failed).
  bool Updated() const { return action == BoardAction::Update && outcome.success; }
  // Updated, but the reset asked for did not go out.
  bool ResetMissing() const { return Updated() && resetWanted && !resetSent; }
  // Its record or another output was not kept as asked (lost, or waiting in the spool): the
  // job ends with exit 4 and starts no further board.
  bool EndsLine() const {
    return !recordError.empty() || !outputError.empty() || !recordSpooled.empty();
  }
};

// A trace or the emulated state could not be written after the board was done: the board's
// outcome stands, and the command ends with exit 4.
void NoteOutputFailure(BoardReport& report, const std::string& error);

// The "failure" name of a board's run for the JSON lines and the record: "" for none; the
// run's ("aborted", "mismatch", "not-sent", ...), "backup-failed", "busy", "reset-not-sent",
// "other".
std::string BoardFailure(const BoardReport& report);
// "erase", "write", "verify", "eeprom-write", "eeprom-verify".
std::string_view StageName(update::Stage stage);
// "aborted", "mismatch", "not-sent", "exchange-failed", "short-reply", "count-too-large",
// "short-count", "wrong-echo", "device-changed"; empty for none.
std::string_view FailureName(update::Failure failure);

// Runs one board's job on `target`: takes the device's lock (busy when another run holds it),
// and for an update backs the device up first when asked (when the backup cannot be read or
// written whole, nothing is erased), updates it and resets it after a success when asked. On a
// library that cannot tell devices apart the device count is watched from the first packet to
// the last. Never throws: every problem becomes the report's verdict and reason, so that
// boards can run on threads side by side. `stop` stops the board after its packet in flight.
BoardReport RunBoard(DeviceTarget target, const BoardJob& job, link::LinkMessages& messages,
                     link::PacketTap* tap, BoardView& view, const update::StopToken& stop);

// Before any packet: throws StationError (file) when the file cannot be used for the update
// (or the verify) as chosen: a chosen memory it holds no data for (program flash at or above 0x800;
// the EEPROM), and, unless `force`, checksum errors, malformed lines or bytes beyond the device.
void CheckUpdateFile(const std::string& file, const image::LoadReport& report, bool flash,
                     bool eeprom, bool force);

// Before any packet: throws StationError (file) when `backupFile` already exists (Korvane
// never overwrites a backup).
void CheckBackupName(const std::string& backupFile);

// A file a command reads or writes, and what it is to the command ("the trace file").
struct FileRole {
  std::string role;
  std::string path;  // empty: not used
};
// Before any packet: throws StationError (usage) naming both when an output is one of the
// inputs or another output, by file identity (another name of the same file, a link to it,
// or two names of one file still to be made), so that no output ever replaces an input or
// another output.
void CheckFileRoles(const std::vector<FileRole>& inputs, const std::vector<FileRole>& outputs);

// The backup file of one of several boards: the place, the board's count and the time in UTC
// before the extension ("before.hex" for 1-3, board 2 becomes
// "before-1-3-2-20261207T104501Z.hex"), so that a loop started again never meets an old name.
std::string BackupNameFor(const std::string& file, const std::string& device, std::size_t count,
                          std::chrono::system_clock::time_point when);

}  // namespace korvane::station
