#include "image/UpdateFileLoader.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <system_error>

#include "platform/Files.h"

namespace korvane::image {
namespace {

struct FileContent {
  bool read = false;
  std::string bytes;
  std::string reason;  // why it could not be read
};

std::string ReasonFor(std::error_code error) {
  if (error == std::errc::no_such_file_or_directory)
    return "the file does not exist";
  if (error == std::errc::permission_denied || error == std::errc::operation_not_permitted)
    return "permission denied";
  return error.message();
}

// Reads a whole file as raw bytes. Anything that is not a regular file of at most
// kMaxUpdateFileSize bytes is refused before a byte is read.
FileContent ReadWholeFile(const std::string& path) {
  namespace fs = std::filesystem;
  FileContent content;
  std::error_code error;
  const fs::path name = platform::PathFromUtf8(path);
  const fs::file_status status = fs::status(name, error);
  if (status.type() == fs::file_type::not_found) {
    content.reason = "the file does not exist";
    return content;
  }
  if (error) {
    content.reason = ReasonFor(error);
    return content;
  }
  if (fs::is_directory(status)) {
    content.reason = "it is a folder, not a file";
    return content;
  }
  if (!fs::is_regular_file(status)) {
    content.reason = "it is not a regular file";
    return content;
  }
  const std::uintmax_t size = fs::file_size(name, error);
  if (error) {
    content.reason = ReasonFor(error);
    return content;
  }
  if (size > kMaxUpdateFileSize) {
    content.reason = "the file is larger than 64 MiB";
    return content;
  }

  errno = 0;
  const platform::FilePtr file = platform::OpenFile(path, "rb");
  if (!file) {
    content.reason = ReasonFor(std::error_code(errno, std::generic_category()));
    return content;
  }
  // The file may have changed since it was measured: read until the end, within the limit.
  std::size_t length = 0;
  content.bytes.resize(static_cast<std::size_t>(size) + 1);
  for (;;) {
    if (length == content.bytes.size()) {
      if (length > kMaxUpdateFileSize) {
        content.bytes.clear();
        content.reason = "the file is larger than 64 MiB";
        return content;
      }
      content.bytes.resize(std::min<std::size_t>(length * 2 + 4096, kMaxUpdateFileSize + 1));
    }
    const std::size_t got =
        std::fread(content.bytes.data() + length, 1, content.bytes.size() - length, file.get());
    length += got;
    if (got == 0)
      break;
  }
  if (std::ferror(file.get())) {
    content.bytes.clear();
    content.reason = "it could not be read";
    return content;
  }
  if (length > kMaxUpdateFileSize) {
    content.bytes.clear();
    content.reason = "the file is larger than 64 MiB";
    return content;
  }
  content.bytes.resize(length);
  content.read = true;
  return content;
}

bool IsPlainHexName(std::string_view path) {
  if (path.size() < 4)
    return false;
  std::string last(path.substr(path.size() - 4));
  for (char& c : last)
    if (c >= 'A' && c <= 'Z')
      c = static_cast<char>(c - 'A' + 'a');
  return last == ".hex";
}

void ScrambleInPlace(std::string& data) {
  const std::size_t keyLength = ScrambleKey.size();
  std::size_t key = 0;
  for (char& c : data) {
    c = static_cast<char>(static_cast<unsigned char>(c) ^
                          static_cast<unsigned char>(ScrambleKey[key]));
    if (++key == keyLength)
      key = 0;
  }
}

}  // namespace

UpdateFileLoader::UpdateFileLoader(MemoryImage& image, LoaderHost& host)
    : image_(image), host_(host) {}

bool UpdateFileLoader::DecodeScrambledFile(const std::string& path) {
  // Read before the label changes, so that a file that cannot be read leaves it as it was.
  FileContent content = ReadWholeFile(path);
  if (!content.read) {
    decodedText_.clear();
    lastError_ = std::move(content.reason);
    return false;
  }
  lastError_.clear();
  host_.OnDecoding();
  decodedText_ = std::move(content.bytes);
  ScrambleInPlace(decodedText_);
  return true;
}

LoadResult UpdateFileLoader::LoadUpdateFile(const std::string& path, std::string* bytesRead) {
  LoadResult result;
  std::string plainText;
  const bool plain = IsPlainHexName(path);
  bool read = false;
  if (plain) {
    FileContent content = ReadWholeFile(path);
    read = content.read;
    plainText = std::move(content.bytes);
    lastError_ = std::move(content.reason);
  } else {
    read = DecodeScrambledFile(path);
  }
  if (!read) {
    result.error = "The file \"" + path + "\" cannot be loaded: " + lastError_ + ".";
    host_.ShowMessage(result.error);
    return result;
  }

  const std::string_view text = plain ? std::string_view(plainText) : decodedText_;
  result.report = LoadHexText(image_, text, [this](int recordType) {
    host_.ShowMessage(std::string("## Error in Hex-File, type:") + " " +
                      std::to_string(recordType));
  });
  result.loaded = true;
  if (bytesRead != nullptr) {
    *bytesRead = plain ? std::move(plainText) : Scramble(decodedText_);
  }
  if (result.report.HasProblems())
    host_.ShowMessage(result.report.Summary());
  result.shownPath = ShortenPath(path, 40);
  return result;
}

std::string Scramble(std::string_view data) {
  std::string out(data);
  ScrambleInPlace(out);
  return out;
}

}  // namespace korvane::image
