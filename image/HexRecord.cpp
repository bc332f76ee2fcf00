#include "image/HexRecord.h"

#include "platform/Hex.h"

namespace korvane::image {

void AppendHexRecord(std::string& text, std::uint8_t type, std::uint16_t offset,
                     std::span<const std::uint8_t> data) {
  unsigned sum = 0;
  auto put = [&](std::uint8_t byte) {
    text += platform::HexBytes(std::span(&byte, 1));
    sum += byte;
  };
  text += ':';
  put(static_cast<std::uint8_t>(data.size()));
  put(static_cast<std::uint8_t>(offset >> 8));
  put(static_cast<std::uint8_t>(offset));
  put(type);
  for (const std::uint8_t byte : data) {
    put(byte);
  }
  put(static_cast<std::uint8_t>(-sum & 0xFFu));
  text += "\r\n";
}

}  // namespace korvane::image
