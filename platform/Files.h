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
// existing file (also one that appeared while the data were written), so that two writers
// cannot both take one name. Throws FileError.
void WriteFileAtomically(std::string_view path, std::string_view data, Replace replace);

// Appends `text` (one or more whole lines) to the end of the file, created when missing, so
// that the file only ever gains whole lines: appenders take turns under an exclusive advisory
// lock on the file; a file that does not end in a line feed (cut off by a crash or another
// program) gets one first, so that the new line stands alone; a write that ends short (a full
// disk, a size limit, a quota) or a sync that fails is cut back to where the file ended, and
// the file is as it was. Throws FileError.
void AppendToFile(std::string_view path, std::string_view text);

// Proves, before anything else happens, that the file can take `bytes` more bytes now: under
// the same lock as AppendToFile it appends that many line feeds, syncs them and cuts the file
// back to what it was (created empty when missing). A full disk or a size limit is found here.
// Throws FileError.
void ReserveAppend(std::string_view path, std::size_t bytes);

// True when something (a file, a folder, a link) carries the name.
bool Exists(std::string_view path);

// Which file a name reaches, whatever the name: the volume and the file's number on it (device
// and inode on POSIX systems, volume serial number and file index on Windows). A name that
// nothing carries yet is known by its folder's identity and its own last part, so that two
// names of one file still to be made are the same file too.
struct FileIdentity {
  std::uint64_t volume = 0;
  std::uint64_t index = 0;
  std::string name;  // the last part of a name not yet carried (case-folded on Windows); else ""
  friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};
// Nothing when neither the file nor its folder can be found.
std::optional<FileIdentity> IdentityOf(std::string_view path);
// True when the two names reach the same file, or would make the same file.
bool SameFile(std::string_view first, std::string_view second);

// An exclusive advisory lock on a file, held while the object lives; other processes (and
// other FileLock objects in this one) that ask for it are refused or wait. The holder writes
// its process id into the lock file.
class FileLock {
 public:
  // Takes the lock at once, or returns nothing when another holds it. Throws FileError when
  // the lock file cannot be made.
  static std::optional<FileLock> TryLock(std::string_view path);
  // Waits until the lock is free and takes it. Throws FileError.
  static FileLock Lock(std::string_view path);
  // The process id the last holder wrote into the lock file, when that process still runs:
  // asked after TryLock found the lock held, it names the holder. It takes no lock of its own,
  // so that asking never keeps another process from taking the lock.
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
// True when a process with this id runs on this machine (one of another user's included).
bool ProcessExists(std::uint64_t id);
// The machine's name, as the network knows it.
std::string HostName();
// The folder every process of the machine, of every user, makes its device locks in:
// KORVANE_LOCK_DIR when it is set; else /run/lock/korvane (or /var/lock/korvane) on Linux and
// %ProgramData%\Korvane\locks on Windows, created so that every user can make lock files in it;
// when that cannot be had, a folder in the temporary folder (see LockFolderNotice).
std::string LockFolder();
// Why the machine's lock folder could not be used and which folder is used instead, or empty.
std::string LockFolderNotice();

}  // namespace korvane::platform
