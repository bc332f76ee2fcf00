// Files, locks and process facts on Linux (and the other POSIX systems the page's runtime
// imitates).
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <random>

#include "platform/AppendLines.h"
#include "platform/Files.h"

namespace korvane::platform {

namespace {

// Closes a descriptor once, unless released.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() {
    if (fd_ >= 0) {
      ::close(fd_);
    }
  }
  int Get() const { return fd_; }
  // Closes now and reports whether the close worked (a write error can show up only here).
  bool Close() {
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
  }
  int Release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

bool WriteAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t written = ::write(fd, data, size);
    if (written < 0) {
      if (errno == EINTR) {
        continue;
      }
      return false;
    }
    data += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

std::string FolderOf(const std::filesystem::path& target) {
  const std::filesystem::path folder = target.parent_path();
  return folder.empty() ? std::string(".") : folder.string();
}

// A fresh file beside `target`, created exclusively; its name is returned in `name`.
int CreateTemporaryBeside(const std::filesystem::path& target, std::string& name) {
  static std::atomic<unsigned> counter{0};
  std::random_device random;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::filesystem::path candidate =
        std::filesystem::path(FolderOf(target)) /
        ("." + target.filename().string() + "." + std::to_string(::getpid()) + "-" +
         std::to_string(counter++) + "-" + std::to_string(random() % 100000) + ".tmp");
    const int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0 || errno != EEXIST) {
      name = candidate.string();
      return fd;
    }
  }
  errno = EEXIST;
  return -1;
}

// Renames without ever replacing an existing file: where the file system cannot rename that
// way, a hard link takes the name (it fails when the name is taken) and the temporary name goes.
int RenameNoReplace(const char* from, const char* to) {
#if defined(__linux__) && defined(RENAME_NOREPLACE) && !defined(__EMSCRIPTEN__)
  if (::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) {
    return 0;
  }
  if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) {
    return -1;
  }
#endif
  if (::link(from, to) == 0) {
    ::unlink(from);
    return 0;
  }
  if (errno == EEXIST) {
    return -1;
  }
  // No hard links here (a FAT stick): look, then rename.
  struct stat existing {};
  if (::lstat(to, &existing) == 0) {
    errno = EEXIST;
    return -1;
  }
  return ::rename(from, to);
}

void SyncFolder(const std::string& folder) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    // Some file systems cannot sync a folder (EINVAL); the file itself is synced already.
    ::fsync(fd);
    ::close(fd);
  }
}

// Opens the lock file, making it when missing. An existing file is opened without O_CREAT:
// in a shared sticky folder the kernel may refuse O_CREAT on another user's file
// (protected_regular) even where the file itself may be written.
int OpenLockFile(const std::string& path) {
  for (int attempt = 0; attempt < 10; ++attempt) {
    int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd >= 0) {
      return fd;
    }
    if (errno == EACCES) {
      // Another user's lock file that this user may not write: a lock needs only a descriptor.
      fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
      if (fd >= 0) {
        return fd;
      }
      break;
    }
    if (errno != ENOENT) {
      break;
    }
    fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
      // Other users' runs must be able to take the same lock and note their process id.
      ::fchmod(fd, 0666);
      return fd;
    }
    if (errno != EEXIST) {
      break;
    }
  }
  throw FileError("cannot make the lock file " + path + ": " + ErrorText(errno));
}

void NoteHolder(int fd) {
  const std::string pid = std::to_string(::getpid()) + "\n";
  if (::ftruncate(fd, 0) == 0) {
    [[maybe_unused]] const ssize_t written = ::pwrite(fd, pid.data(), pid.size(), 0);
  }
}

}  // namespace

FilePtr OpenFile(std::string_view path, const char* mode) {
  return FilePtr(std::fopen(std::string(path).c_str(), mode));
}

