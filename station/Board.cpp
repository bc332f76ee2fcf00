#include "station/Board.h"

#include <algorithm>
#include <ctime>
#include <filesystem>

#include "link/BootloaderPacket.h"
#include "platform/Files.h"
#include "station/Bench.h"
#include "station/Sha256.h"

namespace korvane::station {

namespace {

constexpr std::int32_t kApplicationStart = 0x800;

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Only when the very first packet found nothing attached did no device answer at all.
bool NothingAnswered(const update::UpdateOutcome& outcome) {
  return outcome.failure == update::Failure::NotSent && outcome.noDevice &&
         outcome.packetsSent == 0;
}

// Sends DeviceReset (the device sends nothing back). The report says whether the request went
// out whole, and why not.
void SendReset(link::UsbPipeLink& link, BoardReport& report) {
  link::PacketBuffer request{};
  link::PacketBuffer reply{};
  const std::int32_t requestLength = link::BuildDeviceReset(request);
  std::int32_t replyLength = link::kResetReplyLength;
  const link::PacketOutcome sent = link.SendPacket(request, requestLength, reply, replyLength);
  report.resetSent = sent.sent && sent.written;
  if (report.resetSent) {
    return;
  }
  update::UpdateOutcome why;
  if (!sent.sent) {
    why.failure = update::Failure::NotSent;
    update::NoteNotSent(why, sent, link);
  } else {
    why.failure = update::Failure::ExchangeFailed;
    why.errorCode = sent.errorCode;
    why.packetsSent = 1;
  }
  report.verdict = sent.noDevice ? Verdict::NoDevice : Verdict::Failed;
  report.reason = sent.noDevice ? "no device answered; the reset was not sent"
                                : "the reset was not sent: " + update::FailureCause(why);
}

// Reads the device and writes the backup file whole. False (with the report filled in) when
// either failed.
bool BackUp(link::UsbPipeLink& link, const std::string& file, BoardView& view, BoardReport& report,
            std::string_view failurePrefix) {
  view.ShowProgress();
  const update::BackupOutcome backup = update::ReadDeviceMemory(link, view);
  view.EndBackup(backup.run.success);
  if (!backup.run.success) {
    report.backupFailed = true;
    report.outcome = backup.run;
    report.reason = std::string(failurePrefix) + update::BackupFailureReason(backup);
    report.verdict = NothingAnswered(backup.run) ? Verdict::NoDevice : Verdict::Failed;
    return false;
  }
  try {
    platform::WriteFileAtomically(file, update::BackupHexText(backup.memory),
                                  platform::Replace::Never);
  } catch (const platform::FileError& e) {
    report.backupFailed = true;
    report.reason = std::string(failurePrefix) + e.what();
    report.verdict = Verdict::FileProblem;
    return false;
  }
  report.backupWritten = file;
  // What was read, for the record: program flash from 0x800, then the EEPROM. An update that
  // follows names what it writes instead.
  Sha256 hash;
  hash.Add(std::span<const std::uint8_t>(backup.memory.flash)
               .subspan(update::kBackupFlashFirst,
                        update::kBackupFlashLast - update::kBackupFlashFirst + 1));
  hash.Add(backup.memory.eeprom);
  report.imageSha256 = hash.HexDigest();
  return true;
}

// Of exactly what is written or compared: program flash from 0x800 to the highest address (when
// chosen), then the 256 EEPROM bytes (when chosen).
std::string ImageHash(const image::MemoryImage& image, bool flash, bool eeprom) {
  Sha256 hash;
  if (flash && image.HighestFlashAddress >= kApplicationStart) {
    hash.Add(std::span<const std::uint8_t>(image.FlashImage)
                 .subspan(kApplicationStart, static_cast<std::size_t>(std::min<std::int32_t>(
                                                 image.HighestFlashAddress, 0x7FFF)) -
                                                 kApplicationStart + 1));
  }
  if (eeprom) {
    hash.Add(image.EepromImage);
  }
  return hash.HexDigest();
}

void Update(link::UsbPipeLink& link, const BoardJob& job, BoardView& view, bool& abortRequested,
            BoardReport& report) {
  if (!job.backupFile.empty() &&
      !BackUp(link, job.backupFile, view, report, "Backup failed, nothing was erased: ")) {
    report.result = std::string(update::kFailureText);
    return;
  }
  // The board's own copy of the image, with its serial number.
  const image::MemoryImage* image = job.image;
  std::unique_ptr<image::MemoryImage> numbered;
  if (job.serial) {
    report.serial = ClaimSerial(*job.serial);
    numbered = std::make_unique<image::MemoryImage>(*job.image);
    PlaceSerial(*numbered, *job.serial, *report.serial);
    image = numbered.get();
  }
  report.imageSha256 = ImageHash(*image, job.flash, job.eeprom);
  const update::UpdateSelections selections{[&job] { return job.flash; },
                                            [&job] { return job.eeprom; }};
  report.outcome = update::RunUpdate(*image, link, selections, abortRequested, view);
  report.result = std::string(report.outcome.success ? update::kSuccessText : update::kFailureText);
  if (!report.outcome.success) {
    report.reason = update::FailureReason(report.outcome);
    report.verdict = NothingAnswered(report.outcome) ? Verdict::NoDevice : Verdict::Failed;
  } else if (job.reset) {
    SendReset(link, report);
  }
}

void Verify(link::UsbPipeLink& link, const BoardJob& job, BoardView& view, BoardReport& report) {
  report.imageSha256 = ImageHash(*job.image, job.flash, job.eeprom);
  view.ShowProgress();
  const update::VerifyOutcome verify =
      update::VerifyDevice(*job.image, link, job.flash, job.eeprom, view);
  view.EndBackup(verify.run.success);
  report.outcome = verify.run;
  report.differing = verify.differing;
  const bool compared = verify.run.success || verify.run.failure == update::Failure::Mismatch;
  report.result =
      compared ? std::string(verify.run.success ? kVerifyMatchText : kVerifyMismatchText) : "";
  if (!verify.run.success) {
    report.reason = update::VerifyFailureReason(verify);
    report.verdict = NothingAnswered(verify.run) ? Verdict::NoDevice : Verdict::Failed;
  }
}

std::vector<std::string> Memories(const BoardJob& job) {
  std::vector<std::string> memories;
  if (job.action == BoardAction::Backup || job.flash) {
    memories.push_back("flash");
  }
  if (job.action == BoardAction::Backup || job.eeprom) {
    memories.push_back("eeprom");
  }
  return job.action == BoardAction::Reset ? std::vector<std::string>{} : memories;
}

void Record(const BoardJob& job, BoardReport& report) {
  BoardRecord record;
  record.time = std::chrono::system_clock::now();
  record.device = report.device;
  record.bootloader = report.bootloader;
  record.imageSha256 = report.imageSha256;
  record.memories = Memories(job);
  record.serial = report.serial;
  record.success = report.verdict == Verdict::Success;
  record.failure = BoardFailure(report);
  record.reason = report.reason;
  record.seconds = report.seconds;
  if (!report.backupWritten.empty()) {
    record.backup = report.backupWritten;
  }
  try {
    AppendRecord(job.logFile, job.record, record);
  } catch (const platform::FileError& e) {
    report.recordError = e.what();
  }
}

std::string CountedProblems(std::size_t count, std::string_view one, std::string_view many,
                            const std::vector<std::size_t>& lines) {
  std::string text = std::to_string(count) + " " + std::string(count == 1 ? one : many);
  if (!lines.empty()) {
    text += lines.size() == 1 ? " (line " : " (lines ";
    for (std::size_t i = 0; i < lines.size() && i < 5; ++i) {
      text += (i == 0 ? "" : ", ") + std::to_string(lines[i]);
    }
    text += count > std::min<std::size_t>(lines.size(), 5) ? ", ...)" : ")";
  }
  return text;
}

}  // namespace

BoardReport RunBoard(DeviceTarget target, const BoardJob& job, link::LinkMessages& messages,
                     link::PacketTap* tap, BoardView& view, bool& abortRequested) {
  BoardReport report;
  report.device = target.name;
  const auto start = std::chrono::steady_clock::now();
  try {
    const std::optional<platform::FileLock> lock =
        ClaimDevice(target.lockFile, target.name.empty() ? std::string("the device") : target.name);
    DeviceSession session(std::move(target), messages, tap);
    // One watch over the whole job: backup, update and reset go to one device or stop.
    const link::DeviceCountWatch watch(session.Link());
    if (!job.logFile.empty()) {
      if (const VersionAnswer answer = QueryVersion(session.Link()); answer.reply) {
        report.bootloader = VersionNumber(*answer.reply);
      }
    }
    switch (job.action) {
      case BoardAction::Update:
        Update(session.Link(), job, view, abortRequested, report);
        break;
      case BoardAction::Verify:
        Verify(session.Link(), job, view, report);
        break;
      case BoardAction::Backup:
        BackUp(session.Link(), job.backupFile, view, report, "");
        break;
      case BoardAction::Reset:
        SendReset(session.Link(), report);
        break;
    }
  } catch (const StationError& e) {
    report.verdict = e.GetVerdict();
    report.reason = e.what();
  } catch (const std::exception& e) {
    report.verdict = Verdict::Failed;
    report.reason = e.what();
  }
  report.seconds = SecondsSince(start);
  if (!job.logFile.empty()) {
    Record(job, report);
  }
  return report;
}

std::string_view StageName(update::Stage stage) {
  switch (stage) {
    case update::Stage::ProgramErase:
      return "erase";
    case update::Stage::ProgramWrite:
      return "write";
    case update::Stage::ProgramVerify:
      return "verify";
    case update::Stage::EepromWrite:
      return "eeprom-write";
    case update::Stage::EepromVerify:
      return "eeprom-verify";
  }
  return "update";
}

std::string_view FailureName(update::Failure failure) {
  switch (failure) {
    case update::Failure::None:
      return "";
    case update::Failure::Aborted:
      return "aborted";
    case update::Failure::Mismatch:
      return "mismatch";
    case update::Failure::NotSent:
      return "not-sent";
    case update::Failure::ExchangeFailed:
      return "exchange-failed";
    case update::Failure::ShortReply:
      return "short-reply";
    case update::Failure::CountTooLarge:
      return "count-too-large";
    case update::Failure::ShortCount:
      return "short-count";
    case update::Failure::WrongEcho:
      return "wrong-echo";
    case update::Failure::DeviceChanged:
      return "device-changed";
  }
  return "";
}

std::string BoardFailure(const BoardReport& report) {
  if (report.verdict == Verdict::Success) {
    return "";
  }
  if (report.backupFailed) {
    return "backup-failed";
  }
  if (report.verdict == Verdict::Busy) {
    return "busy";
  }
  if (report.outcome.failure != update::Failure::None && !report.outcome.success) {
    return std::string(FailureName(report.outcome.failure));
  }
  if (report.outcome.success && !report.resetSent && report.outcome.packetsSent > 0) {
    return "reset-not-sent";
  }
  return "other";
}

void CheckUpdateFile(const std::string& file, const image::LoadReport& report, bool flash,
                     bool eeprom, bool force) {
  if (report.NoData()) {
    // Updating with an empty image would erase the application area and call that a success.
    throw StationError(Verdict::FileProblem, file + " holds no data to update the device with");
  }
  const bool flashData =
      std::any_of(report.flashRanges.begin(), report.flashRanges.end(),
                  [](const image::AddressRange& range) { return range.last >= kApplicationStart; });
  if (flash && !flashData) {
    throw StationError(Verdict::FileProblem,
                       file +
                           " holds no program data at or above 0x800, so program flash would "
                           "only be erased; use --no-flash to leave program flash alone");
  }
  if (eeprom && report.eepromRanges.empty()) {
    throw StationError(Verdict::FileProblem,
                       file +
                           " holds no EEPROM data, so --eeprom would blank the device's EEPROM "
                           "to 0xFF; leave out --eeprom to keep it");
  }
  std::vector<std::string> problems;
  if (report.checksumErrorCount > 0) {
    problems.push_back(CountedProblems(report.checksumErrorCount, "checksum error",
                                       "checksum errors", report.checksumErrorLines));
  }
  if (report.malformedCount > 0) {
    problems.push_back(CountedProblems(report.malformedCount, "malformed line", "malformed lines",
                                       report.malformedLines));
  }
  if (report.bytesOutsideMemory > 0) {
    problems.push_back(CountedProblems(report.bytesOutsideMemory, "byte beyond the device's memory",
                                       "bytes beyond the device's memory",
                                       report.outsideMemoryLines));
  }
  if (!problems.empty() && !force) {
    std::string list;
    for (std::size_t i = 0; i < problems.size(); ++i) {
      list += (i == 0 ? "" : i + 1 == problems.size() ? " and " : ", ") + problems[i];
    }
    throw StationError(Verdict::FileProblem,
                       file + " has " + list +
                           ", so it may not be the firmware it claims to be; nothing was sent. "
                           "Check the file, or give --force to write it as it was loaded");
  }
}

void CheckBackupName(const std::string& backupFile, const std::string& updateFile) {
  if (backupFile.empty()) {
    return;
  }
  std::error_code error;
  if (!updateFile.empty() &&
      std::filesystem::equivalent(platform::PathFromUtf8(backupFile),
                                  platform::PathFromUtf8(updateFile), error)) {
    throw StationError(Verdict::FileProblem, "the backup file " + backupFile +
                                                 " is the update file itself; choose "
                                                 "another name for the backup");
  }
  if (platform::Exists(backupFile)) {
    throw StationError(Verdict::FileProblem, backupFile +
                                                 " already exists, and Korvane never overwrites "
                                                 "a backup; choose another name");
  }
}

std::string BackupNameFor(const std::string& file, const std::string& device, std::size_t count,
                          std::chrono::system_clock::time_point when) {
  if (file.empty()) {
    return file;
  }
  const std::filesystem::path path = platform::PathFromUtf8(file);
  std::string place = device;
  std::replace_if(
      place.begin(), place.end(), [](char c) { return c == ' ' || c == '/' || c == '\\'; }, '-');
  const std::string name = platform::Utf8FromPath(path.stem()) + "-" + place + "-" +
                           std::to_string(count) + "-" + UtcStamp(when) +
                           platform::Utf8FromPath(path.extension());
  return platform::Utf8FromPath(path.parent_path() / platform::PathFromUtf8(name));
}

}  // namespace korvane::station
