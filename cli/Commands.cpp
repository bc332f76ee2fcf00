#include "cli/Commands.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <span>
#include <sstream>
#include <vector>

#include "cli/BoardLines.h"
#include "cli/JsonEvents.h"
#include "cli/Output.h"
#include "cli/ProgressPrinter.h"
#include "platform/Files.h"
#include "station/Bench.h"
#include "station/Board.h"
#include "station/Sha256.h"
#include "station/Station.h"
#include "update/DeviceBackup.h"
#include "update/UpdateRun.h"

#ifndef KORVANE_VERSION
#define KORVANE_VERSION "unknown"
#endif

namespace korvane::cli {

namespace {

using station::BoardAction;
using station::BoardJob;
using station::BoardReport;
using station::DeviceBench;
using station::DeviceName;
using station::DeviceTarget;
using station::StationError;
using station::Verdict;

// Ctrl+C presses counted: the handler only counts, the commands (and their worker threads)
// look at the count.
std::atomic<int> gInterrupted{0};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs a lock-free count");

extern "C" void OnInterrupt(int) {
  if (gInterrupted.load() < 100) {
    gInterrupted.fetch_add(1);
  }
}

bool Interrupted() {
  return gInterrupted.load() != 0;
}

// Ctrl+C during an update asks the run to stop after the packet in flight, as the Abort button
// does, so the device is left in a known place and the emulated state is still saved. While a
// command waits for a device it ends the wait, and nothing is sent.
class InterruptGuard {
 public:
  InterruptGuard() {
    gInterrupted.store(0);
    previous_ = std::signal(SIGINT, OnInterrupt);
  }
  ~InterruptGuard() { std::signal(SIGINT, previous_); }
  InterruptGuard(const InterruptGuard&) = delete;
  InterruptGuard& operator=(const InterruptGuard&) = delete;

 private:
  void (*previous_)(int) = SIG_DFL;
};

struct LoadedFile {
  image::MemoryImage image;
  image::LoadReport report;
};

// Loads an update file as the windows do; the loader's messages go to standard error.
LoadedFile LoadFile(const std::string& path, Console& console) {
  LoadedFile loaded;
  StreamLoaderHost host(console.err);
  image::UpdateFileLoader loader(loaded.image, host);
  image::LoadResult result = loader.LoadUpdateFile(path);
  if (!result.loaded) {
    // The loader has already said which file and why.
    throw CliError(kExitFileError, "");
  }
  loaded.report = std::move(result.report);
  return loaded;
}

// Exports and scrambled copies are plain outputs: they may replace a file of that name, but
// never with a part of themselves.
void WriteOutput(const std::string& path, std::string_view data) {
  try {
    platform::WriteFileAtomically(path, data, platform::Replace::Allowed);
  } catch (const platform::FileError& e) {
    throw CliError(kExitFileError, e.what());
  }
}

template <std::size_t N>
void WriteBuffer(const std::string& path, const std::array<std::uint8_t, N>& buffer) {
  if (!path.empty()) {
    WriteOutput(path, std::string_view(reinterpret_cast<const char*>(buffer.data()), N));
  }
}

std::string RangesText(const std::vector<image::AddressRange>& ranges) {
  if (ranges.empty()) {
    return "none";
  }
  std::string text;
  for (const image::AddressRange& range : ranges) {
    if (!text.empty()) {
      text += ", ";
    }
    text += HexAddress(range.first, 6) + "-" + HexAddress(range.last, 6);
  }
  return text;
}

template <typename T>
std::string JoinNumbers(const std::vector<T>& numbers, std::string_view separator) {
  std::string text;
  for (const T& number : numbers) {
    if (!text.empty()) {
      text += separator;
    }
    text += std::to_string(number);
  }
  return text;
}

// "3 (lines 4, 7, 9)"; the report keeps only the first line numbers of a long list, so the
// rest are counted: "(lines 1, 2, ... and 5 more)".
std::string CountWithLines(std::size_t count, std::size_t lineCount,
                           const std::vector<std::size_t>& lines) {
  if (count == 0) {
    return "none";
  }
  std::string text = std::to_string(count);
  if (!lines.empty()) {
    text += (lineCount == 1 ? " (line " : " (lines ") + JoinNumbers(lines, ", ");
    if (lineCount > lines.size()) {
      text += " and " + std::to_string(lineCount - lines.size()) + " more";
    }
    text += ")";
  }
  return text;
}

std::string JsonRanges(const std::vector<image::AddressRange>& ranges) {
  std::string json = "[";
  for (const image::AddressRange& range : ranges) {
    if (json.size() > 1) {
      json += ',';
    }
    json += "{\"first\":" + std::to_string(range.first) +
            ",\"last\":" + std::to_string(range.last) + "}";
  }
  return json + "]";
}

template <typename T>
std::string JsonArray(const std::vector<T>& numbers) {
  return "[" + JoinNumbers(numbers, ",") + "]";
}

// The packet trace of a one-device command (--trace FILE).
class Trace {
 public:
  explicit Trace(const std::string& file) : file_(file) {
    if (file_.empty()) {
      return;
    }
    // Binary: the same bytes, LF line ends, on every platform.
    stream_.open(platform::PathFromUtf8(file_), std::ios::out | std::ios::trunc | std::ios::binary);
    if (!stream_) {
      throw CliError(kExitFileError, "cannot write the trace file " + file_);
    }
    writer_ = std::make_unique<TraceWriter>(stream_);
  }
  link::PacketTap* Tap() { return writer_.get(); }
  // Throws CliError (file) when the trace could not be written whole.
  void Finish() {
    if (writer_) {
      stream_.close();
      if (!stream_) {
        throw CliError(kExitFileError, "cannot write the trace file " + file_);
      }
    }
  }

