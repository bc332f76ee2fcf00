#pragma once

// Runs the built korvane-cli as a child process and captures what it printed and its exit code.

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

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
    std::string pattern = (std::filesystem::temp_directory_path() / "korvane-cli-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
      throw std::runtime_error("mkdtemp failed");
    }
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& Path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

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

  std::vector<std::string> envStrings;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    envStrings.emplace_back(*entry);
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

inline CliResult RunCliProgram(const std::vector<std::string>& args,
                               const std::vector<std::string>& extraEnvironment = {},
                               const std::function<void(pid_t)>& whileRunning = {}) {
  return RunProgram(KORVANE_CLI_BINARY, args, extraEnvironment, whileRunning);
}

}  // namespace korvane::cli::test
