#include "emulator/BootloaderDevice.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

#include "link/BootloaderPacket.h"
#include "platform/Files.h"

namespace korvane::emulator {
namespace {

using link::Command;
using link::kAddressHighByte;
using link::kAddressLowByte;
using link::kAddressUpperByte;
using link::kCommandByte;
using link::kDataByte;
using link::kLengthByte;

constexpr std::size_t kHeaderSize = kDataByte;  // command, count, three address bytes

std::uint32_t RequestAddress(std::span<const std::uint8_t> request) {
  return static_cast<std::uint32_t>(request[kAddressLowByte]) |
         static_cast<std::uint32_t>(request[kAddressHighByte]) << 8 |
         static_cast<std::uint32_t>(request[kAddressUpperByte]) << 16;
}

void Answer(DeviceReply& reply, std::initializer_list<std::uint8_t> bytes) {
  std::copy(bytes.begin(), bytes.end(), reply.bytes.begin());
  reply.size = bytes.size();
  reply.present = true;
}

// Reads a whole file that must be exactly `size` bytes long.
template <std::size_t N>
std::array<std::uint8_t, N> ReadExactly(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    throw std::runtime_error("cannot open " + platform::Utf8FromPath(file));
  }
  std::array<std::uint8_t, N> data{};
  in.read(reinterpret_cast<char*>(data.data()), static_cast<std::streamsize>(N));
  const bool full = in.gcount() == static_cast<std::streamsize>(N);
  const bool atEnd = in.peek() == std::ifstream::traits_type::eof();
  if (!full || !atEnd) {
    throw std::runtime_error(file.string() + " is not " + std::to_string(N) + " bytes long");
  }
  return data;
}

// The memory is written whole or not at all: a full disk leaves the last saved state.
void WriteAll(const std::filesystem::path& file, std::span<const std::uint8_t> data) {
  platform::WriteFileAtomically(
      platform::Utf8FromPath(file),
      std::string_view(reinterpret_cast<const char*>(data.data()), data.size()),
      platform::Replace::Allowed);
}

}  // namespace

BootloaderDevice::BootloaderDevice() {
  for (std::uint32_t a = 0; a < kDeviceFlashSize; ++a) {
    flash_[a] = a < kBootBlockEnd ? BootBlockPattern(a) : EarlierFirmwarePattern(a);
  }
  for (std::uint32_t o = 0; o < kDeviceEepromSize; ++o) {
    eeprom_[o] = EarlierEepromPattern(o);
  }
}

std::uint8_t BootloaderDevice::BootBlockPattern(std::uint32_t address) {
  // Looks like code and never reads as erased: the top bit is always clear.
  return static_cast<std::uint8_t>((address * 37u + (address >> 7) + 0x12u) & 0x7Fu);
}

std::uint8_t BootloaderDevice::EarlierFirmwarePattern(std::uint32_t address) {
  // 0x80 to 0xBF, different from block to block: never erased, and writing a new image over it
  // without an erase leaves a visible AND of the two.
  return static_cast<std::uint8_t>(0xA5u ^ ((address + (address >> 6)) & 0x3Fu));
}

std::uint8_t BootloaderDevice::EarlierEepromPattern(std::uint32_t offset) {
  return static_cast<std::uint8_t>(0x40u + (offset % 0x40u));
}

void BootloaderDevice::SetVersion(std::uint8_t major, std::uint8_t minor) {
  versionMajor_ = major;
  versionMinor_ = minor;
}

std::optional<std::vector<std::uint8_t>> BootloaderDevice::Handle(
    std::span<const std::uint8_t> request) {
  DeviceReply reply;
  Handle(request, reply);
  if (!reply.present) {
    return std::nullopt;
  }
  const auto bytes = reply.View();
  return std::vector<std::uint8_t>(bytes.begin(), bytes.end());
}

void BootloaderDevice::Handle(std::span<const std::uint8_t> request, DeviceReply& reply) {
  reply.size = 0;
  reply.present = false;
  if (!inBootloader_ || request.empty()) {
    return;
  }
  const auto command = static_cast<Command>(request[kCommandByte]);
  // Every command but the two short ones needs its five header bytes; a write also needs the
  // data bytes its count announces. A request that falls short gets no answer.
  const bool addressed = command != Command::VersionQuery && command != Command::DeviceReset;
  if (addressed && request.size() < kHeaderSize) {
    return;
  }
  const bool writes = command == Command::FlashWrite || command == Command::EepromWrite;
  if (writes && request.size() < kHeaderSize + request[kLengthByte]) {
    return;
  }
  switch (command) {
    case Command::VersionQuery:
      Answer(reply, {request[kCommandByte], 2, versionMinor_, versionMajor_});
      return;
    case Command::FlashRead:
      Read(flash_, request, reply);
      return;
    case Command::EepromRead:
      Read(eeprom_, request, reply);
      return;
    case Command::FlashErase:
      EraseFlash(RequestAddress(request), request[kLengthByte]);
      Answer(reply, {request[kCommandByte]});
      return;
    case Command::FlashWrite:
      WriteFlash(RequestAddress(request), request.subspan(kHeaderSize, request[kLengthByte]));
      Answer(reply, {request[kCommandByte]});
      return;
    case Command::EepromWrite:
      WriteEeprom(RequestAddress(request), request.subspan(kHeaderSize, request[kLengthByte]));
      Answer(reply, {request[kCommandByte]});
      return;
    case Command::DeviceReset:
      inBootloader_ = false;
      return;
  }
  // Any other code: the bootloader ignores it and sends nothing.
}

