#include "station/Board.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>

#include "link/BootloaderPacket.h"
#include "platform/Files.h"
#include "platform/Hex.h"
#include "station/Bench.h"
#include "station/Sha256.h"

namespace korvane::station {

namespace {

using image::kApplicationStart;

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Only when the very first packet found nothing attached did no device answer at all.
bool NothingAnswered(const update::UpdateOutcome& outcome) {
  return outcome.failure == update::Failure::NotSent && outcome.noDevice &&
         outcome.packetsSent == 0;
}

// Sends DeviceReset (the device sends nothing back). The report says whether the request went
// out whole, and why not. After an update the board counts as failed, not as missing: the
// update itself is done.
void SendReset(link::BootloaderClient& client, BoardReport& report, bool afterUpdate) {
  const link::PacketResult sent = client.Reset();
  report.resetSent = sent.ok();
  if (report.resetSent) {
    return;
  }
  update::UpdateOutcome why;
  why.packetsSent = sent.sent ? 1 : 0;
  update::NoteLinkFault(why, *sent.fault);
  if (afterUpdate) {
    report.verdict = Verdict::Failed;
    report.reason = "the reset was not sent: " + update::FailureCause(why);
    return;
  }
  const bool noDevice = !sent.sent && sent.fault->noDevice;
  report.verdict = noDevice ? Verdict::NoDevice : Verdict::Failed;
  report.reason = noDevice ? "no device answered; the reset was not sent"
                           : "the reset was not sent: " + update::FailureCause(why);
}

// `file` with "-N" added before its extension.
std::string Numbered(const std::string& file, int number) {
  const std::filesystem::path path = platform::PathFromUtf8(file);
  return platform::Utf8FromPath(path.parent_path() /
                                platform::PathFromUtf8(platform::Utf8FromPath(path.stem()) + "-" +
                                                       std::to_string(number) +
                                                       platform::Utf8FromPath(path.extension())));
}

// Writes the backup whole under its name, never over another file; a made name that a file
// has taken meanwhile gets a number added. Returns the name written. Throws FileError.
std::string WriteBackup(const std::string& file, bool nameMade, std::string_view text) {
  for (int number = 1;; ++number) {
    const std::string name = number == 1 ? file : Numbered(file, number);
    try {
      platform::WriteFileAtomically(name, text, platform::Replace::Never);
      return name;
    } catch (const platform::FileError&) {
      if (!nameMade || number >= 1000 || !platform::Exists(name)) {
        throw;
      }
    }
  }
}

// Reads the device and writes the backup file whole. False (with the report filled in) when
// either failed.
bool BackUp(link::UsbPipeLink& link, const BoardJob& job, BoardView& view,
            const update::StopToken& stop, BoardReport& report, std::string_view failurePrefix) {
  view.OnReadStarted();
  const update::BackupOutcome backup = update::ReadDeviceMemory(link, view, stop);
  view.OnReadEnded(backup.run.success);
  report.outcome.packetsSent = backup.run.packetsSent;
  if (!backup.run.success) {
    report.backupFailed = true;
    report.outcome = backup.run;
    report.reason = std::string(failurePrefix) + update::BackupFailureReason(backup);
    report.verdict = NothingAnswered(backup.run) ? Verdict::NoDevice : Verdict::Failed;
    return false;
  }
  try {
    report.backupWritten =
        WriteBackup(job.backupFile, job.backupNameMade, update::BackupHexText(backup.memory));
  } catch (const platform::FileError& e) {
    report.backupFailed = true;
    report.reason = std::string(failurePrefix) + e.what();
    report.verdict = Verdict::FileProblem;
    return false;
  }
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
                                                 image.HighestFlashAddress, image::kFlashLast)) -
                                                 kApplicationStart + 1));
  }
  if (eeprom) {
    hash.Add(image.EepromImage);
  }
  return hash.HexDigest();
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

// The version query that opens a board's run: its failure as a run's, when it did not answer.
update::UpdateOutcome VersionFailure(const link::PacketResult& answer) {
  update::UpdateOutcome why;
  why.packetsSent = answer.sent ? 1 : 0;
  update::NoteLinkFault(why, *answer.fault);
  return why;
}

