#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <vector>

namespace korvane::emulator {

inline constexpr std::size_t kDeviceFlashSize = 0x8000;  // 32 KiB of program flash
inline constexpr std::size_t kDeviceEepromSize = 256;
inline constexpr std::uint32_t kBootBlockEnd = 0x800;  // 0x000-0x7FF hold the bootloader

// The resident USB bootloader of a PIC18 with 32 KiB of program flash and 256 bytes of data
// EEPROM, at the level of packets: one request in, at most one reply out. Flash behaves like
// flash: an erase sets 64-byte blocks to 0xFF, a write turns each byte into old AND new.
class BootloaderDevice {
 public:
  BootloaderDevice();

  // Carries out one request. Returns the reply bytes, or nothing for a request that gets no
  // reply (the reset). A reset makes the device leave the bootloader (see InBootloader).
  std::optional<std::vector<std::uint8_t>> Handle(std::span<const std::uint8_t> request);

  // Version reported by VersionQuery: reply byte 3 is `major`, byte 2 is `minor`
  // (two 4-bit digits, high nibble first).
  void SetVersion(std::uint8_t major, std::uint8_t minor);

  // False after a reset until the device is plugged in again (ReturnToBootloader).
  bool InBootloader() const { return inBootloader_; }
  void ReturnToBootloader() { inBootloader_ = true; }

  std::span<const std::uint8_t> Flash() const { return flash_; }
  std::span<const std::uint8_t> Eeprom() const { return eeprom_; }
  // Direct access for set-up (tests, demo): bypasses the flash rules and the boot-block guard.
  std::span<std::uint8_t> MutableFlash() { return flash_; }
  std::span<std::uint8_t> MutableEeprom() { return eeprom_; }

  // Commands that tried to erase or write inside the boot block; none of them changed it.
  std::uint32_t BootBlockWriteAttempts() const { return bootBlockAttempts_; }

  // The boot block's fixed content and the earlier firmware the application area starts with.
  static std::uint8_t BootBlockPattern(std::uint32_t address);
  static std::uint8_t EarlierFirmwarePattern(std::uint32_t address);

  // Memory as files: flash.bin (32768 bytes) and eeprom.bin (256 bytes) in `dir`.
  // Load reads whichever of the two exists; a file of the wrong size is an error.
  void SaveState(const std::filesystem::path& dir) const;
  void LoadState(const std::filesystem::path& dir);

 private:
  std::array<std::uint8_t, kDeviceFlashSize> flash_{};
  std::array<std::uint8_t, kDeviceEepromSize> eeprom_{};
  std::uint8_t versionMajor_ = 1;
  std::uint8_t versionMinor_ = 0x12;
  bool inBootloader_ = true;
  std::uint32_t bootBlockAttempts_ = 0;
};

}  // namespace korvane::emulator
