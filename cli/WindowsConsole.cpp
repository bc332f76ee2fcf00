#include "cli/WindowsConsole.h"

#include <algorithm>
#include <ostream>
#include <utility>

#include "cli/CliApp.h"
#include "platform/Files.h"

namespace korvane::cli {

namespace {

// WriteConsoleW takes at most this many characters at once on older Windows versions.
constexpr std::size_t kConsoleChunk = 8192;

// The length of `text` without a UTF-8 sequence that is cut off at its end.
std::size_t CompleteUtf8Length(const std::string& text) {
  const std::size_t size = text.size();
  for (std::size_t back = 1; back <= std::min<std::size_t>(4, size); ++back) {
    const auto byte = static_cast<unsigned char>(text[size - back]);
    if ((byte & 0xC0) == 0x80) {
      continue;  // a continuation byte: its lead byte is further back
    }
    const std::size_t length = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC0 ? 2 : 1;
    return length > back ? size - back : size;
  }
  return size;
}

bool WriteBytes(HANDLE handle, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    DWORD written = 0;
    const auto chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1 << 20));
    if (!WriteFile(handle, bytes.data() + done, chunk, &written, nullptr) || written == 0) {
      return false;
    }
    done += written;
  }
  return true;
}

bool WriteConsoleText(HANDLE handle, const std::wstring& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    DWORD written = 0;
    const auto chunk = static_cast<DWORD>(std::min(text.size() - done, kConsoleChunk));
    if (!WriteConsoleW(handle, text.data() + done, chunk, &written, nullptr) || written == 0) {
      return false;
    }
    done += written;
  }
  return true;
}

}  // namespace

std::vector<std::string> Utf8Arguments(int argc, const wchar_t* const* argv) {
  std::vector<std::string> arguments;
  for (int i = 0; i < argc; ++i) {
    arguments.push_back(platform::Utf8FromWide(argv[i]));
  }
  return arguments;
}

bool IsConsole(HANDLE handle) {
  DWORD mode = 0;
  return handle != nullptr && handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode) != 0;
}

HandleOutput::HandleOutput(HANDLE handle) : handle_(handle), console_(IsConsole(handle)) {
  setp(buffer_, buffer_ + sizeof buffer_);
}

HandleOutput::~HandleOutput() {
  Flush(true);
}

HandleOutput::int_type HandleOutput::overflow(int_type c) {
  if (!Flush()) {
    return traits_type::eof();
  }
  if (!traits_type::eq_int_type(c, traits_type::eof())) {
    *pptr() = traits_type::to_char_type(c);
    pbump(1);
  }
  return traits_type::not_eof(c);
}

int HandleOutput::sync() {
  return Flush() ? 0 : -1;
}

bool HandleOutput::Flush(bool last) {
  std::string text = std::exchange(carried_, {});
  text.append(pbase(), pptr());
  setp(buffer_, buffer_ + sizeof buffer_);
  if (text.empty()) {
    return true;
  }
  if (console_) {
    // At the end, a sequence never completed shows as the replacement character.
    const std::size_t complete = last ? text.size() : CompleteUtf8Length(text);
    carried_ = text.substr(complete);
    text.resize(complete);
    return WriteConsoleText(handle_, platform::WideFromUtf8(text));
  }
  std::string lines;
  lines.reserve(text.size() + text.size() / 16);
  for (const char c : text) {
    if (c == '\n') {
      lines += '\r';
    }
    lines += c;
  }
  return WriteBytes(handle_, lines);
}

int RunCliOnWindows(int argc, const wchar_t* const* argv) {
  const std::vector<std::string> arguments = Utf8Arguments(argc, argv);
  std::vector<const char*> pointers;
  for (const std::string& argument : arguments) {
    pointers.push_back(argument.c_str());
  }
  pointers.push_back(nullptr);

  const HANDLE outHandle = GetStdHandle(STD_OUTPUT_HANDLE);
  HandleOutput outBuffer(outHandle);
  HandleOutput errBuffer(GetStdHandle(STD_ERROR_HANDLE));
  std::ostream out(&outBuffer);
  std::ostream err(&errBuffer);
  // Error lines, and anything meant for a person at a console, show at once.
  err.setf(std::ios::unitbuf);
  const bool terminal = IsConsole(outHandle);
  if (terminal) {
    out.setf(std::ios::unitbuf);
  }
  const int code = RunCli(argc, pointers.data(), out, err, terminal);
  out.flush();
  err.flush();
  return code;
}

}  // namespace korvane::cli
