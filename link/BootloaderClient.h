#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "link/BootloaderPacket.h"
#include "link/UsbPipeLink.h"

namespace korvane::link {

// Why a packet brought back no usable reply.
enum class LinkError {
  NotSent,         // the pipes were not open (no device, or they failed to open)
  DeviceChanged,   // the watched device count changed: the link may name another device now
  ExchangeFailed,  // the write or the read failed, or more bytes came back than expected
  ShortReply,      // fewer bytes came back than expected, or than a read reply announces
  // Read replies only:
  CountTooLarge,  // the reply claims more bytes than the request asked for
  ShortCount,     // the reply announces fewer bytes than were needed from the address on
  WrongEcho,      // the reply names another command or address: it answers another request
};

// A link error with what the one who words it needs to know.
struct LinkFault {
  LinkError error = LinkError::NotSent;
  bool noDevice = false;           // NotSent: no matching device was attached
  std::uint32_t errorCode = 0;     // ExchangeFailed: the library's error code (0: too long a reply)
  std::string libraryName;         // DeviceChanged: the USB library, as the user knows it
  std::uint32_t answered = 0;      // ShortCount: the data bytes the reply announced
  std::uint32_t needed = 0;        // ShortCount: the data bytes that were needed
  std::uint8_t echoedCommand = 0;  // WrongEcho: the command the reply names
  std::int32_t echoedAddress = 0;  // WrongEcho: the address the reply names
};

// What one packet came to: whether its exchange ran (it counts as sent, and an erase or a write
// may have been carried out), and the fault, if any. A packet not sent at all is NotSent.
struct PacketResult {
  bool sent = false;
  std::optional<LinkFault> fault = LinkFault{};
  bool ok() const { return !fault; }
};

// The bootloader's version, from a complete reply to the version query.
struct BootloaderVersion {
  std::uint8_t major = 0;  // reply byte 3
  std::uint8_t minor = 0;  // reply byte 2: two 4-bit digits, the high one first
};

// The text shown for a version: "USB-Bootloader ", major, ".", the minor version's two digits,
// " detected " (the numbers as NumberText writes them).
std::string VersionText(const BootloaderVersion& version);
// "1.12": the major version, a dot, the minor version's two digits.
std::string VersionNumber(const BootloaderVersion& version);

enum class Memory { Flash, Eeprom };

// The bootloader's commands, one packet each, in its own open / exchange / close bracket on the
// link. The client owns one request and one reply buffer, zero at the start.
class BootloaderClient {
 public:
  explicit BootloaderClient(UsbPipeLink& link) : link_(link) {}

  struct VersionResult : PacketResult {
    BootloaderVersion version;  // when ok (a complete reply)
  };
  VersionResult Version();
  // DeviceReset, which the device does not answer: ok when the request went out whole.
  PacketResult Reset();
  // FlashErase of the 64-byte block at `address`.
  PacketResult Erase(std::int32_t address);
  // FlashWrite or EepromWrite of 16 bytes.
  PacketResult Write(Memory memory, std::int32_t address,
                     std::span<const std::uint8_t, kWriteChunk> data);

  struct ReadResult : PacketResult {
    // When ok: the data bytes the reply announces, at least the `needed` ones asked for.
    std::span<const std::uint8_t> data;
  };
  // FlashRead (56 bytes) or EepromRead (32 bytes) at `address`. The reply must name this
  // command and address, announce no more bytes than asked for and at least `needed` from
  // `address` on, and hold what it announces.
  ReadResult Read(Memory memory, std::int32_t address, std::size_t needed);

  UsbPipeLink& Link() { return link_; }

 private:
  // Sends the request built so far and checks the exchange; the reply's count in `received`.
  PacketResult Send(std::int32_t requestLength, std::int32_t replyLength);

  UsbPipeLink& link_;
  PacketBuffer request_{};
  PacketBuffer reply_{};
  std::int32_t received_ = 0;
  bool written_ = false;
};

}  // namespace korvane::link
