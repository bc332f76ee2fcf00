#include <string>
#include <string_view>

#include "image/UpdateFileLoader.h"

namespace korvane::image {
namespace {

// Characters, not bytes: a UTF-8 sequence counts once.
std::int64_t CharacterCount(std::string_view text) {
  std::int64_t count = 0;
  for (const char c : text)
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80)
      ++count;
  return count;
}

// Byte length of the first n characters of text.
std::size_t PrefixBytes(std::string_view text, int n) {
  std::size_t end = 0;
  for (int chars = 0; chars < n && end < text.size(); ++chars) {
    ++end;
    while (end < text.size() && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
      ++end;
  }
  return end;
}

}  // namespace

// Keeps the first three characters and as many trailing components as fit behind "...\".
// Paths without a backslash are split at "/" instead, so that long paths of this system's own
// kind are shortened as well.
std::string ShortenPath(std::string_view path, std::int32_t maxLength) {
  if (CharacterCount(path) <= maxLength)
    return std::string(path);
  const char separator = path.find('\\') != std::string_view::npos ? '\\' : '/';
  const std::string_view prefix = path.substr(0, PrefixBytes(path, 3));
  // prefix (3) and "...\" (4)
  constexpr std::int64_t kMarkLength = 7;
  for (std::size_t at = path.find(separator); at != std::string_view::npos;
       at = path.find(separator, at + 1)) {
    const std::string_view tail = path.substr(at + 1);
    if (CharacterCount(tail) + kMarkLength <= maxLength) {
      std::string shortened(prefix);
      shortened += "...";
      shortened += separator;
      shortened += tail;
      return shortened;
    }
  }
  return std::string(path);
}

}  // namespace korvane::image