 private:
  std::string file_;
  std::ofstream stream_;
  std::unique_ptr<TraceWriter> writer_;
};

std::optional<std::chrono::milliseconds> WaitTimeout(const DeviceOptions& options) {
  if (!options.waitSeconds) {
    return std::nullopt;
  }
  // At most a month (checked with the options): the milliseconds fit easily.
  return std::chrono::milliseconds(static_cast<std::int64_t>(*options.waitSeconds * 1000.0));
}

// "no device ..." with what the USB library had to say while it looked (for example that it
// could not be started), so that the user is not left with "no device" alone.
CliError NoDeviceError(DeviceBench& bench, std::string message) {
  if (std::string notice = bench.TakeNotice(); !notice.empty()) {
    message += "\n" + notice;
  }
  if (std::string advice = bench.NoDeviceAdvice(); !advice.empty()) {
    message += "\n" + advice;
  }
  return CliError(kExitNoDevice, message);
}

// After "no device answered": the next step, where the system can tell (on Windows: what the
// drivers of the devices there call for).
void PrintNoDeviceAdvice(DeviceBench& bench, Console& console) {
  if (std::string advice = bench.NoDeviceAdvice(); !advice.empty()) {
    console.err << advice << '\n' << std::flush;
  }
}

void PrintDiagnostics(DeviceBench& bench, const DeviceOptions& options, Console& console) {
  if (options.verbose) {
    for (const std::string& line : bench.Diagnostics()) {
      console.err << line << '\n';
    }
    console.err << std::flush;
  }
}

// The bench, and the device a one-device command talks to: waited for with --wait, else the
// one --device names (instance 0 by default).
struct Prepared {
  std::unique_ptr<DeviceBench> bench;
  std::optional<link::AttachedDevice> device;
};

Prepared Prepare(const DeviceOptions& options, Console& console) {
  Prepared prepared{DeviceBench::Create(options), std::nullopt};
  const station::DeviceSelector selector = station::ParseDeviceSelector(options.device);
  PrintDiagnostics(*prepared.bench, options, console);
  if (!options.wait) {
    try {
      prepared.device = prepared.bench->Choose(selector);
    } catch (const StationError& e) {
      throw NoDeviceError(*prepared.bench, e.what());
    }
    if (!prepared.device) {
      if (std::string notice = prepared.bench->TakeNotice(); !notice.empty()) {
        console.err << notice << '\n' << std::flush;
      }
    }
    return prepared;
  }
  if (!prepared.bench->Find(selector)) {
    console.err << "Waiting for " << (selector.Any() ? "a device" : options.device) << "...\n"
                << std::flush;
  }
  prepared.device = prepared.bench->WaitFor(selector, WaitTimeout(options), Interrupted);
  if (!prepared.device) {
    if (Interrupted()) {
      throw CliError(kExitNoDevice, "stopped while waiting for a device; nothing was sent");
    }
    throw NoDeviceError(*prepared.bench,
                        "no device appeared within " + Seconds(*options.waitSeconds) + " s");
  }
  return prepared;
}

// What every board's record shares: this machine, this Korvane, the command and its file.
station::RecordContext RecordFor(const std::string& command, const std::string& file) {
  station::RecordContext context;
  context.host = platform::HostName();
  context.version = KORVANE_VERSION;
  context.command = command;
  if (!file.empty()) {
    context.file = file;
    try {
      context.fileSha256 = station::Sha256Hex(platform::ReadFile(file));
    } catch (const platform::FileError& e) {
      throw CliError(kExitFileError, e.what());
    }
  }
  return context;
}

// The log must take lines before any packet goes out.
void CheckLog(const std::string& logFile) {
  if (logFile.empty()) {
    return;
  }
  try {
    platform::AppendToFile(logFile, "");
  } catch (const platform::FileError& e) {
    throw CliError(kExitFileError, e.what());
  }
}

// Turns a run's exit code into 4 when a board's record could not be appended to the log.
int WithRecords(int code, const std::vector<BoardReport>& reports, Console& console) {
  bool lost = false;
  for (const BoardReport& report : reports) {
    if (!report.recordError.empty()) {
      console.err << "korvane-cli: " << (report.device.empty() ? "" : report.device + ": ")
                  << "the record was not written: " << report.recordError << '\n';
      lost = true;
    }
  }
  return lost && code == kExitSuccess ? kExitFileError : code;
}

// The job of an update or a verify, as the choices say.
BoardJob UpdateJob(const image::MemoryImage& image, const UpdateChoices& choices,
                   const std::string& file) {
  BoardJob job;
  job.action = choices.verifyOnly ? BoardAction::Verify : BoardAction::Update;
  job.image = &image;
  job.flash = !choices.noFlash;
  job.eeprom = choices.eeprom;
  job.reset = choices.reset;
  job.backupFile = choices.backupFile;
  if (!choices.serial.file.empty()) {
    station::SerialPlan plan;
    plan.file = choices.serial.file;
    plan.address = choices.serial.address.value_or(0);
    plan.bytes = choices.serial.bytes;
    plan.format = station::ParseSerialFormat(choices.serial.format)
                      .value_or(station::SerialFormat::LittleEndian);
    job.serial = plan;
  }
  job.logFile = choices.logFile;
  if (!job.logFile.empty()) {
    job.record = RecordFor(choices.verifyOnly ? "verify" : "update", file);
  }
  return job;
}

int UpdateAll(const BoardJob& job, const UpdateChoices& choices, const DeviceOptions& options,
              Console& console) {
  std::unique_ptr<DeviceBench> bench = DeviceBench::Create(options);
  PrintDiagnostics(*bench, options, console);
  station::RefuseSeveralOn(*bench);
  std::vector<link::AttachedDevice> devices;
  if (options.wait || choices.expect) {
    if (options.wait) {
      console.err << "Waiting for "
                  << (choices.expect ? std::to_string(*choices.expect) + " devices"
                                     : std::string("the devices"))
                  << "...\n"
                  << std::flush;
    }
    const auto timeout =
        options.wait ? WaitTimeout(options) : std::optional(std::chrono::milliseconds(0));
    std::size_t answered = 0;
    const auto found = bench->WaitForDevices(choices.expect, timeout, Interrupted, &answered);
    if (!found) {
      if (Interrupted()) {
        throw CliError(kExitNoDevice, "stopped while waiting for devices; nothing was written");
      }
      if (!choices.expect) {
        throw NoDeviceError(*bench, "no device appeared in time");
      }
      const std::size_t attached = bench->List().size();
      const bool fewAttached = attached < *choices.expect;
      throw NoDeviceError(*bench, "only " + std::to_string(fewAttached ? attached : answered) +
                                      " of the " + std::to_string(*choices.expect) +
                                      " expected devices " +
                                      (fewAttached ? "are attached" : "answered") +
                                      (options.wait ? " in time" : "") + "; nothing was written");
    }
    devices = *found;
  } else {
    devices = bench->List();
  }
  if (devices.empty()) {
    throw NoDeviceError(*bench, "no device is attached");
  }
  LinePrinter printer(choices, console, false, Interrupted);
  printer.Human() << (choices.verifyOnly ? "Verifying " : "Updating ") << devices.size()
                  << (devices.size() == 1 ? " device" : " devices") << " at once\n"
                  << std::flush;
  const std::vector<BoardReport> reports = station::RunAll(*bench, devices, job, printer);
  bench->Save();

  std::size_t failed = 0;
  bool anyAnswered = false;
  bool anyBusy = false;
  for (const BoardReport& report : reports) {
    printer.Human() << ReportLine(report) << '\n';
    failed += report.verdict != Verdict::Success;
    anyAnswered = anyAnswered || report.verdict != Verdict::NoDevice;
    anyBusy = anyBusy || report.verdict == Verdict::Busy;
  }
  printer.Human() << reports.size() - failed << " of " << reports.size()
                  << (choices.verifyOnly ? " match\n" : " updated\n") << std::flush;
  int code = kExitUpdateFailed;
  if (failed == 0) {
    code = kExitSuccess;
  } else if (!anyAnswered) {
    code = kExitNoDevice;
    PrintNoDeviceAdvice(*bench, console);
  } else if (failed == reports.size() && anyBusy) {
    code = kExitBusy;
  }
  return printer.RecordsLost() && code == kExitSuccess ? kExitFileError : code;
}

int UpdateLoop(const BoardJob& job, const UpdateChoices& choices, const DeviceOptions& options,
               Console& console) {
  std::unique_ptr<DeviceBench> bench = DeviceBench::Create(options);
  PrintDiagnostics(*bench, options, console);
  // The first Ctrl+C ends the loop once the device in progress is done; a second one stops
  // that device's update too.
  LinePrinter printer(choices, console, true, [] { return gInterrupted.load() >= 2; });
  const station::LoopSummary summary =
      station::RunLoop(*bench, station::ParseDeviceSelector(options.device), job, printer,
                       [] { return gInterrupted.load() >= 1; });
  bench->Save();
  printer.Human() << summary.boards << (summary.boards == 1 ? " device: " : " devices: ")
                  << summary.boards - summary.failed << " updated, " << summary.failed
                  << " failed\n"
                  << std::flush;
  if (choices.json) {
    printer.Json().Emit("\"event\":\"summary\",\"devices\":" + std::to_string(summary.boards) +
                        ",\"succeeded\":" + std::to_string(summary.boards - summary.failed) +
                        ",\"failed\":" + std::to_string(summary.failed));
  }
  const int code = summary.failed == 0 ? kExitSuccess : kExitUpdateFailed;
  return printer.RecordsLost() && code == kExitSuccess ? kExitFileError : code;
}

// Runs one board's job on the prepared device, with the command's trace; the bench is saved
// whatever came of it.
BoardReport RunPrepared(Prepared& prepared, const BoardJob& job, station::StationObserver& observer,
                        Trace& trace, bool& abortRequested) {
  const std::string name = prepared.device ? DeviceName(*prepared.device) : std::string();
  station::ObserverMessages messages(observer, name);
  const std::unique_ptr<station::BoardView> view = observer.ViewFor(name, abortRequested);
  const BoardReport report = station::RunBoard(prepared.bench->Target(prepared.device), job,
                                               messages, trace.Tap(), *view, abortRequested);
  prepared.bench->Save();
  trace.Finish();
  return report;
}

}  // namespace

std::string InfoText(const std::string& file, const image::MemoryImage& image,
                     const image::LoadReport& report) {
  std::ostringstream text;
  text << "File: " << file << '\n';
  text << "Program flash: " << RangesText(report.flashRanges) << '\n';
  text << "EEPROM: " << RangesText(report.eepromRanges) << '\n';
  text << "User ID: " << RangesText(report.userIdRanges) << '\n';
  text << "Config: " << RangesText(report.configRanges) << '\n';
  text << "HighestFlashAddress: "
       << HexAddress(static_cast<std::uint32_t>(image.HighestFlashAddress), 4) << " ("
       << image.HighestFlashAddress << ")\n";
  text << "Config bytes present: " << (image.ConfigPresent ? "yes" : "no") << '\n';
  text << "Records: " << report.records << ", bytes stored: " << report.bytesStored << '\n';
  text << "Unsupported record types: "
       << (report.unsupportedRecordTypes.empty() ? "none"
                                                 : JoinNumbers(report.unsupportedRecordTypes, ", "))
       << '\n';
  text << "Malformed lines: "
       << CountWithLines(report.malformedCount, report.malformedCount, report.malformedLines)
       << '\n';
  text << "Checksum errors: "
       << CountWithLines(report.checksumErrorCount, report.checksumErrorCount,
                         report.checksumErrorLines)
       << '\n';
  text << "Bytes beyond the device's memory: "
       << CountWithLines(report.bytesOutsideMemory, report.outsideMemoryLineCount,
                         report.outsideMemoryLines)
       << '\n';
  if (report.NoData()) {
    text << "No data: the file stored nothing\n";
  }
  return text.str();
}

std::string InfoJson(const std::string& file, const image::MemoryImage& image,
                     const image::LoadReport& report) {
  std::string json = "{";
  json += "\"file\":" + JsonString(file);
  json += ",\"highest_flash_address\":" + std::to_string(image.HighestFlashAddress);
  json += std::string(",\"config_present\":") + (image.ConfigPresent ? "true" : "false");
  json += ",\"records\":" + std::to_string(report.records);
  json += ",\"bytes_stored\":" + std::to_string(report.bytesStored);
  json += std::string(",\"no_data\":") + (report.NoData() ? "true" : "false");
  json += ",\"unsupported_record_types\":" + JsonArray(report.unsupportedRecordTypes);
  json += ",\"malformed_lines\":" + std::to_string(report.malformedCount);
  json += ",\"malformed_line_numbers\":" + JsonArray(report.malformedLines);
  json += ",\"checksum_errors\":" + std::to_string(report.checksumErrorCount);
  json += ",\"checksum_error_lines\":" + JsonArray(report.checksumErrorLines);
  json += ",\"bytes_outside_memory\":" + std::to_string(report.bytesOutsideMemory);
  json += ",\"outside_memory_lines\":" + JsonArray(report.outsideMemoryLines);
  json += ",\"ranges\":{\"flash\":" + JsonRanges(report.flashRanges);
  json += ",\"eeprom\":" + JsonRanges(report.eepromRanges);
  json += ",\"user_id\":" + JsonRanges(report.userIdRanges);
  json += ",\"config\":" + JsonRanges(report.configRanges) + "}";
  json += "}";
  return json;
}

int InfoCommand(const std::string& file, bool json, Console& console) {
  const LoadedFile loaded = LoadFile(file, console);
  console.out << (json ? InfoJson(file, loaded.image, loaded.report) + "\n"
                       : InfoText(file, loaded.image, loaded.report))
              << std::flush;
  return kExitSuccess;
}

int ExportCommand(const std::string& file, const ExportTargets& targets, Console& console) {
  if (targets.flash.empty() && targets.eeprom.empty() && targets.userId.empty() &&
      targets.config.empty()) {
    throw CliError(kExitUsage,
                   "export: nothing to write; give --flash, --eeprom, --userid or "
                   "--config");
  }
  const auto loaded = std::make_unique<LoadedFile>(LoadFile(file, console));
  WriteBuffer(targets.flash, loaded->image.FlashImage);
  WriteBuffer(targets.eeprom, loaded->image.EepromImage);
  WriteBuffer(targets.userId, loaded->image.UserIdImage);
  WriteBuffer(targets.config, loaded->image.ConfigImage);
  return kExitSuccess;
}

int ScrambleCommand(const std::string& in, const std::string& out, Console&) {
  std::string data;
  try {
    data = platform::ReadFile(in);
  } catch (const platform::FileError& e) {
    throw CliError(kExitFileError, e.what());
  }
  WriteOutput(out, image::Scramble(data));
  return kExitSuccess;
}

int DetectCommand(const DeviceOptions& device, bool json, Console& console) {
  const InterruptGuard interruptGuard;
  Prepared prepared = Prepare(device, console);
  const std::string name = prepared.device ? DeviceName(*prepared.device) : std::string();
  Trace trace(device.traceFile);
  station::VersionAnswer answer;
  {
    DeviceTarget target = prepared.bench->Target(prepared.device);
    // A query between another run's packets would disturb it.
    const auto lock = station::ClaimDevice(target.lockFile, name);
    StreamLinkMessages messages(console.err);
    station::DeviceSession session(std::move(target), messages, trace.Tap());
    answer = station::QueryVersion(session.Link());
  }
  prepared.bench->Save();
  trace.Finish();
  const bool found = answer.reply.has_value();
  if (json) {
    std::string line = "\"event\":\"detect\"" + DeviceField(name);
    line += ",\"found\":" + JsonBool(found);
    if (found) {
      line += ",\"text\":" + JsonString(link::VersionText(*answer.reply)) +
              ",\"version\":" + JsonString(station::VersionNumber(*answer.reply)) +
              ",\"major\":" + std::to_string((*answer.reply)[3]) +
              ",\"minor\":" + std::to_string((*answer.reply)[2]);
    }
    line += ",\"exit_code\":" + std::to_string(found ? kExitSuccess : kExitNoDevice);
    JsonLines(console.out).Emit(line);
  }
  if (found) {
    (json ? console.err : console.out) << link::VersionText(*answer.reply) << '\n' << std::flush;
    return kExitSuccess;
  }
  console.err << "Unable to find an Dextrel device.\n";
  PrintNoDeviceAdvice(*prepared.bench, console);
  return kExitNoDevice;
}

int UpdateCommand(const std::string& file, const UpdateChoices& choices,
                  const DeviceOptions& device, Console& console) {
  station::CheckDeviceOptions(device);
  const std::string command = choices.verifyOnly ? "verify" : "update";
  if (choices.noFlash && !choices.eeprom) {
    throw CliError(kExitUsage,
                   command + ": --no-flash without --eeprom leaves nothing to " + command);
  }
  if (choices.repeat && !device.wait) {
    throw CliError(kExitUsage, "update: --repeat needs --wait");
  }
  if (choices.all && (choices.repeat || !device.device.empty())) {
    throw CliError(kExitUsage,
                   command + ": --all takes every device; not with --repeat or --device");
  }
  if (choices.expect && !choices.all) {
    throw CliError(kExitUsage, command + ": --expect counts the devices of --all");
  }
  if ((choices.all || choices.repeat) && !device.traceFile.empty()) {
    throw CliError(kExitUsage,
                   command + ": --trace follows one device; not with --all or --repeat");
  }
  if (choices.serial.file.empty() != !choices.serial.address) {
    throw CliError(kExitUsage, "update: --serial-file and --serial-at go together");
  }
  if (!station::ParseSerialFormat(choices.serial.format)) {
    throw CliError(kExitUsage, "update: --serial-format takes le, be or ascii");
  }
  const auto loaded = std::make_unique<LoadedFile>(LoadFile(file, console));
  // Before any packet: the file must hold what is to be written, and be whole; a serial
  // number must land in what is written; the log must take lines.
  station::CheckUpdateFile(file, loaded->report, !choices.noFlash, choices.eeprom, choices.force);
  if (!choices.all && !choices.repeat) {
    station::CheckBackupName(choices.backupFile, file);
  }
  const BoardJob job = UpdateJob(loaded->image, choices, file);
  if (job.serial) {
    station::CheckSerialPlan(*job.serial, loaded->image, job.flash, job.eeprom);
  }
  CheckLog(choices.logFile);
  const InterruptGuard interruptGuard;
  if (choices.all) {
    return UpdateAll(job, choices, device, console);
  }
  if (choices.repeat) {
    return UpdateLoop(job, choices, device, console);
  }

  Prepared prepared = Prepare(device, console);
  Trace trace(device.traceFile);
  LinePrinter printer(choices, console, true, Interrupted);
  bool abortRequested = false;
  const BoardReport report = RunPrepared(prepared, job, printer, trace, abortRequested);
  std::ostream& human = printer.Human();
  if (!report.backupWritten.empty()) {
    console.err << "Backup written to " << report.backupWritten << '\n';
  }
  if (choices.verifyOnly && !report.result.empty()) {
    human << report.result << '\n';
  }
  if (report.serial) {
    human << "Serial number " << *report.serial
          << (report.verdict == Verdict::Success ? " written.\n"
                                                 : " taken for this board (not used again).\n");
  }
  if (report.resetSent) {
    human << "Device reset sent.\n";
  }
  if (!report.reason.empty()) {
    console.err << "korvane-cli: " << report.reason << '\n';
  }
  if (report.verdict == Verdict::NoDevice) {
    PrintNoDeviceAdvice(*prepared.bench, console);
  }
  human << std::flush;
  if (choices.json) {
    printer.Json().Emit(OutcomeJson(report, DeviceField(report.device)));
  }
  return WithRecords(station::ExitCode(report.verdict), {report}, console);
}

int VerifyCommand(const std::string& file, const UpdateChoices& choices,
                  const DeviceOptions& device, Console& console) {
  UpdateChoices verify = choices;
  verify.verifyOnly = true;
  return UpdateCommand(file, verify, device, console);
}

int ResetCommand(const DeviceOptions& device, bool json, const std::string& logFile,
                 Console& console) {
  CheckLog(logFile);
  const InterruptGuard interruptGuard;
  Prepared prepared = Prepare(device, console);
  Trace trace(device.traceFile);
  UpdateChoices quiet;
  quiet.json = json;
  LinePrinter printer(quiet, console, true, Interrupted);
  bool abortRequested = false;
  BoardJob job;
  job.action = BoardAction::Reset;
  job.logFile = logFile;
  if (!logFile.empty()) {
    job.record = RecordFor("reset", "");
  }
  const BoardReport report = RunPrepared(prepared, job, printer, trace, abortRequested);
  if (json) {
    printer.Json().Emit("\"event\":\"reset\"" + DeviceField(report.device) +
                        ",\"reset\":" + JsonBool(report.resetSent) +
                        ",\"exit_code\":" + std::to_string(station::ExitCode(report.verdict)) +
                        ",\"reason\":" + JsonString(report.reason));
  }
  if (!report.resetSent) {
    console.err << "korvane-cli: " << report.reason << '\n';
    if (report.verdict == Verdict::NoDevice) {
      PrintNoDeviceAdvice(*prepared.bench, console);
    }
    return WithRecords(station::ExitCode(report.verdict), {report}, console);
  }
  printer.Human() << "Device reset sent.\n" << std::flush;
  return WithRecords(kExitSuccess, {report}, console);
}

int BackupCommand(const std::string& file, const DeviceOptions& device, const std::string& logFile,
                  Console& console) {
  station::CheckBackupName(file);
  CheckLog(logFile);
  const InterruptGuard interruptGuard;
  Prepared prepared = Prepare(device, console);
  Trace trace(device.traceFile);
  UpdateChoices plain;
  LinePrinter printer(plain, console, true, Interrupted);
  bool abortRequested = false;
  BoardJob job;
  job.action = BoardAction::Backup;
  job.backupFile = file;
  job.logFile = logFile;
  if (!logFile.empty()) {
    job.record = RecordFor("backup", "");
  }
  const BoardReport report = RunPrepared(prepared, job, printer, trace, abortRequested);
  if (report.verdict != Verdict::Success) {
    console.err << "korvane-cli: " << report.reason << '\n';
    if (report.verdict == Verdict::NoDevice) {
      PrintNoDeviceAdvice(*prepared.bench, console);
    }
    return WithRecords(station::ExitCode(report.verdict), {report}, console);
  }
  console.out << "Backup of program flash 0x0800-0x7FFF and the EEPROM written to " << file << '\n'
              << std::flush;
  return WithRecords(kExitSuccess, {report}, console);
}

int ListCommand(const DeviceOptions& device, bool json, Console& console) {
  std::unique_ptr<DeviceBench> bench = DeviceBench::Create(device, station::BenchUse::Look);
  PrintDiagnostics(*bench, device, console);
  const std::vector<link::AttachedDevice> devices = bench->List();
  std::string jsonDevices;
  for (const link::AttachedDevice& attached : devices) {
    // A device another run holds is not opened: a query between its packets would disturb it.
    const std::optional<std::uint64_t> holder = bench->Holder(attached);
    std::ostringstream messagesText;
    station::VersionAnswer answer;
    if (!holder) {
      StreamLinkMessages messages(messagesText);
      station::DeviceSession session(bench->Target(attached), messages, nullptr);
      answer = station::QueryVersion(session.Link());
    }
    const bool found = answer.reply.has_value();
    // The last message says most (the access advice follows the open failure).
    std::string note;
    if (holder) {
      note = "busy: in use by another Korvane run" +
             (*holder != 0 ? " (process " + std::to_string(*holder) + ")" : std::string());
    }
    std::istringstream messages(messagesText.str());
    for (std::string line; std::getline(messages, line);) {
      note = line;
    }
    const std::string place = attached.location.empty() ? "-" : attached.location;
    if (json) {
      jsonDevices += std::string(jsonDevices.empty() ? "" : ",") +
                     "{\"instance\":" + std::to_string(attached.instance) +
                     ",\"location\":" + JsonString(attached.location) +
                     ",\"answered\":" + JsonBool(found) +
                     ",\"busy\":" + JsonBool(holder.has_value());
      if (found) {
        jsonDevices += ",\"version\":" + JsonString(station::VersionNumber(*answer.reply)) +
                       ",\"major\":" + std::to_string((*answer.reply)[3]) +
                       ",\"minor\":" + std::to_string((*answer.reply)[2]);
      } else {
        jsonDevices += ",\"problem\":" + JsonString(note);
      }
      jsonDevices += "}";
    } else {
      std::string line = std::to_string(attached.instance);
      line.resize(std::max<std::size_t>(line.size() + 2, 4), ' ');
      line += place;
      line.resize(std::max<std::size_t>(line.size() + 2, 16), ' ');
      line += found    ? "bootloader " + station::VersionNumber(*answer.reply)
              : holder ? note
                       : "no answer" + (note.empty() ? std::string() : ": " + note);
      console.out << line << '\n';
    }
  }
  if (json) {
    console.out << "{\"devices\":[" << jsonDevices << "]}\n";
  }
  console.out << std::flush;
  if (devices.empty()) {
    if (std::string notice = bench->TakeNotice(); !notice.empty()) {
      console.err << notice << '\n';
    }
    console.err << "No bootloader device is attached.\n";
    PrintNoDeviceAdvice(*bench, console);
    return kExitNoDevice;
  }
  return kExitSuccess;
}

}  // namespace korvane::cli
