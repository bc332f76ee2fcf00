// Files, locks and process facts on Windows: every name goes to the wide-character API.
#include <windows.h>
// After windows.h:
#include <sddl.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <random>

#include "platform/AppendLines.h"
#include "platform/Files.h"

namespace korvane::platform {

namespace {

// Closes a handle once, unless released.
class Handle {
 public:
  explicit Handle(HANDLE handle) : handle_(handle) {}
  Handle(Handle&& other) noexcept : handle_(other.Release()) {}
  Handle& operator=(Handle&& other) noexcept {
    if (this != &other) {
      Reset(other.Release());
    }
    return *this;
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle() { Reset(INVALID_HANDLE_VALUE); }
  bool Valid() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }
  HANDLE Get() const { return handle_; }
  bool Close() {
    const HANDLE handle = handle_;
    handle_ = INVALID_HANDLE_VALUE;
    return CloseHandle(handle) != 0;
  }
  HANDLE Release() {
    const HANDLE handle = handle_;
    handle_ = INVALID_HANDLE_VALUE;
    return handle;
  }

 private:
  void Reset(HANDLE handle) {
    if (Valid()) {
      CloseHandle(handle_);
    }
    handle_ = handle;
  }

  HANDLE handle_;
};

}  // namespace

std::string WindowsErrorText(std::uint32_t code) {
  wchar_t* buffer = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::wstring text;
  if (buffer != nullptr) {
    text.assign(buffer, length);
    LocalFree(buffer);
  }
  while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ' ||
                           text.back() == L'.')) {
    text.pop_back();
  }
  return text.empty() ? "Windows error " + std::to_string(code) : Utf8FromWide(text);
}

namespace {

// The lock is a byte far beyond the pid text, so that readers can still read the pid: a
// locked range cannot be read by others on Windows.
constexpr DWORD kLockOffsetHigh = 1;
// Appenders to one file take turns on its last lockable byte.
constexpr DWORD kAppendLockOffsetHigh = 0x7FFFFFFF;

Handle OpenLockFile(std::string_view path) {
  Handle file(CreateFileW(WideFromUtf8(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                          OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.Valid()) {
    throw FileError("cannot make the lock file " + std::string(path) + ": " +
                    WindowsErrorText(GetLastError()));
  }
  return file;
}

bool LockRange(HANDLE file, DWORD flags) {
  OVERLAPPED where{};
  where.OffsetHigh = kLockOffsetHigh;
  return LockFileEx(file, flags, 0, 1, 0, &where) != 0;
}

void NoteHolder(HANDLE file) {
  const std::string pid = std::to_string(GetCurrentProcessId()) + "\r\n";
  OVERLAPPED start{};
  DWORD written = 0;
  SetFilePointer(file, 0, nullptr, FILE_BEGIN);
  SetEndOfFile(file);
  ::WriteFile(file, pid.data(), static_cast<DWORD>(pid.size()), &written, &start);
}

}  // namespace

std::wstring WideFromUtf8(std::string_view utf8) {
  if (utf8.empty()) {
    return {};
  }
  const int size =
      MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(size), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), size);
  return wide;
}

std::string Utf8FromWide(std::wstring_view wide) {
  if (wide.empty()) {
    return {};
  }
  const int size = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                       nullptr, 0, nullptr, nullptr);
  std::string utf8(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), utf8.data(), size,
                      nullptr, nullptr);
  return utf8;
}

FilePtr OpenFile(std::string_view path, const char* mode) {
  const std::wstring wideMode(mode, mode + std::strlen(mode));
  return FilePtr(_wfopen(WideFromUtf8(path).c_str(), wideMode.c_str()));
}