void BootloaderDevice::Read(std::span<const std::uint8_t> memory,
                            std::span<const std::uint8_t> request, DeviceReply& reply) const {
  const std::uint32_t address = RequestAddress(request);
  const std::size_t count = std::min<std::size_t>(request[kLengthByte], kMaxReadData);
  std::copy_n(request.begin(), kHeaderSize, reply.bytes.begin());
  reply.bytes[kLengthByte] = static_cast<std::uint8_t>(count);
  // Like the chip's table reads, addresses past the implemented memory read as 0x00, so a
  // block that runs past the end still answers with the count it was asked for.
  for (std::size_t k = 0; k < count; ++k) {
    const std::size_t at = static_cast<std::size_t>(address) + k;
    reply.bytes[kHeaderSize + k] = at < memory.size() ? memory[at] : std::uint8_t{0x00};
  }
  reply.size = kHeaderSize + count;
  reply.present = true;
}

void BootloaderDevice::EraseFlash(std::uint32_t address, std::uint32_t blocks) {
  ++erasesAndWrites_;
  const std::uint32_t first = address & ~(kEraseBlockSize - 1);
  bool touchedBootBlock = false;
  for (std::uint32_t b = 0; b < blocks; ++b) {
    const std::uint32_t start = first + b * kEraseBlockSize;
    if (start >= kDeviceFlashSize) {
      break;
    }
    if (start < kBootBlockEnd) {
      touchedBootBlock = true;
      continue;
    }
    std::fill_n(flash_.begin() + start, kEraseBlockSize, std::uint8_t{0xFF});
  }
  if (touchedBootBlock) {
    ++bootBlockAttempts_;
  }
}

void BootloaderDevice::WriteFlash(std::uint32_t address, std::span<const std::uint8_t> data) {
  ++erasesAndWrites_;
  bool touchedBootBlock = false;
  for (std::size_t i = 0; i < data.size(); ++i) {
    const std::size_t at = address + i;
    if (at >= kDeviceFlashSize) {
      break;
    }
    if (at < kBootBlockEnd) {
      touchedBootBlock = true;
      continue;
    }
    // Programming can only clear bits; only an erase sets them again.
    flash_[at] &= data[i];
  }
  if (touchedBootBlock) {
    ++bootBlockAttempts_;
  }
}

void BootloaderDevice::WriteEeprom(std::uint32_t offset, std::span<const std::uint8_t> data) {
  ++erasesAndWrites_;
  for (std::size_t i = 0; i < data.size() && offset + i < kDeviceEepromSize; ++i) {
    eeprom_[offset + i] = data[i];
  }
}

void BootloaderDevice::SaveState(const std::filesystem::path& dir) const {
  std::error_code error;
  std::filesystem::create_directories(dir, error);
  if (error) {
    throw std::runtime_error("cannot create " + dir.string() + ": " + error.message());
  }
  WriteAll(dir / "flash.bin", flash_);
  WriteAll(dir / "eeprom.bin", eeprom_);
}

void BootloaderDevice::LoadState(const std::filesystem::path& dir) {
  const auto flashFile = dir / "flash.bin";
  const auto eepromFile = dir / "eeprom.bin";
  // Both files are checked before either is taken, so a bad one changes nothing.
  std::optional<std::array<std::uint8_t, kDeviceFlashSize>> flash;
  std::optional<std::array<std::uint8_t, kDeviceEepromSize>> eeprom;
  if (std::filesystem::exists(flashFile)) {
    flash = ReadExactly<kDeviceFlashSize>(flashFile);
  }
  if (std::filesystem::exists(eepromFile)) {
    eeprom = ReadExactly<kDeviceEepromSize>(eepromFile);
  }
  if (flash) {
    std::copy(flash->begin() + kBootBlockEnd, flash->end(), flash_.begin() + kBootBlockEnd);
  }
  if (eeprom) {
    eeprom_ = *eeprom;
  }
}

}  // namespace korvane::emulator
