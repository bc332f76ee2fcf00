// Splitting HEX text into lines and interpreting its records. Hand-written for speed: one pass
// over the text, no copies of lines, table lookups for the hex digits.

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "image/UpdateFileLoader.h"

namespace korvane::image {
namespace {

constexpr std::uint8_t kNotHex = 0xFF;

constexpr std::array<std::uint8_t, 256> kHexValue = [] {
  std::array<std::uint8_t, 256> table{};
  table.fill(kNotHex);
  for (int c = '0'; c <= '9'; ++c)
    table[c] = static_cast<std::uint8_t>(c - '0');
  for (int c = 'a'; c <= 'f'; ++c)
    table[c] = static_cast<std::uint8_t>(c - 'a' + 10);
  for (int c = 'A'; c <= 'F'; ++c)
    table[c] = static_cast<std::uint8_t>(c - 'A' + 10);
  return table;
}();

// Characters that end the quick scan over a line: the two line breaks and NUL.
constexpr std::array<bool, 256> kLineStop = [] {
  std::array<bool, 256> table{};
  table['\r'] = true;
  table['\n'] = true;
  table['\0'] = true;
  return table;
}();

// True when any of the eight bytes in v is zero.
constexpr bool HasZeroByte(std::uint64_t v) {
  return ((v - 0x0101010101010101ull) & ~v & 0x8080808080808080ull) != 0;
}

// The first line stop (CR, LF or NUL) at or after pos, or end. Eight bytes are tested at a
// time; only a word that holds a stop is looked at byte by byte.
inline const char* SkipToLineStop(const char* pos, const char* const end) {
  constexpr std::uint64_t kOnes = 0x0101010101010101ull;
  while (end - pos >= 8) {
    std::uint64_t word;
    std::memcpy(&word, pos, sizeof word);
    if (HasZeroByte(word) || HasZeroByte(word ^ (kOnes * '\r')) ||
        HasZeroByte(word ^ (kOnes * '\n')))
      break;
    pos += 8;
  }
  while (pos < end && !kLineStop[static_cast<unsigned char>(*pos)])
    ++pos;
  return pos;
}

// The four buffers side by side, for marking which bytes a load filled.
constexpr std::size_t kFlashMarks = 0;
constexpr std::size_t kEepromMarks = kFlashMarks + kFlashSize;
constexpr std::size_t kUserIdMarks = kEepromMarks + kEepromSize;
constexpr std::size_t kConfigMarks = kUserIdMarks + kUserIdSize;
constexpr std::size_t kAllMarks = kConfigMarks + kConfigSize;

constexpr std::size_t MarkOffset(Region region) {
  switch (region) {
    case Region::Flash:
      return kFlashMarks;
    case Region::Eeprom:
      return kEepromMarks;
    case Region::UserId:
      return kUserIdMarks;
    case Region::Config:
      return kConfigMarks;
  }
  return 0;
}

// Reads the two hex digits at pos as one byte; sets bad when either is no hex digit.
inline std::uint8_t HexByte(const char* at, std::uint8_t& bad) {
  const std::uint8_t high = kHexValue[static_cast<unsigned char>(at[0])];
  const std::uint8_t low = kHexValue[static_cast<unsigned char>(at[1])];
  bad |= static_cast<std::uint8_t>((high | low) & 0xF0);
  return static_cast<std::uint8_t>((high << 4) | (low & 0x0F));
}

class RecordInterpreter {
 public:
  RecordInterpreter(MemoryImage& image, LoadReport& report,
                    const std::function<void(int)>& onUnsupportedType)
      : image_(image), report_(report), onUnsupportedType_(onUnsupportedType), marks_(kAllMarks) {}

  // line starts with ':' and holds neither NUL nor a line break.
  void Interpret(std::string_view line, std::size_t lineNumber) {
    constexpr std::size_t kHeader = 9;  // ':' and four header bytes
    if (line.size() < kHeader)
      return Malformed(lineNumber);
    std::uint8_t bad = 0;
    const char* text = line.data();
    const std::uint8_t count = HexByte(text + 1, bad);
    const std::uint8_t offsetHigh = HexByte(text + 3, bad);
    const std::uint8_t offsetLow = HexByte(text + 5, bad);
    const std::uint8_t type = HexByte(text + 7, bad);
    if (bad)
      return Malformed(lineNumber);
    // Every record must hold as many data bytes as its count says, whether they are read or not.
    if (line.size() < kHeader + 2 * std::size_t{count})
      return Malformed(lineNumber);
    const std::uint32_t offset = (std::uint32_t{offsetHigh} << 8) | offsetLow;
    const unsigned headerSum = count + offsetHigh + offsetLow + type;

    switch (type) {
      case 0:
        return DataRecord(line, lineNumber, count, offset, headerSum);
      case 1:
        ++report_.records;
        CheckSum(line, lineNumber, count, headerSum);
        return;
      case 2:
      case 4: {
        if (line.size() < kHeader + 4)
          return Malformed(lineNumber);
        const std::uint8_t high = HexByte(text + 9, bad);
        const std::uint8_t low = HexByte(text + 11, bad);
        if (bad)
          return Malformed(lineNumber);
        const std::uint64_t value = (std::uint64_t{high} << 8) | low;
        (type == 2 ? segmentBase_ : linearBase_) = value;
        ++report_.records;
        CheckSum(line, lineNumber, count, headerSum);
        return;
      }
      default:
        ++report_.records;
        CheckSum(line, lineNumber, count, headerSum);
        report_.unsupportedRecordTypes.push_back(type);
        if (onUnsupportedType_)
          onUnsupportedType_(type);
        return;
    }
  }

