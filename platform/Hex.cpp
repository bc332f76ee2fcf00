#include "platform/Hex.h"

namespace korvane::platform {

namespace {

constexpr char kDigits[] = "0123456789ABCDEF";

}  // namespace

std::string HexNumber(std::uint64_t value, int digits) {
  std::string hex;
  do {
    hex.insert(hex.begin(), kDigits[value & 0x0F]);
    value >>= 4;
  } while (value != 0);
  if (static_cast<int>(hex.size()) < digits) {
    hex.insert(0, static_cast<std::size_t>(digits) - hex.size(), '0');
  }
  return "0x" + hex;
}

std::string HexBytes(std::span<const std::uint8_t> bytes, std::string_view separator) {
  std::string text;
  text.reserve(bytes.size() * (2 + separator.size()));
  for (const std::uint8_t byte : bytes) {
    if (!text.empty()) {
      text += separator;
    }
    text += kDigits[byte >> 4];
    text += kDigits[byte & 0x0F];
  }
  return text;
}

}  // namespace korvane::platform
