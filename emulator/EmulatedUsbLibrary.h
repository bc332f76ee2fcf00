#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "emulator/BootloaderDevice.h"
#include "link/UsbLibrary.h"

namespace korvane::emulator {

// Faults the emulated device can be told to show at a given packet.
enum class FaultKind {
  Timeout,     // no reply: the device carries out the request, but the read times out (121)
  ShortReply,  // the reply loses its last `cutBytes` bytes
  LongCount,   // a FlashRead/EepromRead reply whose count byte says `count`, above the request
  BitFlip,     // after a FlashWrite/EepromWrite, bit `bit` of the byte at the request's address
               // + `byteIndex` is flipped in the device's memory (no effect on other packets)
  Unplug,      // the device is unplugged from this packet on (not counted; I/O fails with 6)
  OpenFail,    // the pipe of direction `direction` fails to open (-1)
  WriteError,  // the write fails with `errorCode`; the device receives nothing
  // The device is counted and its pipes open, then it is pulled out before the write: the write
  // fails with 6 and from the next packet on it is not counted.
  UnplugDuringExchange,
  LongReply,  // the reply carries `cutBytes` more bytes (zero) than the device would send
  // Another matching device is plugged in: from this packet on the count is one higher (the
  // other device is never opened).
  Arrival,
  // A FlashRead/EepromRead reply whose count byte says `shortCount`, below the request; the
  // reply keeps its length and its data.
  ShortCount,
  // A FlashRead/EepromRead reply that names another request: bit `bit` of its header byte
  // `byteIndex` (0 the command, 2 to 4 the address) is flipped; the data are the right ones.
  WrongEcho,
};

struct Fault {
  FaultKind kind = FaultKind::Timeout;
  // 0-based index of the packet: every open/exchange/close bracket counts, sent or not.
  // A bracket begins with the device count, so that is where the index advances.
  std::uint32_t packetIndex = 0;
  std::uint32_t errorCode = 31;  // for WriteError: the Windows error code to report
  std::uint32_t cutBytes = 1;    // ShortReply, LongReply
  std::uint8_t count = 0xFF;     // LongCount
  std::uint8_t shortCount = 0;   // ShortCount
  std::uint32_t byteIndex = 0;   // BitFlip, WrongEcho
  std::uint8_t bit = 0;          // BitFlip, WrongEcho
  std::uint32_t direction = 1;   // OpenFail: 0 the OUT pipe, 1 the IN pipe
};

// Delays of a full-speed USB device and of PIC18 flash, used when the model is on. With the
// defaults a full update (480 erase, 1920 write, 549 read and 24 EEPROM packets) takes about
// six seconds.
struct TimingModel {
  std::chrono::microseconds perTransfer{500};       // one write or read, host round trip
  std::chrono::microseconds perFlashErase{2000};    // one 64-byte block
  std::chrono::microseconds perFlashWrite{1000};    // one 16-byte chunk (or part of one)
  std::chrono::microseconds perEepromWrite{16000};  // one 16-byte chunk, about 1 ms a byte
};

// One request the device received and the reply bytes the host got for it.
struct RecordedExchange {
  std::uint32_t packetIndex = 0;
  std::vector<std::uint8_t> request;
  std::vector<std::uint8_t> reply;  // empty when nothing came back
};

// The built-in emulated bootloader device behind the same USB library interface as real
// hardware: the demo program, the command-line tool and the tests run on it.
//
// Handles are small positive numbers, never reused while open. A write hands the request to
// the device; the next read returns its reply. A reply longer than the read asked for is cut to
// the buffer and `received` reports its full length (the link treats that as a failure); a read
// of 0 bytes succeeds at once. Failed writes and reads set GetLastError: 6 for a handle that is
// unknown, closed, of the wrong direction or whose device is gone; 121 when no reply comes.
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
  // One library, one device: the instance always names it.
  bool IdentifiesDevice() const override { return true; }
  std::string LibraryName() const override { return "the emulated device"; }

  BootloaderDevice& Device() { return device_; }
  const BootloaderDevice& Device() const { return device_; }

  // Plugging: an unplugged device, or one that left the bootloader, is not counted.
  void Unplug();
  void PlugIn();  // also brings the device back into its bootloader
  bool Attached() const;

  void AddFault(const Fault& fault);
  void ClearFaults();

  // Timing model (off by default). When on, each operation sleeps its modelled delay. A read
  // that times out costs its time-out. Sleeps run against one steady deadline, so the time
  // spent follows the modelled sum closely however coarse the sleeps are.
  void SetTiming(bool enabled, TimingModel model = {});
  // How the modelled delays are waited out: by default the thread sleeps until each deadline. A
  // program whose thread must not block (the web page) passes its own wait; an empty one
  // restores the default.
  using SleepUntil = std::function<void(std::chrono::steady_clock::time_point deadline)>;
  void SetSleepUntil(SleepUntil sleepUntil) { sleepUntil_ = std::move(sleepUntil); }
  // Sum of the delays the model has imposed so far.
  std::chrono::microseconds ModelledDelay() const { return modelledDelay_; }

  void SetRecording(bool enabled) { recording_ = enabled; }
  const std::vector<RecordedExchange>& Recorded() const { return recorded_; }

  // Packets begun so far (device counts asked).
  std::uint32_t PacketsBegun() const { return packetsBegun_; }
  // Pipes open right now.
  std::size_t OpenHandles() const { return pipes_.size(); }

 private:
  struct Pipe {
    link::PipeHandle handle = link::kInvalidPipe;
    std::uint32_t direction = 0;
    bool alive = true;  // false once the device was unplugged under it
  };

  const Pipe* FindPipe(link::PipeHandle handle) const;
  const Fault* FaultAt(FaultKind kind) const;
  std::uint32_t CurrentPacket() const { return packetsBegun_ == 0 ? 0 : packetsBegun_ - 1; }
  std::int32_t Fail(std::uint32_t error);
  void Delay(std::chrono::microseconds delay);
  std::chrono::microseconds OperationDelay(std::span<const std::uint8_t> request) const;
  void FlipBit(std::span<const std::uint8_t> request, const Fault& fault);
  // The LongCount, ShortCount and WrongEcho faults of the current packet's read reply.
  void AlterReadReply();

  std::vector<Pipe> pipes_;
  link::PipeHandle nextHandle_ = 1;
  DeviceReply pending_;
  bool recordPending_ = false;  // the last recorded exchange still waits for its reply
  std::chrono::steady_clock::time_point deadline_{};  // when the last modelled delay ended
  std::chrono::steady_clock::time_point wake_{};      // when its sleep actually returned

  BootloaderDevice device_;
  std::vector<Fault> faults_;
  TimingModel timing_{};
  SleepUntil sleepUntil_;
  bool timingEnabled_ = false;
  bool attached_ = true;
  bool recording_ = false;
  std::vector<RecordedExchange> recorded_;
  std::chrono::microseconds modelledDelay_{0};
  std::uint32_t packetsBegun_ = 0;
  std::int32_t otherDevices_ = 0;  // counted besides this one (Arrival faults)
  std::uint32_t lastError_ = 0;
};

}  // namespace korvane::emulator
