#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace korvane::image {

inline constexpr std::size_t kFlashSize = 0x8000;  // program flash, addresses 0 to 0x7FFF
inline constexpr std::size_t kEepromSize = 256;    // data EEPROM
inline constexpr std::size_t kUserIdSize = 8;      // ID locations
inline constexpr std::size_t kConfigSize = 16;     // configuration bytes
inline constexpr std::uint8_t kBlank = 0xFF;       // erased state of flash and EEPROM

// Address windows of the PIC18 file address space (inclusive bounds).
inline constexpr std::uint64_t kFlashWindowFirst = 0x000000, kFlashWindowLast = 0x01FFFF;
inline constexpr std::uint64_t kUserIdWindowFirst = 0x200000, kUserIdWindowLast = 0x200007;
inline constexpr std::uint64_t kConfigWindowFirst = 0x300000, kConfigWindowLast = 0x30000D;
inline constexpr std::uint64_t kEepromWindowFirst = 0xF00000, kEepromWindowLast = 0xF003FF;

enum class Region { Flash, Eeprom, UserId, Config };

// What became of one byte handed to Store.
enum class StoreOutcome {
  Stored,        // placed into one of the four buffers
  BeyondMemory,  // inside the flash or EEPROM window, but past the end of this device's memory
  NoWindow,      // in no window at all
};

// The in-memory copy of an update file, sorted into the four PIC18 memory regions.
// One object, owned by the application and handed to whoever needs it.
struct MemoryImage {
  std::array<std::uint8_t, kFlashSize> FlashImage{};
  std::array<std::uint8_t, kEepromSize> EepromImage{};
  std::array<std::uint8_t, kUserIdSize> UserIdImage{};
  std::array<std::uint8_t, kConfigSize> ConfigImage{};
  // Highest FlashImage index stored into by any load of this image; only ever raised.
  std::int32_t HighestFlashAddress = 0;
  // A CONFIG byte was stored by the current load.
  bool ConfigPresent = false;

  // Fills the four buffers with 0xFF and clears ConfigPresent; HighestFlashAddress is kept.
  void Clear();

  // Stores one byte by the address window it falls in.
  StoreOutcome Store(std::uint64_t address, std::uint8_t value);
};

}  // namespace korvane::image
