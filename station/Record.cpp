#include "station/Record.h"

#include <chrono>
#include <cstdio>
#include <ctime>

#include "platform/Files.h"

namespace korvane::station {

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

// Length of the valid UTF-8 sequence starting at text[i], or 0 when it is not one.
std::size_t Utf8SequenceLength(std::string_view text, std::size_t i) {
  const auto lead = static_cast<unsigned char>(text[i]);
  std::size_t length = 0;
  std::uint32_t minimum = 0;
  std::uint32_t code = 0;
  if (lead < 0x80) {
    return 1;
  } else if ((lead & 0xE0) == 0xC0) {
    length = 2, minimum = 0x80, code = lead & 0x1F;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, minimum = 0x800, code = lead & 0x0F;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, minimum = 0x10000, code = lead & 0x07;
  } else {
    return 0;
  }
  if (i + length > text.size()) {
    return 0;
  }
  for (std::size_t k = 1; k < length; ++k) {
    const auto next = static_cast<unsigned char>(text[i + k]);
    if ((next & 0xC0) != 0x80) {
      return 0;
    }
    code = (code << 6) | (next & 0x3F);
  }
  // Overlong forms, surrogates and values past U+10FFFF are not valid UTF-8.
  if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
    return 0;
  }
  return length;
}

}  // namespace

std::string JsonString(std::string_view text) {
  std::string json = "\"";
  std::size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    switch (c) {
      case '"':
        json += "\\\"";
        break;
      case '\\':
        json += "\\\\";
        break;
      case '\n':
        json += "\\n";
        break;
      case '\r':
        json += "\\r";
        break;
      case '\t':
        json += "\\t";
        break;
      default:
        if (c < 0x20 || c == 0x7F) {
          json += "\\u00";
          json += kHexDigits[c >> 4];
          json += kHexDigits[c & 0x0F];
        } else if (c >= 0x80) {
          const std::size_t length = Utf8SequenceLength(text, i);
          if (length == 0) {
            json += "\\uFFFD";
            ++i;
            continue;
          }
          json.append(text.substr(i, length));
          i += length;
          continue;
        } else {
          json += static_cast<char>(c);
        }
    }
    ++i;
  }
  json += '"';
  return json;
}

namespace {

std::tm UtcCalendar(std::time_t seconds) {
  std::tm utc{};
#ifdef _WIN32
  gmtime_s(&utc, &seconds);
#else
  gmtime_r(&seconds, &utc);
#endif
  return utc;
}

}  // namespace

std::string UtcTimestamp(std::chrono::system_clock::time_point when) {
  const auto sinceEpoch = when.time_since_epoch();
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(sinceEpoch);
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(sinceEpoch - seconds).count();
  const std::tm utc = UtcCalendar(static_cast<std::time_t>(seconds.count()));
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                static_cast<int>(millis));
  return text;
}

std::string UtcStamp(std::chrono::system_clock::time_point when) {
  const std::tm utc = UtcCalendar(std::chrono::system_clock::to_time_t(when));
  char text[32];
  std::strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", &utc);
  return text;
}

namespace {

std::string OrNull(const std::optional<std::string>& text) {
  return text ? JsonString(*text) : std::string("null");
}

std::string Bool(bool value) {
  return value ? "true" : "false";
}

}  // namespace

std::string RecordLine(const RecordContext& context, const BoardRecord& board) {
  std::string json = "{";
  json += "\"time\":" + JsonString(UtcTimestamp(board.time));
  json += ",\"host\":" + JsonString(context.host);
  json += ",\"korvane\":" + JsonString(context.version);
  json += ",\"command\":" + JsonString(context.command);
  json += ",\"device\":" + JsonString(board.device);
  json += ",\"bootloader\":" + OrNull(board.bootloader);
  json += ",\"file\":" + OrNull(context.file);
  json += ",\"file_sha256\":" + OrNull(context.fileSha256);
  json += ",\"image_sha256\":" + OrNull(board.imageSha256);
  json += ",\"memories\":[";
  for (std::size_t i = 0; i < board.memories.size(); ++i) {
    json += i == 0 ? "" : ",";
    json += JsonString(board.memories[i]);
  }
  json += "]";
  // A string: readers that hold numbers as doubles (JavaScript, jq 1.6) would round numbers of
  // 2^53 and more.
  json += ",\"serial\":" +
          (board.serial ? JsonString(std::to_string(*board.serial)) : std::string("null"));
  json += ",\"success\":" + Bool(board.success);
  json += ",\"failure\":" + JsonString(board.failure);
  json += ",\"reason\":" + JsonString(board.reason);
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.3f", board.seconds);
  json += ",\"seconds\":" + std::string(seconds);
  json += ",\"backup\":" + OrNull(board.backup);
  return json + "}\n";
}

void AppendRecord(const std::string& logFile, const RecordContext& context,
                  const BoardRecord& board) {
  platform::AppendToFile(logFile, RecordLine(context, board));
}

}  // namespace korvane::station
