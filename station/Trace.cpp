#include "station/Trace.h"

#include "platform/Hex.h"

namespace korvane::station {

using platform::HexBytes;

std::string TraceLine(std::span<const std::uint8_t> request, std::span<const std::uint8_t> reply,
                      link::ExchangeResult result) {
  std::string line = HexBytes(request) + " ->";
  if (!reply.empty()) {
    line += ' ';
    line += HexBytes(reply);
  }
  line += " [" + std::to_string(static_cast<std::int32_t>(result)) + "]";
  return line;
}

std::string NotSentLine(std::span<const std::uint8_t> request) {
  return HexBytes(request) + " -> not sent";
}

namespace {

bool IsHexByte(std::string_view text) {
  const auto digit = [](char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); };
  return text.size() == 2 && digit(text[0]) && digit(text[1]);
}

// "03 01 00 08 00": at least one byte.
bool IsHexBytes(std::string_view text) {
  if (text.empty()) {
    return false;
  }
  for (std::size_t at = 0;; at += 3) {
    if (!IsHexByte(text.substr(at, 2))) {
      return false;
    }
    if (at + 2 == text.size()) {
      return true;
    }
    if (text[at + 2] != ' ') {
      return false;
    }
  }
}

bool IsTraceLine(std::string_view line) {
  const std::size_t arrow = line.find(" -> ");
  if (arrow == std::string_view::npos || !IsHexBytes(line.substr(0, arrow))) {
    return false;
  }
  std::string_view rest = line.substr(arrow + 4);
  if (rest == "not sent") {
    return true;
  }
  if (rest.size() < 3 || rest.substr(rest.size() - 3, 1) != "[" || rest.back() != ']' ||
      rest[rest.size() - 2] < '0' || rest[rest.size() - 2] > '2') {
    return false;
  }
  rest.remove_suffix(3);
  return rest.empty() || (rest.back() == ' ' && IsHexBytes(rest.substr(0, rest.size() - 1)));
}

}  // namespace

bool IsTraceText(std::string_view text) {
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    if (end == std::string_view::npos || !IsTraceLine(text.substr(0, end))) {
      return false;
    }
    text.remove_prefix(end + 1);
  }
  return true;
}

void TraceWriter::OnExchange(std::span<const std::uint8_t> request,
                             std::span<const std::uint8_t> reply, link::ExchangeResult result) {
  out_ << TraceLine(request, reply, result) << '\n';
}

void TraceWriter::OnNotSent(std::span<const std::uint8_t> request) {
  out_ << NotSentLine(request) << '\n';
}

}  // namespace korvane::station