// The next number of the record database's series for a board that has answered, recorded with
// the board's run at once. A number that does not fit the plan is not used again, and the board
// fails before its first erase.
std::uint64_t ClaimFromSeries(const BoardJob& job, StoredRun& stored, BoardReport& report) {
  BoardRecord begun;
  begun.time = std::chrono::system_clock::now();
  begun.device = report.device;
  begun.bootloader = report.bootloader;
  begun.memories = Memories(job);
  std::uint64_t number = 0;
  try {
    number = stored.ClaimSerial(begun);
  } catch (const StationError& e) {
    throw StationError(
        e.GetVerdict(), e.GetProblem(),
        std::string(e.what()) + "; the board got no serial number, and nothing was written",
        e.Subject());
  }
  report.serial = number;
  const SerialPlan& plan = *job.serial;
  if (!SerialFits(plan, number)) {
    throw StationError(Verdict::FileProblem, "the serial number " + std::to_string(number) +
                                                 " from the series \"" + plan.series +
                                                 "\" does not fit in " + SerialSize(plan) +
                                                 "; it is not used again, and nothing was written");
  }
  return number;
}

void Update(link::BootloaderClient& client, const BoardJob& job,
            const std::optional<link::BootloaderClient::VersionResult>& version, StoredRun* stored,
            BoardView& view, const update::StopToken& stop, BoardReport& report) {
  link::UsbPipeLink& link = client.Link();
  report.resetWanted = job.reset;
  if (job.serial && !version->ok()) {
    // A number goes only to a board that answered: a run that reaches nothing keeps none.
    report.outcome = VersionFailure(*version);
    report.result = BoardResult::NotUpdated;
    report.reason = "Version query: " + update::FailureCause(report.outcome) +
                    " No serial number was taken, and nothing was written.";
    report.verdict = NothingAnswered(report.outcome) ? Verdict::NoDevice : Verdict::Failed;
    return;
  }
  if (!job.backupFile.empty() &&
      !BackUp(link, job, view, stop, report, "Backup failed, nothing was erased: ")) {
    report.result = BoardResult::NotUpdated;
    return;
  }
  // The board's own copy of the image, with its serial number.
  const image::MemoryImage* image = job.image;
  std::unique_ptr<image::MemoryImage> numbered;
  if (job.serial) {
    if (stop.StopRequested()) {
      report.outcome.failure = update::Failure::Aborted;
      report.result = BoardResult::NotUpdated;
      report.reason =
          "Stopped by the user before the first erase: nothing was written, and no "
          "serial number was taken.";
      report.verdict = Verdict::Failed;
      return;
    }
    report.serial = job.serial->series.empty() ? ClaimSerial(*job.serial)
                                               : ClaimFromSeries(job, *stored, report);
    numbered = std::make_unique<image::MemoryImage>(*job.image);
    PlaceSerial(*numbered, *job.serial, *report.serial);
    image = numbered.get();
  }
  report.imageSha256 = ImageHash(*image, job.flash, job.eeprom);
  const update::UpdateSelections selections{[&job] { return job.flash; },
                                            [&job] { return job.eeprom; }};
  report.outcome = update::RunUpdate(*image, link, selections, stop, view, job.mode);
  report.result = report.outcome.success ? BoardResult::Updated : BoardResult::NotUpdated;
  if (!report.outcome.success) {
    report.reason = update::FailureReason(report.outcome);
    report.verdict = NothingAnswered(report.outcome) ? Verdict::NoDevice : Verdict::Failed;
  } else if (job.reset) {
    SendReset(client, report, true);
  }
}

// Reads the bytes of the board's serial number with one read packet whose reply must echo the
// request and carry every byte wanted. Nothing (and `why` filled in) when it did not.
std::optional<std::vector<std::uint8_t>> ReadSerialBytes(link::BootloaderClient& client,
                                                         const SerialPlan& plan,
                                                         update::UpdateOutcome& why) {
  const bool eeprom = plan.address >= kSerialEepromBase;
  const std::uint32_t block = eeprom ? link::kEepromReadBlock : link::kFlashReadBlock;
  const std::uint32_t first = eeprom ? plan.address - kSerialEepromBase : plan.address;
  const std::uint32_t end = eeprom ? image::kEepromSize : image::kFlashSize;
  // One block that holds every byte and stays inside the memory.
  const std::uint32_t start = std::min(first, end - block);
  const auto address = static_cast<std::int32_t>(start);
  const link::BootloaderClient::ReadResult read = client.Read(
      eeprom ? link::Memory::Eeprom : link::Memory::Flash, address, first - start + plan.bytes);
  why.packetAddress = address;
  why.packetsSent = read.sent ? 1 : 0;
  if (read.fault) {
    update::NoteLinkFault(why, *read.fault);
    return std::nullopt;
  }
  const auto from = read.data.begin() + (first - start);
  return std::vector<std::uint8_t>(from, from + plan.bytes);
}

