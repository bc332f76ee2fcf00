#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// What appending a record means, on whatever each platform's appender is: a file opened for
// appending under its lock, which writes at the end and syncs (Write), cuts the file back to
// where it ended when opened (CutBack), and is closed with its errors checked (Close).
namespace korvane::platform::detail {

// Appends `text` so that it starts a line of its own: a file that ends in a torn line (a crash,
// another program) gets a line feed first, and the torn line stays as it was.
template <typename Appender>
void AppendLines(Appender& file, std::string_view text) {
  if (file.EndsMidLine()) {
    std::string whole = "\n";
    whole.append(text);
    file.Write(whole);
  } else {
    file.Write(text);
  }
  file.Close();
}

// Proves that `bytes` more fit (space, quota, size limit), then gives them back.
template <typename Appender>
void ReserveLines(Appender& file, std::size_t bytes) {
  file.Write(std::string(bytes, '\n'));
  file.CutBack();
  file.Close();
}

}  // namespace korvane::platform::detail
