#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

// Numbers and bytes as upper-case hex, the one way Korvane writes them: in messages, traces,
// reasons and Intel HEX records.
namespace korvane::platform {

// "0x0840": "0x" and at least `digits` hex digits (more when the value needs them).
std::string HexNumber(std::uint64_t value, int digits = 1);

// Two hex digits per byte, `separator` between them: "03 01 00 08 00".
std::string HexBytes(std::span<const std::uint8_t> bytes, std::string_view separator = " ");

}  // namespace korvane::platform