void WriteFileAtomically(std::string_view path, std::string_view data, Replace replace) {
  const std::filesystem::path target = PathFromUtf8(path);
  const std::string name(path);
  const auto fail = [&name](const std::string& reason) {
    throw FileError("cannot write " + name + ": " + reason);
  };
  std::random_device random;
  std::wstring temporary;
  Handle file(INVALID_HANDLE_VALUE);
  for (int attempt = 0; attempt < 100 && !file.Valid(); ++attempt) {
    temporary = (target.parent_path() / (L"." + target.filename().wstring() + L"." +
                                         std::to_wstring(GetCurrentProcessId()) + L"-" +
                                         std::to_wstring(random() % 1000000) + L".tmp"))
                    .wstring();
    file = Handle(CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.Valid() && GetLastError() != ERROR_FILE_EXISTS) {
      fail(WindowsErrorText(GetLastError()));
    }
  }
  if (!file.Valid()) {
    fail(WindowsErrorText(GetLastError()));
  }
  const auto failAndRemove = [&](DWORD error) {
    if (file.Valid()) {
      file.Close();
    }
    DeleteFileW(temporary.c_str());
    fail(WindowsErrorText(error));
  };
  std::size_t done = 0;
  while (done < data.size()) {
    DWORD written = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(data.size() - done, 1 << 20));
    if (!::WriteFile(file.Get(), data.data() + done, chunk, &written, nullptr)) {
      failAndRemove(GetLastError());
    }
    if (written == 0) {
      failAndRemove(ERROR_WRITE_FAULT);
    }
    done += written;
  }
  if (!FlushFileBuffers(file.Get())) {
    failAndRemove(GetLastError());
  }
  if (!file.Close()) {
    failAndRemove(GetLastError());
  }
  const DWORD flags =
      MOVEFILE_WRITE_THROUGH | (replace == Replace::Allowed ? MOVEFILE_REPLACE_EXISTING : 0);
  if (!MoveFileExW(temporary.c_str(), target.wstring().c_str(), flags)) {
    failAndRemove(GetLastError());
  }
}

namespace {

// A file opened for appending whole lines. Appenders take turns on a lock far beyond any data
// (Wine does not honour append access for writers racing each other), and each writes at the
// end as it is once its turn has come.
class Appender {
 public:
  explicit Appender(const std::string& name)
      : name_(name),
        file_(CreateFileW(WideFromUtf8(name).c_str(), GENERIC_READ | GENERIC_WRITE,
                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                          OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr)) {
    if (!file_.Valid()) {
      throw FileError("cannot open " + name + " to append: " + WindowsErrorText(GetLastError()));
    }
    turn_.Offset = 0xFFFFFFFF;
    turn_.OffsetHigh = kAppendLockOffsetHigh;
    if (!LockFileEx(file_.Get(), LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &turn_)) {
      Fail(GetLastError());
    }
    locked_ = true;
    if (!GetFileSizeEx(file_.Get(), &end_)) {
      Fail(GetLastError());
    }
  }
  ~Appender() { Unlock(); }
  Appender(const Appender&) = delete;
  Appender& operator=(const Appender&) = delete;

  bool EndsMidLine() {
    if (end_.QuadPart == 0) {
      return false;
    }
    char last = '\n';
    DWORD got = 0;
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(end_.QuadPart - 1);
    at.OffsetHigh = static_cast<DWORD>((end_.QuadPart - 1) >> 32);
    return ::ReadFile(file_.Get(), &last, 1, &got, &at) && got == 1 && last != '\n';
  }

  void Write(std::string_view text) {
    std::size_t done = 0;
    while (done < text.size()) {
      const auto chunk = static_cast<DWORD>(std::min<std::size_t>(text.size() - done, 1 << 20));
      const std::uint64_t offset = static_cast<std::uint64_t>(end_.QuadPart) + done;
      OVERLAPPED at{};
      at.Offset = static_cast<DWORD>(offset);
      at.OffsetHigh = static_cast<DWORD>(offset >> 32);
      DWORD written = 0;
      if (!::WriteFile(file_.Get(), text.data() + done, chunk, &written, &at)) {
        CutBackAndFail(GetLastError());
      }
      if (written == 0) {
        CutBackAndFail(ERROR_WRITE_FAULT);
      }
      done += written;
    }
    if (!FlushFileBuffers(file_.Get())) {
      CutBackAndFail(GetLastError());
    }
  }

  void CutBack() {
    if (!SetFilePointerEx(file_.Get(), end_, nullptr, FILE_BEGIN) || !SetEndOfFile(file_.Get()) ||
        !FlushFileBuffers(file_.Get())) {
      Fail(GetLastError());
    }
  }

