#include "update/DeviceBackup.h"

#include <algorithm>
#include <span>

#include "image/HexRecord.h"
#include "link/BootloaderPacket.h"
#include "platform/Hex.h"

namespace korvane::update {

namespace {

constexpr std::uint8_t kDataRecord = 0x00;
constexpr std::uint8_t kEndRecord = 0x01;
constexpr std::uint8_t kLinearAddressRecord = 0x04;
constexpr std::size_t kRecordBytes = 16;

class Backup {
 public:
  Backup(link::UsbPipeLink& link, BackupObserver& observer, const StopToken& stop,
         const ReadPlan& plan)
      : client_(link), observer_(observer), stop_(stop), plan_(plan) {
    outcome_.memory.flash.fill(0xFF);
    outcome_.memory.eeprom.fill(0xFF);
  }

  BackupOutcome Execute() {
    const bool flashRead =
        !plan_.flashLast || *plan_.flashLast < kBackupFlashFirst || ReadRegion(BackupRegion::Flash);
    if (flashRead && (!plan_.eeprom || ReadRegion(BackupRegion::Eeprom))) {
      outcome_.run.success = true;
    }
    return outcome_;
  }

 private:
  bool ReadRegion(BackupRegion region) {
    const bool flash = region == BackupRegion::Flash;
    const std::uint32_t first = flash ? kBackupFlashFirst : 0;
    const std::uint32_t last =
        flash ? std::min(*plan_.flashLast, kBackupFlashLast) : image::kEepromSize - 1;
    const std::uint32_t block = flash ? link::kFlashReadBlock : link::kEepromReadBlock;
    const std::span<std::uint8_t> memory = flash ? std::span<std::uint8_t>(outcome_.memory.flash)
                                                 : std::span<std::uint8_t>(outcome_.memory.eeprom);
    observer_.OnRegionStarted(region);
    for (std::uint32_t address = first; address <= last; address += block) {
      // A stop asked for before this packet (before the first, say) lets nothing more out.
      if (stop_.StopRequested()) {
        return Fail(Failure::Aborted, region, address);
      }
      // The whole block is needed, except past the end of the memory, where the last block of
      // program flash reaches; and the reply must answer this very request.
      const std::size_t needed = std::min<std::size_t>(block, last - address + 1);
      const link::BootloaderClient::ReadResult read =
          client_.Read(flash ? link::Memory::Flash : link::Memory::Eeprom,
                       static_cast<std::int32_t>(address), needed);
      outcome_.run.packetsSent += read.sent ? 1 : 0;
      if (read.fault) {
        Fail(Failure::NotSent, region, address);
        NoteLinkFault(outcome_.run, *read.fault);
        return false;
      }
      std::copy_n(read.data.begin(), needed, memory.begin() + address);
      observer_.OnRegionProgress(region, {static_cast<std::int64_t>(address - first + needed),
                                          static_cast<std::int64_t>(last - first + 1)});
      if (stop_.StopRequested()) {
        return Fail(Failure::Aborted, region, address);
      }
    }
    return true;
  }

  bool Fail(Failure failure, BackupRegion region, std::uint32_t address) {
    outcome_.run.success = false;
    outcome_.run.failure = failure;
    outcome_.run.packetAddress = static_cast<std::int32_t>(address);
    outcome_.region = region;
    return false;
  }

