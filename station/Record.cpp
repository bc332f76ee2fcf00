#include "station/Record.h"

#include <chrono>
#include <cstdio>
#include <ctime>

#include "platform/Files.h"
#include "station/Json.h"

namespace korvane::station {

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

Json OrNull(const std::optional<std::string>& text) {
  return text ? Json(*text) : Json(nullptr);
}

}  // namespace

std::string RecordLine(const RecordContext& context, const BoardRecord& board) {
  JsonFields json;
  json.Add("time", UtcTimestamp(board.time))
      .Add("host", context.host)
      .Add("korvane", context.version)
      .Add("command", context.command)
      .Add("device", board.device)
      .Add("bootloader", OrNull(board.bootloader))
      .Add("file", OrNull(context.file))
      .Add("file_sha256", OrNull(context.fileSha256))
      .Add("image_sha256", OrNull(board.imageSha256))
      .Add("memories", board.memories)
      // A string: readers that hold numbers as doubles (JavaScript, jq 1.6) would round numbers
      // of 2^53 and more.
      .Add("serial", board.serial ? Json(std::to_string(*board.serial)) : Json(nullptr))
      .Add("success", board.success)
      .Add("failure", board.failure)
      .Add("reason", board.reason)
      .AddFixed("seconds", board.seconds, 3)
      .Add("backup", OrNull(board.backup))
      .Add("incremental", board.incremental);
  return json.Object() + "\n";
}

void AppendRecord(const std::string& logFile, const RecordContext& context,
                  const BoardRecord& board) {
  platform::AppendToFile(logFile, RecordLine(context, board));
}

}  // namespace korvane::station
