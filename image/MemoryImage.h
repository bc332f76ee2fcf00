#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace korvane::image {

inline constexpr std::size_t kFlashSize = 0x8000;  // program flash, addresses 0 to 0x7FFF
inline constexpr std::int32_t kFlashLast = static_cast<std::int32_t>(kFlashSize) - 1;
// Program flash below 0x800 is the bootloader's boot block: Korvane never erases, writes or
// reads it; the application area starts here.
inline constexpr std::int32_t kApplicationStart = 0x800;
inline constexpr std::size_t kEepromSize = 256;  // data EEPROM
inline constexpr std::size_t kUserIdSize = 8;    // ID locations
inline constexpr std::size_t kConfigSize = 16;   // configuration bytes
inline constexpr std::uint8_t kBlank = 0xFF;     // erased state of flash and EEPROM

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

// Where a byte at a file address belongs. region and index are meaningful only when Stored.
struct Placement {
  StoreOutcome outcome = StoreOutcome::NoWindow;
  Region region = Region::Flash;
  std::size_t index = 0;
};

// Sorts a file address into its window. Bytes 14 and 15 of the CONFIG buffer have no address.
constexpr Placement Locate(std::uint64_t address) noexcept {
  if (address <= kFlashWindowLast) {
    if (address < kFlashSize)
      return {StoreOutcome::Stored, Region::Flash, static_cast<std::size_t>(address)};
    return {StoreOutcome::BeyondMemory, Region::Flash, 0};
  }
  if (address >= kUserIdWindowFirst && address <= kUserIdWindowLast)
    return {StoreOutcome::Stored, Region::UserId,
            static_cast<std::size_t>(address - kUserIdWindowFirst)};
  if (address >= kConfigWindowFirst && address <= kConfigWindowLast)
    return {StoreOutcome::Stored, Region::Config,
            static_cast<std::size_t>(address - kConfigWindowFirst)};
  if (address >= kEepromWindowFirst && address <= kEepromWindowLast) {
    if (address - kEepromWindowFirst < kEepromSize)
      return {StoreOutcome::Stored, Region::Eeprom,
              static_cast<std::size_t>(address - kEepromWindowFirst)};
    return {StoreOutcome::BeyondMemory, Region::Eeprom, 0};
  }
  return {};
}

// The file address of the first byte of a region's buffer.
constexpr std::uint64_t RegionBase(Region region) noexcept {
  switch (region) {
    case Region::Flash:
      return kFlashWindowFirst;
    case Region::Eeprom:
      return kEepromWindowFirst;
    case Region::UserId:
      return kUserIdWindowFirst;
    case Region::Config:
      return kConfigWindowFirst;
  }
  return 0;
}

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

  // Stores one byte like Store and tells where it went.
  Placement Put(std::uint64_t address, std::uint8_t value);
};

}  // namespace korvane::image