void WriteFileAtomically(std::string_view path, std::string_view data, Replace replace) {
  const std::filesystem::path target = PathFromUtf8(path);
  const std::string name(path);
  const auto fail = [&name](int error) {
    throw FileError("cannot write " + name + ": " + ErrorText(error));
  };
  std::string temporary;
  Descriptor file(CreateTemporaryBeside(target, temporary));
  if (file.Get() < 0) {
    fail(errno);
  }
  // From here on the temporary file goes again on every failure.
  const auto failAndRemove = [&](int error) {
    ::unlink(temporary.c_str());
    fail(error);
  };
  if (!WriteAll(file.Get(), data.data(), data.size())) {
    failAndRemove(errno);
  }
  if (::fsync(file.Get()) != 0) {
    failAndRemove(errno);
  }
  if (!file.Close()) {
    failAndRemove(errno);
  }
  const int renamed = replace == Replace::Never ? RenameNoReplace(temporary.c_str(), target.c_str())
                                                : ::rename(temporary.c_str(), target.c_str());
  if (renamed != 0) {
    failAndRemove(errno);
  }
  SyncFolder(FolderOf(target));
}

namespace {

// A file opened for appending whole lines, under its exclusive advisory lock.
class Appender {
 public:
  explicit Appender(const std::string& name) : name_(name), file_(Open(name)) {
    while (::flock(file_.Get(), LOCK_EX) != 0) {
      if (errno != EINTR) {
        Fail(errno);
      }
    }
    struct stat status {};
    if (::fstat(file_.Get(), &status) != 0) {
      Fail(errno);
    }
    end_ = status.st_size;
  }

  // True when the file ends in something other than a line feed.
  bool EndsMidLine() const {
    char last = '\n';
    return end_ > 0 && ::pread(file_.Get(), &last, 1, end_ - 1) == 1 && last != '\n';
  }

  // Writes `text` at the end and syncs it; on any failure cuts the file back to its old end.
  void Write(std::string_view text) {
    if (!WriteAll(file_.Get(), text.data(), text.size()) || ::fsync(file_.Get()) != 0) {
      CutBackAndFail(errno);
    }
  }

  // Cuts the file back to its old end (after a reservation, or a write that failed).
  void CutBack() {
    if (::ftruncate(file_.Get(), end_) != 0 || ::fsync(file_.Get()) != 0) {
      Fail(errno);
    }
  }

  void Close() {
    if (!file_.Close()) {
      Fail(errno);
    }
  }

 private:
  static int Open(const std::string& name) {
    const int fd = ::open(name.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) {
      throw FileError("cannot open " + name + " to append: " + ErrorText(errno));
    }
    return fd;
  }

  [[noreturn]] void Fail(int error) const {
    throw FileError("cannot append to " + name_ + ": " + ErrorText(error));
  }

  [[noreturn]] void CutBackAndFail(int error) {
    // Shrinking a file needs no space, and a size limit does not stop it.
    ::ftruncate(file_.Get(), end_);
    ::fsync(file_.Get());
    Fail(error);
  }

  std::string name_;
  Descriptor file_;
  off_t end_ = 0;
};

}  // namespace

void AppendToFile(std::string_view path, std::string_view text) {
  Appender file{std::string(path)};
  detail::AppendLines(file, text);
}

void ReserveAppend(std::string_view path, std::size_t bytes) {
  Appender file{std::string(path)};
  detail::ReserveLines(file, bytes);
}

namespace {

std::optional<FileIdentity> IdentityOfNative(const std::filesystem::path& path) {
  struct stat status {};
  if (::stat(path.c_str(), &status) == 0) {
    return FileIdentity{
        static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino), {}};
  }
  if (errno != ENOENT) {
    return std::nullopt;
  }
  // Not there yet: the folder it would be made in, and its name there.
  const std::filesystem::path folder = path.has_parent_path() ? path.parent_path() : ".";
  if (::stat(folder.c_str(), &status) != 0 || path.filename().empty()) {
    return std::nullopt;
  }
  return FileIdentity{static_cast<std::uint64_t>(status.st_dev),
                      static_cast<std::uint64_t>(status.st_ino), path.filename().string()};
}

}  // namespace

std::optional<FileIdentity> IdentityOf(std::string_view path) {
  return IdentityOfNative(PathFromUtf8(path));
}

std::optional<FileLock> FileLock::TryLock(std::string_view path) {
  Descriptor fd(OpenLockFile(std::string(path)));
  while (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK) {
      return std::nullopt;
    }
    if (errno != EINTR) {
      throw FileError("cannot lock " + std::string(path) + ": " + ErrorText(errno));
    }
  }
  NoteHolder(fd.Get());
  return FileLock(fd.Release());
}

