#pragma once

#include <windows.h>

#include <streambuf>
#include <string>
#include <vector>

// korvane-cli on Windows: its arguments and its output in UTF-8, whatever the ANSI and console
// code pages are, so that a file name such as "C:\Users\Jörg\Прошивка\固件.hex" is taken and
// shown as typed.
namespace korvane::cli {

// The arguments of wmain as UTF-8 texts.
std::vector<std::string> Utf8Arguments(int argc, const wchar_t* const* argv);

// True when `handle` is a console window, not a file, a pipe or NUL.
bool IsConsole(HANDLE handle);

// Output to a standard handle. UTF-8 text goes to a console as UTF-16 through WriteConsoleW; to a
// file or a pipe it goes byte for byte, lines ended with CR LF as Windows programs end them.
class HandleOutput final : public std::streambuf {
 public:
  explicit HandleOutput(HANDLE handle);
  HandleOutput(const HandleOutput&) = delete;
  HandleOutput& operator=(const HandleOutput&) = delete;
  ~HandleOutput() override;

 protected:
  int_type overflow(int_type c) override;
  int sync() override;

 private:
  // Writes what is buffered; a UTF-8 sequence cut off at the end waits for its rest unless
  // this is the `last` write.
  bool Flush(bool last = false);

  HANDLE handle_;
  bool console_;
  char buffer_[4096];
  std::string carried_;  // the start of a UTF-8 sequence whose rest is still to come
};

// Runs korvane-cli with the arguments of wmain, its output on the standard handles.
int RunCliOnWindows(int argc, const wchar_t* const* argv);

}  // namespace korvane::cli