  void Close() {
    Unlock();
    if (!file_.Close()) {
      Fail(GetLastError());
    }
  }

 private:
  void Unlock() {
    if (locked_) {
      UnlockFileEx(file_.Get(), 0, 1, 0, &turn_);
      locked_ = false;
    }
  }

  [[noreturn]] void Fail(DWORD error) const {
    throw FileError("cannot append to " + name_ + ": " + WindowsErrorText(error));
  }

  [[noreturn]] void CutBackAndFail(DWORD error) {
    SetFilePointerEx(file_.Get(), end_, nullptr, FILE_BEGIN);
    SetEndOfFile(file_.Get());
    FlushFileBuffers(file_.Get());
    Fail(error);
  }

  std::string name_;
  Handle file_;
  OVERLAPPED turn_{};
  bool locked_ = false;
  LARGE_INTEGER end_{};
};

std::optional<FileIdentity> IdentityOfWide(const std::wstring& path) {
  Handle file(CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                          nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!file.Valid()) {
    return std::nullopt;
  }
  BY_HANDLE_FILE_INFORMATION information{};
  if (!GetFileInformationByHandle(file.Get(), &information)) {
    return std::nullopt;
  }
  return FileIdentity{information.dwVolumeSerialNumber,
                      (std::uint64_t{information.nFileIndexHigh} << 32) | information.nFileIndexLow,
                      {}};
}

}  // namespace

void AppendToFile(std::string_view path, std::string_view text) {
  Appender file{std::string(path)};
  detail::AppendLines(file, text);
}

void ReserveAppend(std::string_view path, std::size_t bytes) {
  Appender file{std::string(path)};
  detail::ReserveLines(file, bytes);
}

std::optional<FileIdentity> IdentityOf(std::string_view path) {
  const std::filesystem::path name = PathFromUtf8(path);
  if (auto identity = IdentityOfWide(name.wstring())) {
    return identity;
  }
  const DWORD error = GetLastError();
  if ((error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) || name.filename().empty()) {
    return std::nullopt;
  }
  // Not there yet: the folder it would be made in, and its name there (Windows names ignore
  // case).
  auto identity = IdentityOfWide(name.has_parent_path() ? name.parent_path().wstring() : L".");
  if (!identity) {
    return std::nullopt;
  }
  std::wstring last = name.filename().wstring();
  CharLowerBuffW(last.data(), static_cast<DWORD>(last.size()));
  identity->name = Utf8FromWide(last);
  return identity;
}

std::optional<FileLock> FileLock::TryLock(std::string_view path) {
  Handle file = OpenLockFile(path);
  if (!LockRange(file.Get(), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY)) {
    if (GetLastError() == ERROR_LOCK_VIOLATION || GetLastError() == ERROR_IO_PENDING) {
      return std::nullopt;
    }
    throw FileError("cannot lock " + std::string(path) + ": " + WindowsErrorText(GetLastError()));
  }
  NoteHolder(file.Get());
  return FileLock(file.Release());
}

FileLock FileLock::Lock(std::string_view path) {
  Handle file = OpenLockFile(path);
  if (!LockRange(file.Get(), LOCKFILE_EXCLUSIVE_LOCK)) {
    throw FileError("cannot lock " + std::string(path) + ": " + WindowsErrorText(GetLastError()));
  }
  NoteHolder(file.Get());
  return FileLock(file.Release());
}

