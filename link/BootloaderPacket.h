#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

namespace korvane::link {

// Command codes of the resident USB bootloader.
enum class Command : std::uint8_t {
  VersionQuery = 0x00,
  FlashRead = 0x01,
  FlashWrite = 0x02,
  FlashErase = 0x03,
  EepromRead = 0x04,
  EepromWrite = 0x05,
  DeviceReset = 0xFF,
};

// Byte positions of a packet; requests and replies share the layout.
inline constexpr std::size_t kCommandByte = 0;
inline constexpr std::size_t kLengthByte = 1;
inline constexpr std::size_t kAddressLowByte = 2;
inline constexpr std::size_t kAddressHighByte = 3;
inline constexpr std::size_t kAddressUpperByte = 4;
inline constexpr std::size_t kDataByte = 5;

// Every handler that talks to the device owns one request and one reply buffer of 65 bytes.
inline constexpr std::size_t kPacketBufferSize = 65;
using PacketBuffer = std::array<std::uint8_t, kPacketBufferSize>;

inline constexpr std::uint8_t kFlashReadBlock = 56;   // bytes per FlashRead
inline constexpr std::uint8_t kWriteChunk = 16;       // bytes per FlashWrite and EepromWrite
inline constexpr std::uint8_t kEepromReadBlock = 32;  // bytes per EepromRead
inline constexpr std::int32_t kFlashEraseBlock = 64;  // bytes cleared by one FlashErase

// Request lengths and expected reply lengths.
inline constexpr std::int32_t kShortRequestLength = 2;  // VersionQuery, DeviceReset
inline constexpr std::int32_t kAddressedRequestLength = 5;
inline constexpr std::int32_t kWriteRequestLength = 5 + kWriteChunk;  // 21
inline constexpr std::int32_t kVersionReplyLength = 4;
inline constexpr std::int32_t kFlashReadReplyLength = 5 + kFlashReadBlock;    // 61
inline constexpr std::int32_t kEepromReadReplyLength = 5 + kEepromReadBlock;  // 37
inline constexpr std::int32_t kAckReplyLength = 1;                            // erase and write
inline constexpr std::int32_t kResetReplyLength = 0;

struct AddressBytes {
  std::uint8_t low = 0;
  std::uint8_t high = 0;
  std::uint8_t upper = 0;
};

// Bits 0-7, 8-15 and 16-23 of a 24-bit target address, least significant first.
AddressBytes SplitAddress(std::int32_t address);

// Request builders: each writes only the bytes its request sets and returns requestLength.
std::int32_t BuildVersionQuery(PacketBuffer& request);
std::int32_t BuildDeviceReset(PacketBuffer& request);
std::int32_t BuildFlashErase(PacketBuffer& request, std::int32_t address);
std::int32_t BuildFlashRead(PacketBuffer& request, std::int32_t address);
std::int32_t BuildEepromRead(PacketBuffer& request, std::int32_t offset);
// Writes carry 16 data bytes taken from `data`.
std::int32_t BuildFlashWrite(PacketBuffer& request, std::int32_t address,
                             std::span<const std::uint8_t, kWriteChunk> data);
std::int32_t BuildEepromWrite(PacketBuffer& request, std::int32_t offset,
                              std::span<const std::uint8_t, kWriteChunk> data);

// The 24-bit address in bytes 2 to 4 of a packet.
std::int32_t PacketAddress(const PacketBuffer& packet);
// True when a reply names the request's command and address in bytes 0 and 2 to 4, as the
// device's read replies do: a reply that names another one answers another request.
bool EchoesRequest(const PacketBuffer& request, const PacketBuffer& reply);

}  // namespace korvane::link
