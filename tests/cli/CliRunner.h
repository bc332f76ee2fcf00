#pragma once

// Runs the built korvane-cli as a child process and captures what it printed and its exit code.

#ifdef _WIN32
#include <windows.h>

#include <algorithm>
#include <random>
#else
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;
#endif

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace korvane::cli::test {

struct CliResult {
  int exitCode = -1;
  std::string out;
  std::string err;
};

inline std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    lines.push_back(line);
  }
  return lines;
}

inline std::vector<std::uint8_t> ReadBytes(const std::filesystem::path& path) {
  const std::string text = ReadFile(path);
  return {text.begin(), text.end()};
}

inline void WriteFile(const std::filesystem::path& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

// A fresh directory under the system's temporary folder, removed again at the end.
class TempDir {
 public:
  TempDir() {
#ifdef _WIN32
    std::random_device random;
    for (int attempt = 0; path_.empty() && attempt < 100; ++attempt) {
      const auto candidate =
          std::filesystem::temp_directory_path() / ("korvane-cli-" + std::to_string(random()));
      if (std::filesystem::create_directory(candidate)) {
        path_ = candidate;
      }
    }
    if (path_.empty()) {
      throw std::runtime_error("cannot make a temporary folder");
    }
#else
    std::string pattern = (std::filesystem::temp_directory_path() / "korvane-cli-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
      throw std::runtime_error("mkdtemp failed");
    }
    path_ = pattern;
#endif
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& Path() const {
    return path_;
  }
  std::filesystem::path operator/(const std::string& name) const {
    return path_ / name;
  }

 private:
  std::filesystem::path path_;
};

// The device locks of the programs one test process starts go to a folder of its own: the
// tests' emulated and umockdev devices share places with other tests' devices on this machine.
inline std::string LockFolderEntry() {
  static const TempDir folder;
  return "KORVANE_LOCK_DIR=" + folder.Path().string();
}

#ifdef _WIN32
namespace detail {

// Arguments and names are UTF-8, as the program takes them.
inline std::wstring Wide(const std::string& text) {
  return std::filesystem::path(std::u8string(text.begin(), text.end())).wstring();
}

// One argument quoted as the C runtime splits a command line.
inline std::wstring QuoteArgument(const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos) {
    return arg;
  }
  std::wstring quoted = L"\"";
  std::size_t backslashes = 0;
  for (const wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    quoted += c;
  }
  quoted.append(backslashes * 2, L'\\');
  return quoted + L"\"";
}

inline HANDLE OpenForChild(const std::string& path, bool write) {
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  return CreateFileW(Wide(path).c_str(), write ? GENERIC_WRITE : GENERIC_READ,
                     FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                     write ? CREATE_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// The parent's environment with `extra` ("NAME=value") added: an entry replaces the parent's
// and earlier ones of its name.
inline std::wstring EnvironmentBlock(const std::vector<std::string>& extra) {
  const auto nameOf = [](const std::wstring& entry) {
    std::wstring name = entry.substr(0, entry.find(L'=', 1));
    for (wchar_t& c : name) {
      c = static_cast<wchar_t>(towupper(c));
    }
    return name;
  };
  std::vector<std::wstring> entries;
  std::vector<std::wstring> names;
  const auto add = [&](const std::wstring& entry) {
    const std::wstring name = nameOf(entry);
    if (std::find(names.begin(), names.end(), name) == names.end()) {
      names.push_back(name);
      entries.push_back(entry);
    }
  };
  for (auto it = extra.rbegin(); it != extra.rend(); ++it) {
    add(Wide(*it));
  }
  wchar_t* parent = GetEnvironmentStringsW();
  for (const wchar_t* entry = parent; *entry != L'\0'; entry += wcslen(entry) + 1) {
    add(entry);
  }
  FreeEnvironmentStringsW(parent);
  std::wstring block;
  for (const std::wstring& entry : entries) {
    block += entry;
    block += L'\0';
  }
  return block + L'\0';
}

inline std::string WithoutCarriageReturns(std::string text) {
  std::erase(text, '\r');
  return text;
}

}  // namespace detail

// Runs `binary` with `args`; standard output and error go to files in a scratch directory, so
// no pipe can fill up. Extra environment entries ("NAME=value") are added to the parent's.
inline CliResult RunProgram(const std::string& binary, const std::vector<std::string>& args,
                            const std::vector<std::string>& extraEnvironment = {}) {
  const TempDir scratch;
  const std::string outPath = (scratch / "stdout").string();
  const std::string errPath = (scratch / "stderr").string();
  const HANDLE in = detail::OpenForChild("NUL", false);
  const HANDLE out = detail::OpenForChild(outPath, true);
  const HANDLE err = detail::OpenForChild(errPath, true);
  std::wstring commandLine = detail::QuoteArgument(detail::Wide(binary));
  for (const std::string& arg : args) {
    commandLine += L' ' + detail::QuoteArgument(detail::Wide(arg));
  }
  std::vector<std::string> entries{LockFolderEntry()};
  entries.insert(entries.end(), extraEnvironment.begin(), extraEnvironment.end());
  std::wstring environment = detail::EnvironmentBlock(entries);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = in;
  startup.hStdOutput = out;
  startup.hStdError = err;
  PROCESS_INFORMATION process{};
  const BOOL started =
      CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE,
                     CREATE_UNICODE_ENVIRONMENT, environment.data(), nullptr, &startup, &process);
  for (const HANDLE handle : {in, out, err}) {
    if (handle != INVALID_HANDLE_VALUE) {
      CloseHandle(handle);
    }
  }
  if (!started) {
    throw std::runtime_error("cannot start " + binary);
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  CliResult result;
  result.exitCode = static_cast<int>(code);
  // A console program's text ends its lines with CR LF; the tests compare lines.
  result.out = detail::WithoutCarriageReturns(ReadFile(outPath));
  result.err = detail::WithoutCarriageReturns(ReadFile(errPath));
  return result;
}

inline CliResult RunCliProgram(const std::vector<std::string>& args,
                               const std::vector<std::string>& extraEnvironment = {}) {
  return RunProgram(KORVANE_CLI_BINARY, args, extraEnvironment);
}
#else
// Runs `binary` with `args`; standard output and error go to files in a scratch directory, so
// no pipe can fill up. Extra environment entries ("NAME=value") are added to the parent's.
// `whileRunning`, when given, runs right after the start with the child's process id.
inline CliResult RunProgram(const std::string& binary, const std::vector<std::string>& args,
                            const std::vector<std::string>& extraEnvironment = {},
                            const std::function<void(pid_t)>& whileRunning = {}) {
  const TempDir scratch;
  const std::string outPath = (scratch / "stdout").string();
  const std::string errPath = (scratch / "stderr").string();

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outPath.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errPath.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);

  std::vector<std::string> argvStrings{binary};
  argvStrings.insert(argvStrings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& arg : argvStrings) {
    argv.push_back(arg.data());
  }
  argv.push_back(nullptr);

  std::vector<std::string> envStrings{LockFolderEntry()};
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (!std::string_view(*entry).starts_with("KORVANE_LOCK_DIR=")) {
      envStrings.emplace_back(*entry);
    }
  }
  envStrings.insert(envStrings.end(), extraEnvironment.begin(), extraEnvironment.end());
  std::vector<char*> envp;
  for (std::string& entry : envStrings) {
    envp.push_back(entry.data());
  }
  envp.push_back(nullptr);

  pid_t pid = 0;
  const int spawned =
      posix_spawn(&pid, binary.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    throw std::runtime_error("cannot start " + binary);
  }
  if (whileRunning) {
    whileRunning(pid);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
  }
  CliResult result;
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  result.out = ReadFile(outPath);
  result.err = ReadFile(errPath);
  return result;
}

// `whileRunning` runs while the program runs, with its process id (to send it signals).
inline CliResult RunCliProgram(const std::vector<std::string>& args,
                               const std::vector<std::string>& extraEnvironment = {},
                               const std::function<void(pid_t)>& whileRunning = {}) {
  return RunProgram(KORVANE_CLI_BINARY, args, extraEnvironment, whileRunning);
}
#endif

}  // namespace korvane::cli::test