  // Turns the marks into merged address ranges per region.
  void CollectRanges() {
    Collect(Region::Flash, kFlashSize, report_.flashRanges);
    Collect(Region::Eeprom, kEepromSize, report_.eepromRanges);
    Collect(Region::UserId, kUserIdSize, report_.userIdRanges);
    Collect(Region::Config, kConfigSize, report_.configRanges);
  }

 private:
  // Counts a line of one kind and keeps its number while the list has room.
  static void Note(std::size_t& count, std::vector<std::size_t>& lines, std::size_t lineNumber) {
    ++count;
    if (lines.size() < kMaxReportedLines)
      lines.push_back(lineNumber);
  }

  void Malformed(std::size_t lineNumber) {
    Note(report_.malformedCount, report_.malformedLines, lineNumber);
  }

  void DataRecord(std::string_view line, std::size_t lineNumber, std::uint8_t count,
                  std::uint32_t offset, unsigned headerSum) {
    const std::size_t dataEnd = 9 + 2 * std::size_t{count};
    std::array<std::uint8_t, 255> data;
    std::uint8_t bad = 0;
    unsigned sum = headerSum;
    const char* text = line.data() + 9;
    for (std::size_t k = 0; k < count; ++k, text += 2) {
      data[k] = HexByte(text, bad);
      sum += data[k];
    }
    if (bad)
      return Malformed(lineNumber);
    ++report_.records;
    if (!ChecksumMatches(line, dataEnd, sum))
      Note(report_.checksumErrorCount, report_.checksumErrorLines, lineNumber);

    // Both bases always take part; 64 bits hold every sum of them.
    const std::uint64_t base = segmentBase_ * 16 + linearBase_ * 65536 + offset;
    if (count == 0 || StoreWhole(base, {data.data(), count}))
      return;
    bool beyond = false;
    for (std::size_t k = 0; k < count; ++k) {
      const Placement place = image_.Put(base + k, data[k]);
      if (place.outcome == StoreOutcome::Stored) {
        marks_[MarkOffset(place.region) + place.index] = 1;
        ++report_.bytesStored;
      } else if (place.outcome == StoreOutcome::BeyondMemory) {
        ++report_.bytesOutsideMemory;
        beyond = true;
      }
    }
    if (beyond)
      Note(report_.outsideMemoryLineCount, report_.outsideMemoryLines, lineNumber);
  }

  // The common cases in one step: a record that lies wholly in no window, or wholly inside one
  // buffer. Returns false for a record that straddles a boundary; it is stored byte by byte.
  bool StoreWhole(std::uint64_t first, std::span<const std::uint8_t> bytes) {
    const std::uint64_t last = first + bytes.size() - 1;
    if (OutsideEveryWindow(first, last))
      return true;
    const Placement start = Locate(first);
    const Placement end = Locate(last);
    if (start.outcome != StoreOutcome::Stored || end.outcome != StoreOutcome::Stored ||
        start.region != end.region || end.index - start.index != bytes.size() - 1)
      return false;
    std::copy(bytes.begin(), bytes.end(), Buffer(start.region).begin() + start.index);
    std::memset(marks_.data() + MarkOffset(start.region) + start.index, 1, bytes.size());
    report_.bytesStored += bytes.size();
    if (start.region == Region::Flash &&
        static_cast<std::int32_t>(end.index) > image_.HighestFlashAddress)
      image_.HighestFlashAddress = static_cast<std::int32_t>(end.index);
    if (start.region == Region::Config)
      image_.ConfigPresent = true;
    return true;
  }

  static bool OutsideEveryWindow(std::uint64_t first, std::uint64_t last) {
    constexpr std::array<std::array<std::uint64_t, 2>, 4> kWindows = {{
        {kFlashWindowFirst, kFlashWindowLast},
        {kUserIdWindowFirst, kUserIdWindowLast},
        {kConfigWindowFirst, kConfigWindowLast},
        {kEepromWindowFirst, kEepromWindowLast},
    }};
    for (const auto& window : kWindows) {
      if (first <= window[1] && last >= window[0])
        return false;
    }
    return true;
  }

  std::span<std::uint8_t> Buffer(Region region) {
    switch (region) {
      case Region::Flash:
        return image_.FlashImage;
      case Region::Eeprom:
        return image_.EepromImage;
      case Region::UserId:
        return image_.UserIdImage;
      case Region::Config:
        return image_.ConfigImage;
    }
    return {};
  }

