#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "image/MemoryImage.h"
#include "link/UsbPipeLink.h"
#include "update/UpdateRun.h"

namespace korvane::update {

// What a backup reads: the application area of program flash and the whole data EEPROM.
inline constexpr auto kBackupFlashFirst = static_cast<std::uint32_t>(image::kApplicationStart);
inline constexpr auto kBackupFlashLast = static_cast<std::uint32_t>(image::kFlashLast);

struct DeviceMemory {
  std::array<std::uint8_t, image::kFlashSize> flash{};  // 0xFF below 0x800 (not read)
  std::array<std::uint8_t, image::kEepromSize> eeprom{};
};

enum class BackupRegion { Flash, Eeprom };

// Follows a read of the device (a backup, a verify): the engine never prints.
class BackupObserver {
 public:
  virtual ~BackupObserver() = default;
  virtual void OnRegionStarted(BackupRegion /*region*/) {}
  // After every packet: the bytes of the region read so far, of all its bytes.
  virtual void OnRegionProgress(BackupRegion /*region*/, Progress /*progress*/) {}
};

struct BackupOutcome {
  // success, failure, packetAddress, packetsSent, noDevice and errorCode as in an update run.
  UpdateOutcome run;
  std::optional<BackupRegion> region;  // where it failed
  DeviceMemory memory;                 // complete only on success; 0xFF where not read
};

// What a read covers: program flash from 0x800 to `flashLast` (nothing when absent) and the
// whole EEPROM (when `eeprom`). The boot block below 0x800 is never read.
struct ReadPlan {
  std::optional<std::uint32_t> flashLast = kBackupFlashLast;
  bool eeprom = true;
};

// Reads the plan's program flash with FlashRead and then the EEPROM with EepromRead, one packet
// per bracket. The first packet that fails or comes back short, or whose reply does not pass the
// link client's checks (link::BootloaderClient::Read) for the whole block (the last one up to the
// end of the plan), ends the read in failure: a backup is whole or nothing.
// `stop` is read before and after every packet: a stop ends the read in failure
// (Failure::Aborted), and one asked for before the first packet lets none out.
BackupOutcome ReadDeviceMemory(link::UsbPipeLink& link, BackupObserver& observer,
                               const StopToken& stop, const ReadPlan& plan = {});

struct VerifyOutcome {
  // success when every byte compared is the file's; else failure Mismatch with the stage,
  // mismatchAddress, expected and found of the first difference, or the read's failure.
  UpdateOutcome run;
  std::optional<BackupRegion> region;  // where a read failed
  std::size_t differing = 0;           // bytes that differ from the file
};

// Reads back program flash from 0x800 to the image's HighestFlashAddress (when `flash`) and
// the whole EEPROM (when `eeprom`) and compares them with the image; nothing is erased or
// written.
VerifyOutcome VerifyDevice(const image::MemoryImage& image, link::UsbPipeLink& link, bool flash,
                           bool eeprom, BackupObserver& observer, const StopToken& stop);

// "Reading program flash at 0x0840: the device did not answer in time." Empty on success.
std::string BackupFailureReason(const BackupOutcome& outcome);
// Why a verify failed: the read's failure as above, or the first difference as an update run
// says it ("Verify at 0x0840: found 0x00, expected 0xFF.") with the count of differing bytes.
std::string VerifyFailureReason(const VerifyOutcome& outcome);

// The memory as an Intel HEX file: CR LF line ends, 16-byte data records, an extended linear
// address record before program flash (0x0000) and before the EEPROM (0x00F0, so that it lies
// at 0xF00000), an end record. Every byte from 0x800 to 0x7FFF is written, 0xFF included, so
// that an update from the file covers the whole application area.
std::string BackupHexText(const DeviceMemory& memory);

}  // namespace korvane::update
