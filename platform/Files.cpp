#include "platform/Files.h"

#include <cerrno>
#include <cstring>
#include <system_error>

namespace korvane::platform {

std::filesystem::path PathFromUtf8(std::string_view utf8) {
  return std::filesystem::path(
      std::u8string(reinterpret_cast<const char8_t*>(utf8.data()), utf8.size()));
}

std::string Utf8FromPath(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

std::string ErrorText(int errorNumber) {
  return std::generic_category().message(errorNumber);
}

bool Exists(std::string_view path) {
  std::error_code error;
  return std::filesystem::exists(std::filesystem::symlink_status(PathFromUtf8(path), error));
}

bool SameFile(std::string_view first, std::string_view second) {
  const std::optional<FileIdentity> a = IdentityOf(first);
  const std::optional<FileIdentity> b = IdentityOf(second);
  if (a && b) {
    return *a == *b;
  }
  // Neither the files nor their folders are there: the names themselves, made whole.
  std::error_code error;
  return std::filesystem::absolute(PathFromUtf8(first), error).lexically_normal() ==
         std::filesystem::absolute(PathFromUtf8(second), error).lexically_normal();
}

std::string ReadFile(std::string_view path) {
  errno = 0;
  const FilePtr file = OpenFile(path, "rb");
  if (!file) {
    throw FileError("cannot read " + std::string(path) + ": " + ErrorText(errno));
  }
  std::string data;
  char chunk[65536];
  for (;;) {
    const std::size_t got = std::fread(chunk, 1, sizeof chunk, file.get());
    data.append(chunk, got);
    if (got < sizeof chunk) {
      break;
    }
  }
  if (std::ferror(file.get()) != 0) {
    throw FileError("cannot read " + std::string(path) + ": " + ErrorText(errno));
  }
  return data;
}

}  // namespace korvane::platform
