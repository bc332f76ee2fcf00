#include "link/UsbIdentity.h"

#include <algorithm>
#include <cctype>
#include <charconv>

namespace korvane::link {

namespace {

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

std::optional<std::uint16_t> ParseHex4(std::string_view text) {
  if (text.size() != 4) {
    return std::nullopt;
  }
  std::uint16_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
  if (error != std::errc{} || end != text.data() + text.size()) {
    return std::nullopt;
  }
  return value;
}

}  // namespace

std::optional<UsbIdentity> ParseUsbIdentity(std::string_view identity) {
  // "vid_XXXX&pid_XXXX": 17 characters, hexadecimal digits in any case.
  if (identity.size() != 17 || !EqualsIgnoringCase(identity.substr(0, 4), "vid_") ||
      !EqualsIgnoringCase(identity.substr(8, 5), "&pid_")) {
    return std::nullopt;
  }
  const auto vendor = ParseHex4(identity.substr(4, 4));
  const auto product = ParseHex4(identity.substr(13, 4));
  if (!vendor || !product) {
    return std::nullopt;
  }
  return UsbIdentity{*vendor, *product};
}

std::optional<std::uint8_t> ParsePipeEndpoint(std::string_view pipeName) {
  constexpr std::string_view prefix = "\\MCHP_EP";
  if (pipeName.size() <= prefix.size() || pipeName.size() > prefix.size() + 2 ||
      !EqualsIgnoringCase(pipeName.substr(0, prefix.size()), prefix)) {
    return std::nullopt;
  }
  const std::string_view digits = pipeName.substr(prefix.size());
  unsigned number = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
  if (error != std::errc{} || end != digits.data() + digits.size() || number > 15) {
    return std::nullopt;
  }
  return static_cast<std::uint8_t>(number);
}

}  // namespace korvane::link
