#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

// Files at the system boundary. Inside Korvane a file name is UTF-8 text; it becomes the
// platform's own form (bytes on Linux, UTF-16 on Windows) only here, so that a name such as
// "C:\Users\Jörg\Прошивка.hex" opens on every Windows code page.
namespace korvane::platform {

// A file operation failed; the message names the file and the reason ("cannot write
// backup.hex: No space left on device").
class FileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

std::filesystem::path PathFromUtf8(std::string_view utf8);
std::string Utf8FromPath(const std::filesystem::path& path);

#ifdef _WIN32
std::wstring WideFromUtf8(std::string_view utf8);
std::string Utf8FromWide(std::wstring_view wide);
// The system's text for a Windows error code, without the final full stop; "Windows error N"
// when the system has none.
std::string WindowsErrorText(std::uint32_t code);
#endif

// The system's text for an error number of the C library (errno).
std::string ErrorText(int errorNumber);

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;
// fopen with a UTF-8 name; null with errno set when the file cannot be opened.
FilePtr OpenFile(std::string_view path, const char* mode);

// Reads a whole file. Throws FileError.
std::string ReadFile(std::string_view path);

enum class Replace {
  Allowed,  // an existing file of that name is replaced
  Never,    // an existing file of that name is left alone and the write fails
};

// Writes a file so that it is either there whole under its name or not at all: the data go to
// a temporary file in the same folder, which is flushed to the disk and closed (both checked),
// then renamed to `path`, and the folder is synced. On any failure the temporary file is
// removed and nothing carries the name. With Replace::Never the rename itself refuses an
// existing file, so that two writers cannot both take one name. Throws FileError.
void WriteFileAtomically(std::string_view path, std::string_view data, Replace replace);

// Appends `text` to the end of the file (created when missing) with one write on a
// descriptor opened for appending, then syncs it, so that several processes appending to one
// file never tear each other's lines. Throws FileError.
void AppendToFile(std::string_view path, std::string_view text);

// True when something (a file, a folder, a link) carries the name.
bool Exists(std::string_view path);

// An exclusive advisory lock on a file, held while the object lives; other processes (and
// other FileLock objects in this one) that ask for it are refused or wait. The lock file holds
// the holder's process id.
class FileLock {
 public:
  // Takes the lock at once, or returns nothing when another holds it. Throws FileError when
  // the lock file cannot be made.
  static std::optional<FileLock> TryLock(std::string_view path);
  // Waits until the lock is free and takes it. Throws FileError.
  static FileLock Lock(std::string_view path);
  // The process id written into the lock file by its holder, if one holds it now.
  static std::optional<std::uint64_t> Holder(std::string_view path);

  FileLock(FileLock&& other) noexcept;
  FileLock& operator=(FileLock&& other) noexcept;
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  ~FileLock();

 private:
#ifdef _WIN32
  using Native = void*;
#else
  using Native = int;
#endif
  explicit FileLock(Native handle) : handle_(handle) {}
  void Release();

  Native handle_;
};

// This process's id.
std::uint64_t ProcessId();
// The machine's name, as the network knows it.
std::string HostName();
// A folder every process of the machine can make lock files in: KORVANE_LOCK_DIR when it is
// set, else /run/lock where it can be written, else the temporary folder.
std::string LockFolder();

}  // namespace korvane::platform