  // For records whose data bytes are not otherwise read; the line holds them all.
  void CheckSum(std::string_view line, std::size_t lineNumber, std::uint8_t count,
                unsigned headerSum) {
    const std::size_t dataEnd = 9 + 2 * std::size_t{count};
    std::uint8_t bad = 0;
    unsigned sum = headerSum;
    for (std::size_t pos = 9; pos < dataEnd; pos += 2)
      sum += HexByte(line.data() + pos, bad);
    if (bad != 0 || !ChecksumMatches(line, dataEnd, sum))
      Note(report_.checksumErrorCount, report_.checksumErrorLines, lineNumber);
  }

  // The checksum byte makes the sum of all record bytes 0 modulo 256. A missing or unreadable
  // checksum counts as a wrong one.
  static bool ChecksumMatches(std::string_view line, std::size_t at, unsigned sum) {
    if (line.size() < at + 2)
      return false;
    std::uint8_t bad = 0;
    sum += HexByte(line.data() + at, bad);
    return bad == 0 && (sum & 0xFF) == 0;
  }

  void Collect(Region region, std::size_t size, std::vector<AddressRange>& ranges) const {
    const std::uint8_t* const marks = marks_.data() + MarkOffset(region);
    const std::uint8_t* const end = marks + size;
    const std::uint64_t base = RegionBase(region);
    const std::uint8_t* at = marks;
    while (at < end) {
      const auto* first = static_cast<const std::uint8_t*>(std::memchr(at, 1, end - at));
      if (!first)
        break;
      const auto* past = static_cast<const std::uint8_t*>(std::memchr(first, 0, end - first));
      if (!past)
        past = end;
      ranges.push_back({base + (first - marks), base + (past - marks) - 1});
      at = past;
    }
  }

  MemoryImage& image_;
  LoadReport& report_;
  const std::function<void(int)>& onUnsupportedType_;
  std::uint64_t segmentBase_ = 0;
  std::uint64_t linearBase_ = 0;
  std::vector<std::uint8_t> marks_;
};

// The first few of `count` line numbers, the first of which are in `lines`.
std::string LineList(std::size_t count, const std::vector<std::size_t>& lines) {
  constexpr std::size_t kShown = 5;
  std::string text = count == 1 ? "line " : "lines ";
  for (std::size_t i = 0; i < lines.size() && i < kShown; ++i) {
    if (i > 0)
      text += ", ";
    text += std::to_string(lines[i]);
  }
  if (count > kShown)
    text += " and " + std::to_string(count - kShown) + " more";
  return text;
}

}  // namespace

LoadReport LoadHexText(MemoryImage& image, std::string_view text,
                       const std::function<void(int recordType)>& onUnsupportedType) {
  image.Clear();
  LoadReport report;
  RecordInterpreter interpreter(image, report, onUnsupportedType);

  const char* pos = text.data();
  const char* const end = pos + text.size();
  std::size_t lineNumber = 0;
  for (;;) {
    ++lineNumber;
    const char* const lineStart = pos;
    pos = SkipToLineStop(pos, end);
    bool holdsNul = false;
    if (pos < end && *pos == '\0') {
      holdsNul = true;
      while (pos < end && *pos != '\r' && *pos != '\n')
        ++pos;
    }
    const char* const lineEnd = pos;
    const bool lastLine = pos == end;
    if (!lastLine)
      pos += (*pos == '\r' && pos + 1 < end && pos[1] == '\n') ? 2 : 1;

    // Only lines that start with ':' and hold no NUL are records; the rest drop silently.
    if (!holdsNul && lineEnd > lineStart && *lineStart == ':')
      interpreter.Interpret({lineStart, static_cast<std::size_t>(lineEnd - lineStart)}, lineNumber);
    if (lastLine)
      break;
  }
  interpreter.CollectRanges();
  return report;
}

bool LoadReport::HasProblems() const {
  return malformedCount > 0 || checksumErrorCount > 0 || bytesOutsideMemory > 0 || NoData();
}

std::string LoadReport::Summary() const {
  std::string text;
  auto addSentence = [&text](const std::string& sentence) {
    if (!text.empty())
      text += '\n';
    text += sentence;
  };
  if (malformedCount > 0) {
    const std::size_t n = malformedCount;
    addSentence(std::to_string(n) +
                (n == 1 ? " line is not a valid record and was skipped ("
                        : " lines are not valid records and were skipped (") +
                LineList(n, malformedLines) + ").");
  }
  if (checksumErrorCount > 0) {
    const std::size_t n = checksumErrorCount;
    addSentence(std::to_string(n) +
                (n == 1 ? " record has a wrong checksum; it was loaded as it stands ("
                        : " records have a wrong checksum; they were loaded as they stand (") +
                LineList(n, checksumErrorLines) + ").");
  }
  if (bytesOutsideMemory > 0) {
    addSentence(std::to_string(bytesOutsideMemory) +
                (bytesOutsideMemory == 1 ? " byte lies" : " bytes lie") +
                " beyond the memory of this device and " +
                (bytesOutsideMemory == 1 ? "was" : "were") + " skipped (" +
                LineList(outsideMemoryLineCount, outsideMemoryLines) + ").");
  }
  if (NoData())
    addSentence("The file holds no data for this device.");
  return text;
}

}  // namespace korvane::image
