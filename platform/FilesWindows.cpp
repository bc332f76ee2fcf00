// Files, locks and process facts on Windows: every name goes to the wide-character API.
#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <random>

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
  if (replace == Replace::Never && Exists(path)) {
    fail(WindowsErrorText(ERROR_FILE_EXISTS));
  }
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

void AppendToFile(std::string_view path, std::string_view text) {
  const std::string name(path);
  // Append access alone would place each write at the end, but Wine does not honour that for
  // writers racing each other: appenders also take turns on a lock far beyond any data, and
  // each writes at the end as it is once its turn has come.
  Handle file(CreateFileW(WideFromUtf8(path).c_str(), GENERIC_READ | FILE_APPEND_DATA,
                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                          OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.Valid()) {
    throw FileError("cannot open " + name + " to append: " + WindowsErrorText(GetLastError()));
  }
  OVERLAPPED turn{};
  turn.Offset = 0xFFFFFFFF;
  turn.OffsetHigh = kAppendLockOffsetHigh;
  if (!LockFileEx(file.Get(), LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &turn)) {
    throw FileError("cannot append to " + name + ": " + WindowsErrorText(GetLastError()));
  }
  LARGE_INTEGER none{};
  DWORD written = 0;
  const bool appended =
      SetFilePointerEx(file.Get(), none, nullptr, FILE_END) &&
      ::WriteFile(file.Get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
      written == text.size() && FlushFileBuffers(file.Get());
  const DWORD error = appended ? ERROR_SUCCESS : GetLastError();
  UnlockFileEx(file.Get(), 0, 1, 0, &turn);
  if (!appended || !file.Close()) {
    throw FileError("cannot append to " + name + ": " +
                    WindowsErrorText(appended ? GetLastError() : error));
  }
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
  Handle file(CreateFileW(WideFromUtf8(path).c_str(), GENERIC_READ,
                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.Valid()) {
    return std::nullopt;
  }
  if (LockRange(file.Get(), LOCKFILE_FAIL_IMMEDIATELY)) {
    OVERLAPPED where{};
    where.OffsetHigh = kLockOffsetHigh;
    UnlockFileEx(file.Get(), 0, 1, 0, &where);
    return std::nullopt;
  }
  char text[32] = {};
  DWORD got = 0;
  ::ReadFile(file.Get(), text, sizeof text - 1, &got, nullptr);
  return got > 0 ? std::strtoull(text, nullptr, 10) : 0;
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

std::string HostName() {
  wchar_t name[256] = {};
  DWORD size = 255;
  if (!GetComputerNameExW(ComputerNameDnsHostname, name, &size)) {
    return "unknown";
  }
  return Utf8FromWide(std::wstring_view(name, size));
}

std::string LockFolder() {
  if (const wchar_t* folder = _wgetenv(L"KORVANE_LOCK_DIR"); folder != nullptr && *folder != 0) {
    return Utf8FromWide(folder);
  }
  wchar_t temporary[MAX_PATH + 1] = {};
  const DWORD length = GetTempPathW(MAX_PATH + 1, temporary);
  std::wstring folder(temporary, length);
  while (!folder.empty() && (folder.back() == L'\\' || folder.back() == L'/')) {
    folder.pop_back();
  }
  return Utf8FromWide(folder);
}

}  // namespace korvane::platform
