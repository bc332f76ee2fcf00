#pragma once

#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "emulator/BootloaderDevice.h"
#include "link/UsbLibrary.h"

namespace korvane::emulator {

// Faults the emulated device can be told to show at a given packet.
enum class FaultKind {
  Timeout,      // no reply: the read times out (error 121)
  ShortReply,   // the reply is cut short
  LongCount,    // a read reply whose count byte exceeds the count requested
  BitFlip,      // one bit of a written byte is flipped in the device's memory
  Unplug,       // the device is unplugged from this packet on (not counted; I/O fails with 6)
  OpenFail,     // one pipe fails to open
  WriteError,   // the write fails with `errorCode`
};

struct Fault {
  FaultKind kind = FaultKind::Timeout;
  // 0-based index of the packet: every open/exchange/close bracket counts, sent or not.
  // A bracket begins with the device count, so that is where the index advances.
  std::uint32_t packetIndex = 0;
  std::uint32_t errorCode = 31;  // for WriteError: the Windows error code to report
};

// Delays of a full-speed USB device and of PIC18 flash, used when the model is on.
struct TimingModel {
  std::chrono::microseconds perTransfer{1000};    // one USB frame per write or read
  std::chrono::microseconds perFlashErase{2000};  // one 64-byte block
  std::chrono::microseconds perFlashWrite{1000};  // one 16-byte chunk
  std::chrono::microseconds perEepromWrite{4000}; // 16 bytes at ~250 us each
};

struct RecordedExchange {
  std::vector<std::uint8_t> request;
  std::vector<std::uint8_t> reply;  // empty when nothing came back
};

// The built-in emulated bootloader device behind the same USB library interface as real
// hardware: the demo program, the command-line tool and the tests run on it.
class EmulatedUsbLibrary final : public link::UsbLibrary {
 public:
  EmulatedUsbLibrary();

  // UsbLibrary
  std::int32_t MPUSBGetDeviceCount(std::string_view identity) override;
  link::PipeHandle MPUSBOpen(std::uint32_t instance, std::string_view identity,
                             std::string_view pipeName, std::uint32_t direction,
                             std::uint32_t reserved) override;
  std::int32_t MPUSBWrite(link::PipeHandle handle, std::span<const std::uint8_t> data,
                          std::uint32_t& sent, std::uint32_t timeoutMs) override;
  std::int32_t MPUSBRead(link::PipeHandle handle, std::span<std::uint8_t> buffer,
                         std::uint32_t& received, std::uint32_t timeoutMs) override;
  std::int32_t MPUSBClose(link::PipeHandle handle) override;
  std::uint32_t GetLastError() override { return lastError_; }

  BootloaderDevice& Device() { return device_; }
  const BootloaderDevice& Device() const { return device_; }

  // Plugging: an unplugged device, or one that left the bootloader, is not counted.
  void Unplug();
  void PlugIn();  // also brings the device back into its bootloader
  bool Attached() const;

  void AddFault(const Fault& fault);
  void ClearFaults();

  // Timing model (off by default). When on, each operation sleeps its modelled delay.
  void SetTiming(bool enabled, TimingModel model = {});
  // Sum of the delays the model has imposed so far.
  std::chrono::microseconds ModelledDelay() const { return modelledDelay_; }

  void SetRecording(bool enabled) { recording_ = enabled; }
  const std::vector<RecordedExchange>& Recorded() const { return recorded_; }

  // Packets begun so far (device counts asked).
  std::uint32_t PacketsBegun() const { return packetsBegun_; }

 private:
  BootloaderDevice device_;
  std::vector<Fault> faults_;
  TimingModel timing_{};
  bool timingEnabled_ = false;
  bool attached_ = true;
  bool recording_ = false;
  std::vector<RecordedExchange> recorded_;
  std::chrono::microseconds modelledDelay_{0};
  std::uint32_t packetsBegun_ = 0;
  std::uint32_t lastError_ = 0;
};

}  // namespace korvane::emulator
