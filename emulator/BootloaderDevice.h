#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <vector>

#include "image/MemoryImage.h"
#include "link/BootloaderPacket.h"

namespace korvane::emulator {

// The device's memory as the memory image and the packets describe it.
inline constexpr std::size_t kDeviceFlashSize = image::kFlashSize;  // 32 KiB of program flash
inline constexpr std::size_t kDeviceEepromSize = image::kEepromSize;
inline constexpr auto kBootBlockEnd = static_cast<std::uint32_t>(image::kApplicationStart);
inline constexpr auto kEraseBlockSize = static_cast<std::uint32_t>(link::kFlashEraseBlock);
// One full-speed packet: a reply never carries more than 64 bytes, so a read answers at most
// 59 data bytes after its 5 header bytes.
inline constexpr std::size_t kMaxPacketSize = 64;
inline constexpr std::size_t kMaxReadData = kMaxPacketSize - 5;

// A reply without allocation: `size` bytes of `bytes`; `present` is false for no reply.
struct DeviceReply {
  std::array<std::uint8_t, kMaxPacketSize> bytes{};
  std::size_t size = 0;
  bool present = false;
  std::span<const std::uint8_t> View() const { return std::span(bytes).first(size); }
};

// The resident USB bootloader of a PIC18 with 32 KiB of program flash and 256 bytes of data
// EEPROM, at the level of packets: one request in, at most one reply out. Flash behaves like
// flash: an erase sets 64-byte blocks to 0xFF, a write turns each byte into old AND new.
class BootloaderDevice {
 public:
  BootloaderDevice();

  // Carries out one request. Returns the reply bytes, or nothing for a request that gets no
  // reply (the reset). A reset makes the device leave the bootloader (see InBootloader).
  //
  // Replies: erase and write echo the command (1 byte); FlashRead and EepromRead answer
  // command, count n, the three address bytes, then n data bytes, where n is the count asked
  // for, cut at 59 (one 64-byte packet); addresses past the end of the memory read as 0x00, so
  // a block that runs past the end keeps its full count. VersionQuery answers command, 2,
  // minor, major. No reply comes for the reset, for an unknown command, for a request shorter
  // than its command needs, or while the device is out of its bootloader.
  std::optional<std::vector<std::uint8_t>> Handle(std::span<const std::uint8_t> request);
  // The same without allocating: fills `reply`.
  void Handle(std::span<const std::uint8_t> request, DeviceReply& reply);

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
  // Erase, flash write and EEPROM write commands carried out so far.
  std::uint32_t ErasesAndWrites() const { return erasesAndWrites_; }

  // The boot block's fixed content and the earlier firmware the application area starts with.
  static std::uint8_t BootBlockPattern(std::uint32_t address);
  static std::uint8_t EarlierFirmwarePattern(std::uint32_t address);
  // What the data EEPROM holds before the first update.
  static std::uint8_t EarlierEepromPattern(std::uint32_t offset);

  // Memory as files: flash.bin (32768 bytes) and eeprom.bin (256 bytes) in `dir` (created when
  // missing). Load reads whichever of the two exists; a file of the wrong size is an error.
  // Both throw std::runtime_error naming the file; a failed load leaves the memory unchanged.
  // The boot block stays the resident bootloader: what flash.bin holds below 0x800 is ignored.
  void SaveState(const std::filesystem::path& dir) const;
  void LoadState(const std::filesystem::path& dir);

 private:
  std::array<std::uint8_t, kDeviceFlashSize> flash_{};
  std::array<std::uint8_t, kDeviceEepromSize> eeprom_{};
  std::uint8_t versionMajor_ = 1;
  std::uint8_t versionMinor_ = 0x12;
  bool inBootloader_ = true;
  std::uint32_t bootBlockAttempts_ = 0;
  std::uint32_t erasesAndWrites_ = 0;

  void Read(std::span<const std::uint8_t> memory, std::span<const std::uint8_t> request,
            DeviceReply& reply) const;
  void EraseFlash(std::uint32_t address, std::uint32_t blocks);
  void WriteFlash(std::uint32_t address, std::span<const std::uint8_t> data);
  void WriteEeprom(std::uint32_t offset, std::span<const std::uint8_t> data);
};

}  // namespace korvane::emulator
