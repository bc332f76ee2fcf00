#include "cli/Output.h"

#include <array>

namespace korvane::cli {

namespace {

constexpr std::array<char, 16> kHexDigits = {'0', '1', '2', '3', '4', '5', '6', '7',
                                             '8', '9', 'A', 'B', 'C', 'D', 'E', 'F'};

// Length of the valid UTF-8 sequence starting at text[i], or 0 when it is not one.
std::size_t Utf8SequenceLength(std::string_view text, std::size_t i) {
  const auto lead = static_cast<unsigned char>(text[i]);
  std::size_t length = 0;
  std::uint32_t minimum = 0;
  std::uint32_t code = 0;
  if (lead < 0x80) {
    return 1;
  } else if ((lead & 0xE0) == 0xC0) {
    length = 2, minimum = 0x80, code = lead & 0x1F;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, minimum = 0x800, code = lead & 0x0F;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, minimum = 0x10000, code = lead & 0x07;
  } else {
    return 0;
  }
  if (i + length > text.size()) {
    return 0;
  }
  for (std::size_t k = 1; k < length; ++k) {
    const auto next = static_cast<unsigned char>(text[i + k]);
    if ((next & 0xC0) != 0x80) {
      return 0;
    }
    code = (code << 6) | (next & 0x3F);
  }
  // Overlong forms, surrogates and values past U+10FFFF are not valid UTF-8.
  if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
    return 0;
  }
  return length;
}

}  // namespace

std::string HexBytes(std::span<const std::uint8_t> bytes) {
  std::string text;
  text.reserve(bytes.size() * 3);
  for (const std::uint8_t byte : bytes) {
    if (!text.empty()) {
      text += ' ';
    }
    text += kHexDigits[byte >> 4];
    text += kHexDigits[byte & 0x0F];
  }
  return text;
}

std::string HexAddress(std::uint64_t value, int digits) {
  std::string hex;
  do {
    hex.insert(hex.begin(), kHexDigits[value & 0x0F]);
    value >>= 4;
  } while (value != 0);
  if (static_cast<int>(hex.size()) < digits) {
    hex.insert(0, static_cast<std::size_t>(digits) - hex.size(), '0');
  }
  return "0x" + hex;
}

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

std::string JsonString(std::string_view text) {
  std::string json = "\"";
  std::size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    switch (c) {
      case '"':
        json += "\\\"";
        break;
      case '\\':
        json += "\\\\";
        break;
      case '\n':
        json += "\\n";
        break;
      case '\r':
        json += "\\r";
        break;
      case '\t':
        json += "\\t";
        break;
      default:
        if (c < 0x20 || c == 0x7F) {
          json += "\\u00";
          json += kHexDigits[c >> 4];
          json += kHexDigits[c & 0x0F];
        } else if (c >= 0x80) {
          const std::size_t length = Utf8SequenceLength(text, i);
          if (length == 0) {
            json += "\\uFFFD";
            ++i;
            continue;
          }
          json.append(text.substr(i, length));
          i += length;
          continue;
        } else {
          json += static_cast<char>(c);
        }
    }
    ++i;
  }
  json += '"';
  return json;
}

void StreamLinkMessages::ShowLinkMessage(std::string_view text) {
  ++count_;
  err_ << text << '\n' << std::flush;
}

void StreamLinkMessages::ShowLibraryNotice(std::string_view text) {
  err_ << text << '\n' << std::flush;
}

void StreamLoaderHost::ShowMessage(std::string_view text) {
  // The windows' messages break lines with CR LF; a terminal wants plain LF.
  std::string line;
  line.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
      continue;
    }
    line += text[i];
  }
  err_ << line << '\n' << std::flush;
}

void TraceWriter::OnExchange(std::span<const std::uint8_t> request,
                             std::span<const std::uint8_t> reply, link::ExchangeResult result) {
  out_ << TraceLine(request, reply, result) << '\n';
}

void TraceWriter::OnNotSent(std::span<const std::uint8_t> request) {
  out_ << NotSentLine(request) << '\n';
}

}  // namespace korvane::cli
