// Files, locks and process facts on Linux (and the other POSIX systems the page's runtime
// imitates).
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <random>

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

int OpenLockFile(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd >= 0) {
    // Other users' runs must be able to take the same lock.
    ::fchmod(fd, 0666);
  } else if (errno == EACCES) {
    // Made by another user: a lock needs only a descriptor, not the right to write.
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  }
  if (fd < 0) {
    throw FileError("cannot make the lock file " + path + ": " + ErrorText(errno));
  }
  return fd;
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
  if (replace == Replace::Never && Exists(path)) {
    fail(EEXIST);
  }
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

void AppendToFile(std::string_view path, std::string_view text) {
  const std::string name(path);
  Descriptor file(::open(name.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666));
  if (file.Get() < 0) {
    throw FileError("cannot open " + name + " to append: " + ErrorText(errno));
  }
  // One write: with O_APPEND the kernel places it whole at the end, whoever else appends.
  ssize_t written = -1;
  do {
    written = ::write(file.Get(), text.data(), text.size());
  } while (written < 0 && errno == EINTR);
  if (written < 0) {
    throw FileError("cannot append to " + name + ": " + ErrorText(errno));
  }
  if (static_cast<std::size_t>(written) != text.size()) {
    throw FileError("cannot append to " + name + ": only part of the line was written");
  }
  if (::fsync(file.Get()) != 0 || !file.Close()) {
    throw FileError("cannot append to " + name + ": " + ErrorText(errno));
  }
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
  if (::flock(fd.Get(), LOCK_SH | LOCK_NB) == 0) {
    return std::nullopt;  // nobody holds it (closing the descriptor lets go again)
  }
  char text[32] = {};
  const ssize_t got = ::pread(fd.Get(), text, sizeof text - 1, 0);
  return got > 0 ? std::strtoull(text, nullptr, 10) : 0;
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

std::string HostName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) {
    return "unknown";
  }
  return name;
}

std::string LockFolder() {
  if (const char* folder = std::getenv("KORVANE_LOCK_DIR"); folder != nullptr && *folder != 0) {
    return folder;
  }
  if (::access("/run/lock", W_OK | X_OK) == 0) {
    return "/run/lock";
  }
  std::error_code error;
  const std::filesystem::path temporary = std::filesystem::temp_directory_path(error);
  return error ? std::string("/tmp") : temporary.string();
}

}  // namespace korvane::platform
