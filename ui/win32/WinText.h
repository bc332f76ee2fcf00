#pragma once

#include <string>
#include <string_view>

#include "platform/Files.h"

// UTF-8 texts of the application layer to and from the wide-character Windows API, under the
// short names the front end uses; the conversion itself is the platform's.
namespace korvane::win32 {

inline std::wstring Wide(std::string_view text) {
  return platform::WideFromUtf8(text);
}

inline std::string Utf8(std::wstring_view text) {
  return platform::Utf8FromWide(text);
}

}  // namespace korvane::win32