FileLock FileLock::Lock(std::string_view path) {
  Descriptor fd(OpenLockFile(std::string(path)));
  while (::flock(fd.Get(), LOCK_EX) != 0) {
    if (errno != EINTR) {
      throw FileError("cannot lock " + std::string(path) + ": " + ErrorText(errno));
    }
  }
  NoteHolder(fd.Get());
  return FileLock(fd.Release());
}

std::optional<std::uint64_t> FileLock::Holder(std::string_view path) {
  Descriptor fd(::open(std::string(path).c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.Get() < 0) {
    return std::nullopt;
  }
  char text[32] = {};
  const ssize_t got = ::pread(fd.Get(), text, sizeof text - 1, 0);
  if (got <= 0) {
    return std::nullopt;
  }
  char* end = nullptr;
  const std::uint64_t id = std::strtoull(text, &end, 10);
  if (end == text || id == 0 || !ProcessExists(id)) {
    return std::nullopt;
  }
  return id;
}

FileLock::FileLock(FileLock&& other) noexcept : handle_(other.handle_) {
  other.handle_ = -1;
}

FileLock& FileLock::operator=(FileLock&& other) noexcept {
  if (this != &other) {
    Release();
    handle_ = other.handle_;
    other.handle_ = -1;
  }
  return *this;
}

FileLock::~FileLock() {
  Release();
}

void FileLock::Release() {
  if (handle_ >= 0) {
    ::close(handle_);  // lets go of the lock
    handle_ = -1;
  }
}

std::uint64_t ProcessId() {
  return static_cast<std::uint64_t>(::getpid());
}

bool ProcessExists(std::uint64_t id) {
  const auto pid = static_cast<pid_t>(id);
  if (pid <= 0 || static_cast<std::uint64_t>(pid) != id) {
    return false;
  }
  // Another user's process answers "not permitted": it exists all the same.
  return ::kill(pid, 0) == 0 || errno == EPERM;
}

std::string HostName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) {
    return "unknown";
  }
  return name;
}

namespace {

// A folder every user may make files in and no one may take another's files from (sticky,
// like /tmp): made when missing. Empty when it cannot be had; `why` then says why.
bool SharedFolder(const std::string& folder, std::string& why) {
  if (::mkdir(folder.c_str(), 01777) == 0) {
    // The process's umask took bits away from the mode asked for.
    ::chmod(folder.c_str(), 01777);
  } else if (errno != EEXIST) {
    why = folder + " cannot be made: " + ErrorText(errno);
    return false;
  }
  struct stat status {};
  if (::stat(folder.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) {
    why = folder + " is not a folder";
    return false;
  }
  if (::access(folder.c_str(), W_OK | X_OK) != 0) {
    why = folder + " cannot be written: " + ErrorText(errno);
    return false;
  }
  return true;
}

struct MachineLockFolder {
  std::string folder;
  std::string notice;
};

const MachineLockFolder& MachineFolder() {
  static const MachineLockFolder chosen = [] {
    MachineLockFolder result;
    std::string why;
    for (const char* base : {"/run/lock", "/var/lock"}) {
      std::string reason;
      if (SharedFolder(std::string(base) + "/korvane", reason)) {
        result.folder = std::string(base) + "/korvane";
        return result;
      }
      why += (why.empty() ? "" : "; ") + reason;
    }
    std::error_code error;
    std::filesystem::path temporary = std::filesystem::temp_directory_path(error);
    if (error) {
      temporary = "/tmp";
    }
    result.folder = (temporary / "korvane-locks").string();
    std::string reason;
    if (!SharedFolder(result.folder, reason)) {
      result.folder = temporary.string();
    }
    result.notice = "the machine's lock folder cannot be used (" + why + "); device locks go to " +
                    result.folder + ", where runs of other users or of services may not see them";
    return result;
  }();
  return chosen;
}

}  // namespace

std::string LockFolder() {
  if (const char* folder = std::getenv("KORVANE_LOCK_DIR"); folder != nullptr && *folder != 0) {
    return folder;
  }
  return MachineFolder().folder;
}

std::string LockFolderNotice() {
  if (const char* folder = std::getenv("KORVANE_LOCK_DIR"); folder != nullptr && *folder != 0) {
    return {};
  }
  return MachineFolder().notice;
}

}  // namespace korvane::platform