std::string HexText(std::uint32_t value) {
  return platform::HexNumber(value);
}

void Verify(link::BootloaderClient& client, const BoardJob& job, BoardView& view,
            const update::StopToken& stop, BoardReport& report) {
  link::UsbPipeLink& link = client.Link();
  // The board's serial number is the board's own: read first, and put in place in the copy
  // that is compared, so that every other byte is compared with the file.
  const image::MemoryImage* image = job.image;
  std::unique_ptr<image::MemoryImage> numbered;
  std::string serialProblem;
  if (job.serial) {
    update::UpdateOutcome why;
    const auto bytes = ReadSerialBytes(client, *job.serial, why);
    if (!bytes) {
      report.outcome = why;
      report.reason = "Reading the serial number at " + HexText(job.serial->address) + ": " +
                      update::FailureCause(why);
      report.verdict = NothingAnswered(why) ? Verdict::NoDevice : Verdict::Failed;
      return;
    }
    numbered = std::make_unique<image::MemoryImage>(*job.image);
    PlaceSerialBytes(*numbered, *job.serial, *bytes);
    image = numbered.get();
    report.serial = ReadSerial(*job.serial, *bytes);
    if (!report.serial) {
      serialProblem = "The serial number at " + HexText(job.serial->address) +
                      " holds no number: " + platform::HexBytes(*bytes) + ".";
    }
  }
  report.imageSha256 = ImageHash(*image, job.flash, job.eeprom);
  view.OnReadStarted();
  const update::VerifyOutcome verify =
      update::VerifyDevice(*image, link, job.flash, job.eeprom, view, stop);
  view.OnReadEnded(verify.run.success);
  report.outcome = verify.run;
  report.differing = verify.differing;
  const bool compared = verify.run.success || verify.run.failure == update::Failure::Mismatch;
  report.result = !compared                                     ? BoardResult::None
                  : verify.run.success && serialProblem.empty() ? BoardResult::Matches
                                                                : BoardResult::DoesNotMatch;
  if (!verify.run.success) {
    report.reason = update::VerifyFailureReason(verify);
    report.verdict = NothingAnswered(verify.run) ? Verdict::NoDevice : Verdict::Failed;
  }
  if (compared && !serialProblem.empty()) {
    report.reason = report.reason.empty() ? serialProblem : serialProblem + " " + report.reason;
    report.verdict = Verdict::Failed;
    if (report.outcome.success) {
      report.outcome.success = false;
      report.outcome.failure = update::Failure::Mismatch;
    }
  }
}

// A record that was not kept: the board's outcome stands, and the job ends with exit 4.
void NoteRecordLost(BoardReport& report, const std::string& error) {
  report.recordError = error;
  if (report.failure.empty()) {
    report.failure = "record-failed";
  }
  if (report.reason.empty()) {
    report.reason = "the record was not written: " + report.recordError;
  }
  report.verdict = Verdict::FileProblem;
}

