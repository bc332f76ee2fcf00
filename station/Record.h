#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The production record: one JSON line per board and run, appended to a log that several
// stations may share.
namespace korvane::station {

// "2026-12-07T10:45:01.123Z".
std::string UtcTimestamp(std::chrono::system_clock::time_point when);
// "20261207T104501Z": for file names.
std::string UtcStamp(std::chrono::system_clock::time_point when);

// What all the boards of one command share.
struct RecordContext {
  std::string host;
  std::string version;                    // Korvane's
  std::string command;                    // "update", "verify", "backup", "reset"
  std::optional<std::string> file;        // as given
  std::optional<std::string> fileSha256;  // of the file's bytes
};

// What came of one board.
struct BoardRecord {
  std::chrono::system_clock::time_point time;  // when its run ended
  std::string device;                          // place, or "instance N"
  std::optional<std::string> bootloader;       // "1.12"
  // Of exactly the bytes written or compared: program flash from 0x800 to the highest address
  // (when chosen), then the 256 EEPROM bytes (when chosen); for a backup the bytes read.
  std::optional<std::string> imageSha256;
  std::vector<std::string> memories;    // "flash", "eeprom"
  std::optional<std::uint64_t> serial;  // written as a string of decimal digits
  bool success = false;
  std::string failure;
  std::string reason;
  double seconds = 0;
  std::optional<std::string> backup;
  bool incremental = false;  // an update of only what changed
};

// A board's run in the record that many stations share (the record database), from before its
// first packet to its end. Its calls come from the board's thread.
class StoredRun {
 public:
  virtual ~StoredRun() = default;
  // Before the board's first packet: throws StationError when no board may start now (the
  // record cannot be kept: the database cannot be reached, or went away during an earlier
  // board of the job).
  virtual void CheckReady() = 0;
  // For a board that has answered: takes the next number of the job's serial series and
  // records the run as begun with it, at once, so that a number handed out always has its
  // record and is never handed out again, whatever becomes of the board or the station.
  // `begun` says what is known so far. Throws StationError; the number may then have been
  // taken or not, and is not used.
  virtual std::uint64_t ClaimSerial(const BoardRecord& begun) = 0;
  // Records the run's end, with the packets it sent. Returns empty when the database took it;
  // else why it did not, the run then waiting in the local spool until a later job sends it
  // (and the job starts no further board). Throws StationError when neither took it: the
  // record is lost.
  virtual std::string Finish(const BoardRecord& ended, std::uint64_t packets) = 0;
};

// The record that many stations share, for one job: hands out the runs of its boards, from
// several threads at once.
class RunStore {
 public:
  virtual ~RunStore() = default;
  virtual std::unique_ptr<StoredRun> Begin(const RecordContext& context) = 0;
};

// The line, with its line feed.
std::string RecordLine(const RecordContext& context, const BoardRecord& board);
// Appends the line with one write and syncs it. Throws platform::FileError.
void AppendRecord(const std::string& logFile, const RecordContext& context,
                  const BoardRecord& board);

}  // namespace korvane::station
