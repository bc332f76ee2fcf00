#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace korvane::image {

// Appends one Intel HEX record line (with its checksum and CR LF) to `text`:
// ":" count, offset, type, data, checksum, all as two upper-case hex digits per byte.
void AppendHexRecord(std::string& text, std::uint8_t type, std::uint16_t offset,
                     std::span<const std::uint8_t> data);

}  // namespace korvane::image
