#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "link/UsbLibrary.h"

namespace korvane::link {

inline constexpr std::string_view kDeviceIdentity = "vid_04d8&pid_a5e2";
inline constexpr std::string_view kPipeName = "\\MCHP_EP1";
inline constexpr std::int32_t kTimeoutMs = 1000;

enum class ExchangeResult : std::int32_t {
  Failed = 0,    // a pipe was invalid, the write or read failed, or too many bytes arrived
  Complete = 1,  // exactly the expected number of bytes arrived
  Short = 2,     // fewer bytes than expected arrived
};

// Decimal digits, after one blank for zero or more, after a minus sign when negative.
std::string NumberText(std::int64_t value);

// Where the link's messages go: the windows show a modal box titled "USB_Korvane" with an OK
// button and no icon; the command-line tool prints them.
class LinkMessages {
 public:
  virtual ~LinkMessages() = default;
  virtual void ShowLinkMessage(std::string_view text) = 0;
  // A notice of the USB library itself (for example that it could not be loaded): no word
  // about a pipe or an exchange. Shown like a link message unless overridden.
  virtual void ShowLibraryNotice(std::string_view text) { ShowLinkMessage(text); }
};

// Watches every packet that goes through SendPacket (the command-line tool's trace).
class PacketTap {
 public:
  virtual ~PacketTap() = default;
  // The exchange ran; `reply` holds the bytes received (empty when the write or read failed).
  virtual void OnExchange(std::span<const std::uint8_t> request,
                          std::span<const std::uint8_t> reply, ExchangeResult result) = 0;
  // The pipes were not open, so the request was not sent.
  virtual void OnNotSent(std::span<const std::uint8_t> request) = 0;
};

struct PacketOutcome {
  bool sent = false;      // both pipes were open and ExchangePacket ran
  bool written = false;   // the whole request went out (the write succeeded with every byte)
  bool noDevice = false;  // not sent because no matching device was attached
  // Not sent because the number of attached devices changed while the count was watched.
  bool deviceChanged = false;
  ExchangeResult result = ExchangeResult::Failed;
  // The library's error code when the write or the read failed (0 otherwise).
  std::uint32_t errorCode = 0;
};

// The pair of USB pipes to the bootloader. Never held open: every packet is sent in its own
// open / exchange / close bracket.
class UsbPipeLink {
 public:
  // `instance` is the device the pipes are opened on: 0, the first matching device, unless the
  // caller chose another one.
  UsbPipeLink(UsbLibrary& library, LinkMessages& messages, std::uint32_t instance = 0);
  UsbPipeLink(const UsbPipeLink&) = delete;
  UsbPipeLink& operator=(const UsbPipeLink&) = delete;
  ~UsbPipeLink();

  // Closes whatever handle is valid and marks both invalid.
  void InitPipes();
  // Counts matching devices and, when the link's instance is among them, opens the OUT and the
  // IN pipe.
  void OpenPipes();
  // Closes each valid handle and marks it invalid.
  void ClosePipes();
  // One write-then-read exchange. replyLength holds the expected count on entry and the count
  // received on return (once the read ran).
  ExchangeResult ExchangePacket(std::span<const std::uint8_t> request,
                                const std::int32_t& requestLength, std::span<std::uint8_t> reply,
                                std::int32_t& replyLength, std::int32_t writeTimeoutMs,
                                std::int32_t readTimeoutMs);

  // False when the last OpenPipes found no matching device attached.
  bool DeviceFound() const { return deviceFound_; }

  // On a library that cannot tell devices apart, the instance the link opens is a position in
  // a list: when a device arrives or leaves, it can name another device. While watched (calls
  // nest), the number of attached devices is taken at the first packet and compared before
  // every later one; once it differs, no pipe is opened any more until the watch ends, so the
  // run stops after the packet in flight. Libraries that identify their device are not watched.
  void WatchDeviceCount(bool watch);
  // True when a watched count changed (until the outermost watch ends).
  bool DeviceCountChanged() const { return countChanged_; }
  // The library, as the user knows it.
  std::string LibraryName() const { return library_.LibraryName(); }
  // The error code of the last failed write or read.
  std::uint32_t LastErrorCode() const { return lastErrorCode_; }

  PipeHandle WritePipeHandle() const { return writePipe_; }
  PipeHandle ReadPipeHandle() const { return readPipe_; }
  bool PipesOpen() const { return writePipe_ != kInvalidPipe && readPipe_ != kInvalidPipe; }

  // The bracket every caller uses for one packet: OpenPipes; ExchangePacket with the fixed
  // time-outs when both pipes are open; ClosePipes.
  PacketOutcome SendPacket(std::span<const std::uint8_t> request, std::int32_t requestLength,
                           std::span<std::uint8_t> reply, std::int32_t& replyLength);

  // Optional observer of SendPacket; nullptr to remove.
  void SetPacketTap(PacketTap* tap) { tap_ = tap; }

 private:
  void ReportPipeError();
  void ShowNotice();

  UsbLibrary& library_;
  LinkMessages& messages_;
  PacketTap* tap_ = nullptr;
  std::uint32_t instance_ = 0;
  PipeHandle writePipe_ = kInvalidPipe;
  PipeHandle readPipe_ = kInvalidPipe;
  bool deviceFound_ = false;
  bool lastWriteComplete_ = false;
  std::uint32_t lastErrorCode_ = 0;
  int watchDepth_ = 0;
  std::int32_t watchedCount_ = -1;  // -1: not taken yet
  bool countChanged_ = false;
};

// Watches the device count for as long as it lives: one run, from its first packet to its last.
class DeviceCountWatch {
 public:
  explicit DeviceCountWatch(UsbPipeLink& link) : link_(link) { link_.WatchDeviceCount(true); }
  ~DeviceCountWatch() { link_.WatchDeviceCount(false); }
  DeviceCountWatch(const DeviceCountWatch&) = delete;
  DeviceCountWatch& operator=(const DeviceCountWatch&) = delete;

 private:
  UsbPipeLink& link_;
};

}  // namespace korvane::link