std::optional<std::uint64_t> FileLock::Holder(std::string_view path) {
  // The lock is a byte far beyond the pid text, so reading the text takes no lock.
  Handle file(CreateFileW(WideFromUtf8(path).c_str(), GENERIC_READ,
                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.Valid()) {
    return std::nullopt;
  }
  char text[32] = {};
  DWORD got = 0;
  if (!::ReadFile(file.Get(), text, sizeof text - 1, &got, nullptr) || got == 0) {
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
  other.handle_ = INVALID_HANDLE_VALUE;
}

FileLock& FileLock::operator=(FileLock&& other) noexcept {
  if (this != &other) {
    Release();
    handle_ = other.handle_;
    other.handle_ = INVALID_HANDLE_VALUE;
  }
  return *this;
}

FileLock::~FileLock() {
  Release();
}

void FileLock::Release() {
  if (handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr) {
    CloseHandle(handle_);  // lets go of the lock
    handle_ = INVALID_HANDLE_VALUE;
  }
}

std::uint64_t ProcessId() {
  return GetCurrentProcessId();
}

bool ProcessExists(std::uint64_t id) {
  if (id == 0 || id > 0xFFFFFFFFu) {
    return false;
  }
  const HANDLE process =
      OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(id));
  if (process == nullptr) {
    // Another user's process, or a service's, may refuse to be looked at: it exists.
    return GetLastError() == ERROR_ACCESS_DENIED;
  }
  DWORD code = 0;
  const bool running = GetExitCodeProcess(process, &code) && code == STILL_ACTIVE;
  CloseHandle(process);
  return running;
}

std::string HostName() {
  wchar_t name[256] = {};
  DWORD size = 255;
  if (!GetComputerNameExW(ComputerNameDnsHostname, name, &size)) {
    return "unknown";
  }
  return Utf8FromWide(std::wstring_view(name, size));
}

namespace {

// A folder every user of the machine may make and write files in (and their files inherit
// that), made when missing.
bool SharedFolder(const std::wstring& folder, std::string& why) {
  // Full control for the system and administrators; read, write and delete for everyone.
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(
          L"D:(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1301bf;;;WD)", SDDL_REVISION_1, &descriptor,
          nullptr)) {
    why = WindowsErrorText(GetLastError());
    return false;
  }
  SECURITY_ATTRIBUTES attributes{sizeof(SECURITY_ATTRIBUTES), descriptor, FALSE};
  const bool made = CreateDirectoryW(folder.c_str(), &attributes) != 0;
  const DWORD error = made ? ERROR_SUCCESS : GetLastError();
  LocalFree(descriptor);
  if (!made && error != ERROR_ALREADY_EXISTS) {
    why = Utf8FromWide(folder) + " cannot be made: " + WindowsErrorText(error);
    return false;
  }
  const DWORD attributesFound = GetFileAttributesW(folder.c_str());
  if (attributesFound == INVALID_FILE_ATTRIBUTES ||
      (attributesFound & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    why = Utf8FromWide(folder) + " is not a folder";
    return false;
  }
  return true;
}

std::wstring Environment(const wchar_t* name) {
  const wchar_t* value = _wgetenv(name);
  return value != nullptr ? std::wstring(value) : std::wstring();
}

struct MachineLockFolder {
  std::string folder;
  std::string notice;
};

const MachineLockFolder& MachineFolder() {
  static const MachineLockFolder chosen = [] {
    MachineLockFolder result;
    std::string why = "%ProgramData% is not set";
    if (const std::wstring data = Environment(L"ProgramData"); !data.empty()) {
      const std::wstring korvane = data + L"\\Korvane";
      const std::wstring locks = korvane + L"\\locks";
      if (SharedFolder(korvane, why) && SharedFolder(locks, why)) {
        result.folder = Utf8FromWide(locks);
        return result;
      }
    }
    wchar_t temporary[MAX_PATH + 1] = {};
    const DWORD length = GetTempPathW(MAX_PATH + 1, temporary);
    std::wstring folder(temporary, length);
    while (!folder.empty() && (folder.back() == L'\\' || folder.back() == L'/')) {
      folder.pop_back();
    }
    result.folder = Utf8FromWide(folder);
    result.notice = "the machine's lock folder cannot be used (" + why + "); device locks go to " +
                    result.folder + ", where runs of other users or of services do not see them";
    return result;
  }();
  return chosen;
}

}  // namespace

std::string LockFolder() {
  if (const std::wstring folder = Environment(L"KORVANE_LOCK_DIR"); !folder.empty()) {
    return Utf8FromWide(folder);
  }
  return MachineFolder().folder;
}

std::string LockFolderNotice() {
  if (!Environment(L"KORVANE_LOCK_DIR").empty()) {
    return {};
  }
  return MachineFolder().notice;
}

}  // namespace korvane::platform
