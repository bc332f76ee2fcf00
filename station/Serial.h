#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "image/MemoryImage.h"

// Serial numbers for a production line: one number per board from a file that several stations
// may share, written into the board's copy of the image.
namespace korvane::station {

enum class SerialFormat {
  LittleEndian,  // binary, lowest byte first
  BigEndian,     // binary, highest byte first
  Ascii,         // decimal digits, padded with zeros in front
};
std::optional<SerialFormat> ParseSerialFormat(std::string_view text);

// Where the number goes: "0x" (or "0X") and hex digits, or decimal digits. A decimal number
// with a leading zero is refused rather than read as octal. Nothing when it is not one of those
// or does not fit in 32 bits.
std::optional<std::uint32_t> ParseSerialAddress(std::string_view text);

// The first address of the EEPROM in the update file's address space.
inline constexpr auto kSerialEepromBase = static_cast<std::uint32_t>(image::kEepromWindowFirst);

struct SerialPlan {
  std::string file;  // holds the next number as decimal text
  // Or: the record database's series that hands out the numbers (the file is empty then).
  std::string series;
  // Where the number goes, in the update file's address space: program flash at or above 0x800,
  // or the EEPROM at 0xF00000 + offset.
  std::uint32_t address = 0;
  unsigned bytes = 4;
  SerialFormat format = SerialFormat::LittleEndian;
};

// Before any packet: throws StationError (usage) when the number would not be written (its
// bytes outside program flash from 0x800 to the image's highest address with flash chosen, or
// outside the EEPROM with the EEPROM chosen) or `bytes` does not suit the format (1 to 8
// binary, 1 to 20 digits); and, for a plan with a file, (file) when the file cannot be read or
// holds no number, (usage) when its number does not fit.
void CheckSerialPlan(const SerialPlan& plan, const image::MemoryImage& image, bool flash,
                     bool eeprom);

// Takes the file's number for one board: under an exclusive lock (the file's name with ".lock"
// added, so that stations sharing the file take turns), reads the number, rewrites the file
// whole with the number after it, and returns the number taken. A number taken is never handed
// out again, whatever becomes of its board. Throws StationError (file) when the file cannot be
// read or written or its number does not fit.
std::uint64_t ClaimSerial(const SerialPlan& plan);

// Whether the number fits in the plan's bytes and format.
bool SerialFits(const SerialPlan& plan, std::uint64_t number);
// "4 bytes", "1 byte", "8 digits": the room the plan gives a number.
std::string SerialSize(const SerialPlan& plan);

// Writes the number into the image at the plan's address.
void PlaceSerial(image::MemoryImage& image, const SerialPlan& plan, std::uint64_t number);
// Writes the plan's bytes as they are (as found on a device) into the image at its address.
void PlaceSerialBytes(image::MemoryImage& image, const SerialPlan& plan,
                      std::span<const std::uint8_t> bytes);
// The number the plan's bytes hold, as PlaceSerial writes it; nothing when they hold none (ASCII
// bytes that are not all digits, or digits past 64 bits).
std::optional<std::uint64_t> ReadSerial(const SerialPlan& plan,
                                        std::span<const std::uint8_t> bytes);

}  // namespace korvane::station
