#pragma once

// Builds small Intel HEX texts with correct checksums for the tests.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace korvane::cli::test {

inline std::string HexRecord(std::uint8_t type, std::uint16_t offset,
                             const std::vector<std::uint8_t>& data) {
  std::uint8_t sum = static_cast<std::uint8_t>(data.size()) +
                     static_cast<std::uint8_t>(offset >> 8) +
                     static_cast<std::uint8_t>(offset & 0xFF) + type;
  char field[16];
  std::snprintf(field, sizeof field, ":%02X%04X%02X", static_cast<unsigned>(data.size()),
                static_cast<unsigned>(offset), static_cast<unsigned>(type));
  std::string line = field;
  for (const std::uint8_t byte : data) {
    std::snprintf(field, sizeof field, "%02X", static_cast<unsigned>(byte));
    line += field;
    sum = static_cast<std::uint8_t>(sum + byte);
  }
  std::snprintf(field, sizeof field, "%02X", static_cast<unsigned>((0x100 - sum) & 0xFF));
  return line + field + "\r\n";
}

inline std::string LinearBase(std::uint16_t upper) {
  return HexRecord(
      4, 0, {static_cast<std::uint8_t>(upper >> 8), static_cast<std::uint8_t>(upper & 0xFF)});
}

inline std::string EndOfFile() {
  return HexRecord(1, 0, {});
}

// `count` bytes starting at `address` (inside one 64 KiB page), 16 bytes per record, byte i
// holding value(address + i).
template <typename Value>
std::string DataRecords(std::uint32_t address, std::size_t count, Value value) {
  std::string text = LinearBase(static_cast<std::uint16_t>(address >> 16));
  for (std::size_t done = 0; done < count;) {
    const std::size_t n = std::min<std::size_t>(16, count - done);
    std::vector<std::uint8_t> bytes;
    for (std::size_t k = 0; k < n; ++k) {
      bytes.push_back(value(static_cast<std::uint32_t>(address + done + k)));
    }
    text += HexRecord(0, static_cast<std::uint16_t>((address + done) & 0xFFFF), bytes);
    done += n;
  }
  return text;
}

// A small firmware: program bytes from 0x800 to `lastFlash` and, when asked, the whole EEPROM.
// Byte values follow `seed`, so that two files differ.
inline std::string FirmwareHex(std::uint32_t lastFlash, bool eeprom, int seed = 1) {
  const auto offset = static_cast<std::uint32_t>(seed);
  std::string text = DataRecords(0x800, lastFlash - 0x800 + 1, [offset](std::uint32_t a) {
    return static_cast<std::uint8_t>(a * 3 + offset);
  });
  if (eeprom) {
    text += DataRecords(0xF00000, 256, [offset](std::uint32_t a) {
      return static_cast<std::uint8_t>(a - 0xF00000 + offset);
    });
  }
  return text + EndOfFile();
}

}  // namespace korvane::cli::test