// The board's record: in the log, and in the record database.
void Record(const BoardJob& job, StoredRun* stored, BoardReport& report) {
  BoardRecord record;
  record.time = std::chrono::system_clock::now();
  record.device = report.device;
  record.bootloader = report.bootloader;
  record.imageSha256 = report.imageSha256;
  record.memories = Memories(job);
  record.serial = report.serial;
  record.success = report.verdict == Verdict::Success;
  record.failure = report.failure;
  record.reason = report.reason;
  record.seconds = report.seconds;
  record.incremental = report.outcome.incremental;
  if (!report.backupWritten.empty()) {
    record.backup = report.backupWritten;
  }
  if (!job.logFile.empty()) {
    try {
      AppendRecord(job.logFile, job.record, record);
    } catch (const platform::FileError& e) {
      NoteRecordLost(report, e.what());
    }
  }
  if (stored != nullptr) {
    try {
      report.recordSpooled = stored->Finish(record, report.outcome.packetsSent);
    } catch (const StationError& e) {
      NoteRecordLost(report, e.what());
    }
    if (!report.recordSpooled.empty()) {
      if (report.failure.empty()) {
        report.failure = "record-spooled";
      }
      report.verdict = Verdict::FileProblem;
    }
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
                     link::PacketTap* tap, BoardView& view, const update::StopToken& stop) {
  BoardReport report;
  report.action = job.action;
  report.device = target.name;
  const auto start = std::chrono::steady_clock::now();
  const std::unique_ptr<StoredRun> stored =
      job.store != nullptr ? job.store->Begin(job.record) : nullptr;
  try {
    if (stored) {
      stored->CheckReady();
    }
    std::optional<platform::FileLock> lock = std::move(target.lock);
    if (!lock) {
      lock = ClaimDevice(target.lockFile,
                         target.name.empty() ? std::string("the device") : target.name);
    }
    DeviceSession session(std::move(target), messages, tap);
    // One watch over the whole job: backup, update and reset go to one device or stop.
    const link::DeviceCountWatch watch(session.Link());
    // The bootloader names itself first when a record names it, and before a serial number is
    // taken, so that only a board that answered takes one.
    std::optional<link::BootloaderClient::VersionResult> version;
    if (!job.logFile.empty() || stored || (job.serial && job.action == BoardAction::Update)) {
      version = session.Client().Version();
      if (version->ok()) {
        report.bootloader = link::VersionNumber(version->version);
      }
    }
    switch (job.action) {
      case BoardAction::Update:
        Update(session.Client(), job, version, stored.get(), view, stop, report);
        break;
      case BoardAction::Verify:
        Verify(session.Client(), job, view, stop, report);
        break;
      case BoardAction::Backup:
        BackUp(session.Link(), job, view, stop, report, "");
        break;
      case BoardAction::Reset:
        SendReset(session.Client(), report, false);
        if (report.resetSent) {
          report.result = BoardResult::ResetSent;
        }
        break;
    }
  } catch (const StationError& e) {
    report.verdict = e.GetVerdict();
    report.reason = e.what();
  } catch (const std::exception& e) {
    report.verdict = Verdict::Failed;
    report.reason = e.what();
  }
  if (job.action == BoardAction::Update) {
    // Also when the board failed before its update run: the outcome and the record say how it
    // was to run.
    report.outcome.incremental = job.mode == update::UpdateMode::OnlyChanged;
  }
  report.seconds = SecondsSince(start);
  report.failure = BoardFailure(report);
  if (!job.logFile.empty() || stored) {
    Record(job, stored.get(), report);
  }
  return report;
}

void NoteOutputFailure(BoardReport& report, const std::string& error) {
  report.outputError = error;
  if (report.failure.empty()) {
    report.failure = "output-failed";
  }
  report.verdict = Verdict::FileProblem;
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
    case update::Stage::ProgramRead:
      return "read";
    case update::Stage::EepromRead:
      return "eeprom-read";
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
  if (report.ResetMissing()) {
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
    throw StationError(Verdict::FileProblem, Problem::NoProgramData,
                       file +
                           " holds no program data at or above 0x800, so program flash would "
                           "only be erased",
                       file);
  }
  if (eeprom && report.eepromRanges.empty()) {
    throw StationError(Verdict::FileProblem, Problem::NoEepromData,
                       file + " holds no EEPROM data, so an update of the EEPROM would blank it",
                       file);
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
    throw StationError(
        Verdict::FileProblem, Problem::DamagedFile,
        file + " has " + list + ", so it may not be the firmware it claims to be; nothing was sent",
        file, list);
  }
}

void CheckBackupName(const std::string& backupFile) {
  if (!backupFile.empty() && platform::Exists(backupFile)) {
    throw StationError(Verdict::FileProblem, backupFile +
                                                 " already exists, and Korvane never overwrites "
                                                 "a backup; choose another name");
  }
}

void CheckFileRoles(const std::vector<FileRole>& inputs, const std::vector<FileRole>& outputs) {
  for (std::size_t i = 0; i < outputs.size(); ++i) {
    const FileRole& output = outputs[i];
    if (output.path.empty()) {
      continue;
    }
    const auto clash = [&output](const FileRole& other) {
      if (!other.path.empty() && platform::SameFile(output.path, other.path)) {
        throw StationError(Verdict::Usage,
                           output.role + " " + output.path + " and " + other.role + " " +
                               other.path +
                               " are the same file, and Korvane never writes a file over another "
                               "one it reads or writes; choose another name for " +
                               output.role);
      }
    };
    std::for_each(inputs.begin(), inputs.end(), clash);
    std::for_each(outputs.begin() + static_cast<std::ptrdiff_t>(i) + 1, outputs.end(), clash);
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
