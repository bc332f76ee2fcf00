#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "image/MemoryImage.h"

namespace korvane::image {

inline constexpr std::string_view ScrambleKey = "451907736218";
inline constexpr std::uintmax_t kMaxUpdateFileSize = 64u * 1024u * 1024u;

// What the loader tells as it reads a file.
class LoaderHost {
 public:
  virtual ~LoaderHost() = default;
  // A report of the load (a record type it skips, the summary of its problems, a file it cannot
  // read), in the loader's words: the windows show a modal message, the command line prints it.
  virtual void ShowMessage(std::string_view text) = 0;
  // A scrambled file has been read and is about to be decoded, which takes a moment: the windows
  // say so and let pending events in once.
  virtual void OnDecoding() {}
};

// An inclusive range of file addresses (as the file gives them) that a load filled.
struct AddressRange {
  std::uint64_t first = 0;
  std::uint64_t last = 0;
  friend bool operator==(const AddressRange&, const AddressRange&) = default;
};

// Everything a load noticed besides the stored bytes. Line numbers count from 1 over the file's
// lines as split, blank and dropped lines included. Of each kind of line the counts are exact,
// and the first kMaxReportedLines line numbers are kept, so that a huge file of bad lines
// costs no memory for them.
inline constexpr std::size_t kMaxReportedLines = 1000;
struct LoadReport {
  std::vector<int> unsupportedRecordTypes;      // record types other than 0, 1, 2, 4, in file order
  std::size_t malformedCount = 0;               // lines skipped whole
  std::vector<std::size_t> malformedLines;      // the first of them
  std::size_t checksumErrorCount = 0;           // records loaded as they stand
  std::vector<std::size_t> checksumErrorLines;  // the first of them
  std::size_t bytesOutsideMemory = 0;           // in the flash or EEPROM window past the buffer
  std::size_t outsideMemoryLineCount = 0;       // lines that carried such bytes
  std::vector<std::size_t> outsideMemoryLines;  // the first of them
  std::size_t bytesStored = 0;                  // bytes placed into the four buffers
  std::size_t records = 0;  // record lines interpreted (malformed ones excluded)
  // Address ranges the load filled, per region, merged and in ascending order.
  std::vector<AddressRange> flashRanges;
  std::vector<AddressRange> eepromRanges;
  std::vector<AddressRange> userIdRanges;
  std::vector<AddressRange> configRanges;

  bool NoData() const { return bytesStored == 0; }
  // True when the one summary message would have something to say.
  bool HasProblems() const;
  // The plain summary shown after a load with problems (empty when there are none).
  std::string Summary() const;
};

struct LoadResult {
  // False when the file could not be read at all: then nothing was changed.
  bool loaded = false;
  // The file's path shortened for a status line (ShortenPath, 40 characters), once loaded.
  std::string shownPath;
  // Why the file could not be read (empty when loaded): the message the host was shown, naming
  // the file and the reason.
  std::string error;
  LoadReport report;
};

// Reads update files into a MemoryImage: plain Intel HEX (name ends in ".hex", any case) or the
// same text scrambled with ScrambleKey (any other name).
class UpdateFileLoader {
 public:
  UpdateFileLoader(MemoryImage& image, LoaderHost& host);

  // Clears the image, fills it from the file and reports problems through the host. When the
  // file cannot be read, the host shows one message naming the file and the reason, and the
  // image is left as it was.
  // With `bytesRead`, the file's bytes as they were read (scrambled or not) are handed back,
  // so that what is said about the file (its hash) describes exactly what was loaded.
  LoadResult LoadUpdateFile(const std::string& path, std::string* bytesRead = nullptr);

  // Reads the file, tells the host it is decoding, then decodes the file into DecodedText.
  // Returns false (DecodedText empty) when the file cannot be read.
  bool DecodeScrambledFile(const std::string& path);
  const std::string& DecodedText() const { return decodedText_; }

 private:
  MemoryImage& image_;
  LoaderHost& host_;
  std::string decodedText_;
  std::string lastError_;  // why the last file could not be read
};

// Clears the image and loads HEX text that is already in memory into it (no file, no label, no
// summary message): the part of a load that splits lines and interprets records. Each record of
// an unsupported type is handed to onUnsupportedType as it is met, before the next line is read.
// Used by LoadUpdateFile, the fuzzer and the benchmarks.
LoadReport LoadHexText(MemoryImage& image, std::string_view text,
                       const std::function<void(int recordType)>& onUnsupportedType = {});

// XOR-combines data with the repeating ScrambleKey, starting at the key's first character.
// Scrambling and decoding are the same operation.
std::string Scramble(std::string_view data);

// Shortens a path for display to at most maxLength characters where that is possible.
std::string ShortenPath(std::string_view path, std::int32_t maxLength);

}  // namespace korvane::image