  link::BootloaderClient client_;
  BackupObserver& observer_;
  const StopToken& stop_;
  ReadPlan plan_;
  BackupOutcome outcome_{};
};

void AppendRecords(std::string& text, std::span<const std::uint8_t> bytes,
                   std::uint32_t firstOffset) {
  for (std::size_t at = 0; at < bytes.size(); at += kRecordBytes) {
    const std::size_t length = std::min(kRecordBytes, bytes.size() - at);
    image::AppendHexRecord(text, kDataRecord, static_cast<std::uint16_t>(firstOffset + at),
                           bytes.subspan(at, length));
  }
}

}  // namespace

BackupOutcome ReadDeviceMemory(link::UsbPipeLink& link, BackupObserver& observer,
                               const StopToken& stop, const ReadPlan& plan) {
  const link::DeviceCountWatch watch(link);
  Backup backup(link, observer, stop, plan);
  return backup.Execute();
}

VerifyOutcome VerifyDevice(const image::MemoryImage& image, link::UsbPipeLink& link, bool flash,
                           bool eeprom, BackupObserver& observer, const StopToken& stop) {
  const auto highest = static_cast<std::uint32_t>(
      std::clamp<std::int32_t>(image.HighestFlashAddress, 0, kBackupFlashLast));
  ReadPlan plan;
  plan.flashLast = flash ? std::optional(highest) : std::nullopt;
  plan.eeprom = eeprom;
  const BackupOutcome read = ReadDeviceMemory(link, observer, stop, plan);
  VerifyOutcome outcome{read.run, read.region, 0};
  if (!read.run.success) {
    return outcome;
  }
  const auto compare = [&](std::span<const std::uint8_t> device, std::span<const std::uint8_t> file,
                           std::uint32_t first, std::uint32_t last, Stage stage) {
    for (std::uint32_t a = first; a <= last; ++a) {
      if (device[a] == file[a]) {
        continue;
      }
      if (outcome.differing++ == 0) {
        outcome.run.success = false;
        outcome.run.failure = Failure::Mismatch;
        outcome.run.stage = stage;
        outcome.run.packetAddress = static_cast<std::int32_t>(a);
        outcome.run.mismatchAddress = static_cast<std::int32_t>(a);
        outcome.run.expected = file[a];
        outcome.run.found = device[a];
      }
    }
  };
  if (plan.flashLast && highest >= kBackupFlashFirst) {
    compare(read.memory.flash, image.FlashImage, kBackupFlashFirst, highest, Stage::ProgramVerify);
  }
  if (eeprom) {
    compare(read.memory.eeprom, image.EepromImage, 0, image::kEepromSize - 1, Stage::EepromVerify);
  }
  return outcome;
}

std::string VerifyFailureReason(const VerifyOutcome& outcome) {
  if (outcome.run.success) {
    return {};
  }
  if (outcome.run.failure != Failure::Mismatch) {
    return BackupFailureReason(BackupOutcome{outcome.run, outcome.region, {}});
  }
  return FailureReason(outcome.run) + " " + std::to_string(outcome.differing) +
         (outcome.differing == 1 ? " byte differs." : " bytes differ.");
}

std::string BackupFailureReason(const BackupOutcome& outcome) {
  if (outcome.run.success || outcome.run.failure == Failure::None) {
    return {};
  }
  const bool eeprom = outcome.region == BackupRegion::Eeprom;
  return std::string(eeprom ? "Reading EEPROM at " : "Reading program flash at ") +
         platform::HexNumber(static_cast<std::uint32_t>(outcome.run.packetAddress),
                             eeprom ? 2 : 4) +
         ": " + FailureCause(outcome.run);
}

std::string BackupHexText(const DeviceMemory& memory) {
  std::string text;
  text.reserve(50 * (image::kFlashSize / kRecordBytes + 32));
  const std::uint8_t flashPage[2] = {0x00, 0x00};
  image::AppendHexRecord(text, kLinearAddressRecord, 0, flashPage);
  AppendRecords(text,
                std::span<const std::uint8_t>(memory.flash)
                    .subspan(kBackupFlashFirst, kBackupFlashLast - kBackupFlashFirst + 1),
                kBackupFlashFirst);
  const std::uint8_t eepromPage[2] = {0x00, 0xF0};
  image::AppendHexRecord(text, kLinearAddressRecord, 0, eepromPage);
  AppendRecords(text, memory.eeprom, 0);
  image::AppendHexRecord(text, kEndRecord, 0, {});
  return text;
}

}  // namespace korvane::update
