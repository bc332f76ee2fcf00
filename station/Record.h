#pragma once

#include <chrono>
#include <cstdint>
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

// The line, with its line feed.
std::string RecordLine(const RecordContext& context, const BoardRecord& board);
// Appends the line with one write and syncs it. Throws platform::FileError.
void AppendRecord(const std::string& logFile, const RecordContext& context,
                  const BoardRecord& board);

}  // namespace korvane::station
