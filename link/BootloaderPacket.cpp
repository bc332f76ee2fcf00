#include "link/BootloaderPacket.h"

#include <algorithm>

#include "link/UsbPipeLink.h"

namespace korvane::link {
namespace {

std::int32_t BuildAddressed(PacketBuffer& request, Command command, std::uint8_t length,
                            std::int32_t address) {
  const AddressBytes bytes = SplitAddress(address);
  request[kCommandByte] = static_cast<std::uint8_t>(command);
  request[kLengthByte] = length;
  request[kAddressLowByte] = bytes.low;
  request[kAddressHighByte] = bytes.high;
  request[kAddressUpperByte] = bytes.upper;
  return kAddressedRequestLength;
}

std::int32_t BuildWrite(PacketBuffer& request, Command command, std::int32_t address,
                        std::span<const std::uint8_t, kWriteChunk> data) {
  BuildAddressed(request, command, kWriteChunk, address);
  std::copy(data.begin(), data.end(), request.begin() + kDataByte);
  return kWriteRequestLength;
}

}  // namespace

AddressBytes SplitAddress(std::int32_t address) {
  // Computed as the device expects: the high byte from the address with its low 8 bits cleared,
  // divided by 256; the upper byte from bits 16 to 23.
  const auto a = static_cast<std::uint32_t>(address);
  return AddressBytes{static_cast<std::uint8_t>(a & 0xFFu),
                      static_cast<std::uint8_t>((a & ~0xFFu) / 256u),
                      static_cast<std::uint8_t>((a & 0xFF0000u) / 65536u)};
}

std::int32_t BuildVersionQuery(PacketBuffer& request) {
  request[kCommandByte] = static_cast<std::uint8_t>(Command::VersionQuery);
  request[kLengthByte] = 2;
  return kShortRequestLength;
}

std::int32_t BuildDeviceReset(PacketBuffer& request) {
  request[kCommandByte] = static_cast<std::uint8_t>(Command::DeviceReset);
  request[kLengthByte] = 2;
  return kShortRequestLength;
}

std::int32_t BuildFlashErase(PacketBuffer& request, std::int32_t address) {
  return BuildAddressed(request, Command::FlashErase, 1, address);
}

std::int32_t BuildFlashRead(PacketBuffer& request, std::int32_t address) {
  return BuildAddressed(request, Command::FlashRead, kFlashReadBlock, address);
}

std::int32_t BuildEepromRead(PacketBuffer& request, std::int32_t offset) {
  return BuildAddressed(request, Command::EepromRead, kEepromReadBlock, offset);
}

std::int32_t BuildFlashWrite(PacketBuffer& request, std::int32_t address,
                             std::span<const std::uint8_t, kWriteChunk> data) {
  return BuildWrite(request, Command::FlashWrite, address, data);
}

std::int32_t BuildEepromWrite(PacketBuffer& request, std::int32_t offset,
                              std::span<const std::uint8_t, kWriteChunk> data) {
  return BuildWrite(request, Command::EepromWrite, offset, data);
}

std::int32_t PacketAddress(const PacketBuffer& packet) {
  return static_cast<std::int32_t>(packet[kAddressLowByte] | packet[kAddressHighByte] << 8 |
                                   packet[kAddressUpperByte] << 16);
}

bool EchoesRequest(const PacketBuffer& request, const PacketBuffer& reply) {
  return reply[kCommandByte] == request[kCommandByte] &&
         reply[kAddressLowByte] == request[kAddressLowByte] &&
         reply[kAddressHighByte] == request[kAddressHighByte] &&
         reply[kAddressUpperByte] == request[kAddressUpperByte];
}

}  // namespace korvane::link
