#include "cli/Commands.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <span>
#include <sstream>
#include <vector>

#include "cli/BoardLines.h"
#include "cli/Interrupts.h"
#include "cli/JsonEvents.h"
#include "cli/Output.h"
#include "cli/ProgressPrinter.h"
#include "cli/Texts.h"
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
using station::FileRole;
using station::StationError;
using station::Verdict;

// What the log must be able to take before a run starts: more than any record line needs.
constexpr std::size_t kLogReserve = 4096;
// A previous trace is looked at whole before it is replaced; a bigger file is not a trace.
constexpr std::uintmax_t kMaxTraceSize = 64u * 1024u * 1024u;

struct LoadedFile {
  image::MemoryImage image;
  image::LoadReport report;
  std::string sha256;  // of the bytes that were loaded
};

// Loads an update file as the windows do; the loader's messages go to standard error. The file
// is read once: the bytes hashed for the record are the bytes loaded.
LoadedFile LoadFile(const std::string& path, Console& console) {
  LoadedFile loaded;
  StreamLoaderHost host(console.err);
  image::UpdateFileLoader loader(loaded.image, host);
  std::string bytes;
  image::LoadResult result = loader.LoadUpdateFile(path, &bytes);
  if (!result.loaded) {
    // The loader has already said which file and why.
    throw CliError(kExitFileError, "");
  }
  loaded.report = std::move(result.report);
  loaded.sha256 = station::Sha256Hex(bytes);
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
    text += HexNumber(range.first, 6) + "-" + HexNumber(range.last, 6);
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

// The files of the emulated devices' memories (--emulated-state): read and written.
std::vector<FileRole> StateFiles(const station::DeviceOptions& options) {
  std::vector<FileRole> files;
  if (options.stateDir.empty()) {
    return files;
  }
  const std::filesystem::path base = platform::PathFromUtf8(options.stateDir);
  std::vector<std::filesystem::path> folders;
  if (options.emulatedDevices > 0) {
    for (int i = 0; i < options.emulatedDevices; ++i) {
      folders.push_back(base / std::to_string(i));
    }
  } else {
    folders.push_back(base);
  }
  for (const std::filesystem::path& folder : folders) {
    for (const char* name : {"flash.bin", "eeprom.bin"}) {
      files.push_back({"the emulated device's memory", platform::Utf8FromPath(folder / name)});
    }
  }
  return files;
}

// --trace FILE replaces only a trace: a file that is not there yet, or one that holds nothing
// but trace lines. Anything else is refused before any packet.
void CheckTraceFile(const std::string& file) {
  if (file.empty() || !platform::Exists(file)) {
    return;
  }
  std::error_code error;
  const std::filesystem::path path = platform::PathFromUtf8(file);
  bool trace = std::filesystem::is_regular_file(path, error) &&
               std::filesystem::file_size(path, error) <= kMaxTraceSize && !error;
  if (trace) {
    try {
      trace = IsTraceText(platform::ReadFile(file));
    } catch (const platform::FileError&) {
      trace = false;
    }
  }
  if (!trace) {
    throw CliError(kExitFileError, "the trace file " + file +
                                       " already exists and is not a packet trace; --trace "
                                       "replaces only an earlier trace: choose a new name");
  }
}

// Before any packet: no file the command writes may be one it reads or another it writes.
void CheckFiles(const std::vector<FileRole>& inputs, std::vector<FileRole> outputs,
                const DeviceOptions& options) {
  outputs.push_back({"the trace file", options.traceFile});
  for (FileRole& state : StateFiles(options)) {
    outputs.push_back(std::move(state));
  }
  station::CheckFileRoles(inputs, outputs);
  CheckTraceFile(options.traceFile);
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
  // Why the trace could not be written whole, or empty.
  std::string Finish() {
    if (writer_) {
      stream_.close();
      if (!stream_) {
        return "cannot write the trace file " + file_;
      }
    }
    return {};
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

// The bench of a device command; the diagnostics with --verbose, and a word when the device
// locks cannot go to the machine's lock folder.
std::unique_ptr<DeviceBench> MakeBench(const DeviceOptions& options, Console& console,
                                       station::BenchUse use = station::BenchUse::Run) {
  std::unique_ptr<DeviceBench> bench = DeviceBench::Create(options, use);
  if (const std::string notice = platform::LockFolderNotice(); !notice.empty()) {
    console.err << "korvane-cli: " << notice << '\n';
  }
  if (options.verbose) {
    for (const std::string& line : bench->Diagnostics()) {
      console.err << line << '\n';
    }
  }
  console.err << std::flush;
  return bench;
}

// The bench, and the device a one-device command talks to: waited for with --wait, else the
// one --device names (instance 0 by default).
struct Prepared {
  std::unique_ptr<DeviceBench> bench;
  std::optional<link::AttachedDevice> device;
};

Prepared Prepare(const DeviceOptions& options, Console& console) {
  Prepared prepared{MakeBench(options, console), std::nullopt};
  const station::DeviceSelector selector = station::ParseDeviceSelector(options.device);
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
station::RecordContext RecordFor(const std::string& command, const std::string& file,
                                 const std::string& fileSha256) {
  station::RecordContext context;
  context.host = platform::HostName();
  context.version = KORVANE_VERSION;
  context.command = command;
  if (!file.empty()) {
    context.file = file;
    context.fileSha256 = fileSha256;
  }
  return context;
}

// Before any packet the log must show that it can take a line now: a full disk or a size limit
// stops the command here, not after a board was written.
void CheckLog(const std::string& logFile) {
  if (logFile.empty()) {
    return;
  }
  try {
    platform::ReserveAppend(logFile, kLogReserve);
  } catch (const platform::FileError& e) {
    throw CliError(kExitFileError, e.what());
  }
}

// The job of an update or a verify, as the choices say.
BoardJob UpdateJob(const LoadedFile& loaded, const UpdateChoices& choices,
                   const std::string& file) {
  BoardJob job;
  job.action = choices.verifyOnly ? BoardAction::Verify : BoardAction::Update;
  job.image = &loaded.image;
  job.flash = !choices.noFlash;
  job.eeprom = choices.eeprom;
  job.reset = choices.reset;
  job.backupFile = choices.backupFile;
  if (choices.serial.address) {
    station::SerialPlan plan;
    plan.file = choices.serial.file;
    plan.address = *choices.serial.address;
    plan.bytes = choices.serial.bytes;
    plan.format = station::ParseSerialFormat(choices.serial.format)
                      .value_or(station::SerialFormat::LittleEndian);
    job.serial = plan;
  }
  job.logFile = choices.logFile;
  if (!job.logFile.empty()) {
    job.record = RecordFor(choices.verifyOnly ? "verify" : "update", file, loaded.sha256);
  }
  return job;
}

// Runs one board's job on the prepared device, with the command's trace; the bench is saved
// whatever came of it. A trace or state that cannot be written leaves the board's outcome as
// it is and makes the command's exit code 4.
BoardReport RunPrepared(Prepared& prepared, const BoardJob& job, station::StationObserver& observer,
                        Trace& trace) {
  const std::string name = prepared.device ? DeviceName(*prepared.device) : std::string();
  station::ObserverMessages messages(observer, name);
  const std::unique_ptr<station::BoardView> view = observer.ViewFor(name);
  BoardReport report = station::RunBoard(prepared.bench->Target(prepared.device), job, messages,
                                         trace.Tap(), *view, observer.BoardStop());
  try {
    prepared.bench->Save();
  } catch (const StationError& e) {
    station::NoteOutputFailure(report, e.what());
  }
  if (const std::string traceError = trace.Finish(); !traceError.empty()) {
    station::NoteOutputFailure(report, traceError);
  }
  return report;
}

// A record or another output of a one-board command that was lost after the board was done.
void PrintLost(const BoardReport& report, Console& console) {
  if (!report.outputError.empty()) {
    console.err << "korvane-cli: " << report.outputError << '\n';
  }
  if (!report.recordError.empty()) {
    console.err << "korvane-cli: the record was not written: " << report.recordError << '\n';
  }
  console.err << std::flush;
}

// The exit code of several boards run at once: 4 when a record or another output was lost, 0
// when every board succeeded, 3 when none answered, 5 when every one was busy, else 1.
int AllExitCode(const std::vector<BoardReport>& reports) {
  bool lost = false;
  bool anyAnswered = false;
  bool allBusy = true;
  bool allSucceeded = true;
  for (const BoardReport& report : reports) {
    lost = lost || !report.recordError.empty() || !report.outputError.empty();
    anyAnswered = anyAnswered || report.verdict != Verdict::NoDevice;
    allBusy = allBusy && report.verdict == Verdict::Busy;
    allSucceeded = allSucceeded && report.verdict == Verdict::Success;
  }
  if (lost) {
    return kExitFileError;
  }
  if (allSucceeded) {
    return kExitSuccess;
  }
  return !anyAnswered ? kExitNoDevice : allBusy ? kExitBusy : kExitUpdateFailed;
}

// The devices of --all: every attached one, or with --wait and --expect those that came and
// answer. Throws CliError when there are none, or fewer than expected.
std::vector<link::AttachedDevice> AllDevices(DeviceBench& bench, const UpdateChoices& choices,
                                             const DeviceOptions& options) {
  std::vector<link::AttachedDevice> devices;
  if (options.wait || choices.expect) {
    const auto timeout =
        options.wait ? WaitTimeout(options) : std::optional(std::chrono::milliseconds(0));
    std::size_t answered = 0;
    const auto found = bench.WaitForDevices(choices.expect, timeout, Interrupted, &answered);
    if (!found) {
      if (Interrupted()) {
        throw CliError(kExitNoDevice, "stopped while waiting for devices; nothing was written");
      }
      if (!choices.expect) {
        throw NoDeviceError(bench, "no device appeared in time");
      }
      const std::size_t attached = bench.List().size();
      const bool fewAttached = attached < *choices.expect;
      throw NoDeviceError(bench, "only " + std::to_string(fewAttached ? attached : answered) +
                                     " of the " + std::to_string(*choices.expect) +
                                     " expected devices " +
                                     (fewAttached ? "are attached" : "answered") +
                                     (options.wait ? " in time" : "") + "; nothing was written");
    }
    devices = *found;
  } else {
    devices = bench.List();
  }
  if (devices.empty()) {
    throw NoDeviceError(bench, "no device is attached");
  }
  return devices;
}

// Several boards at once (update, verify, reset --all): one line per board once all are done,
// then how many did it; the JSON outcome lines come last, when the exit code is known.
int RunAllBoards(const BoardJob& job, const UpdateChoices& choices, const DeviceOptions& options,
                 Console& console) {
  std::unique_ptr<DeviceBench> bench = MakeBench(options, console);
  station::RefuseSeveralOn(*bench);
  if (options.wait) {
    console.err << "Waiting for "
                << (choices.expect ? std::to_string(*choices.expect) + " devices"
                                   : std::string("the devices"))
                << "...\n"
                << std::flush;
  }
  const std::vector<link::AttachedDevice> devices = AllDevices(*bench, choices, options);
  LinePrinter printer(choices, console, false, Interrupted, true);
  const char* doing = job.action == BoardAction::Verify  ? "Verifying "
                      : job.action == BoardAction::Reset ? "Resetting "
                                                         : "Updating ";
  printer.Human() << doing << devices.size() << (devices.size() == 1 ? " device" : " devices")
                  << " at once\n"
                  << std::flush;
  std::vector<BoardReport> reports = station::RunAll(*bench, devices, job, printer);
  try {
    bench->Save();
  } catch (const StationError& e) {
    for (BoardReport& report : reports) {
      station::NoteOutputFailure(report, e.what());
    }
    console.err << "korvane-cli: " << e.what() << '\n' << std::flush;
  }

  std::size_t done = 0;
  std::size_t resetMissing = 0;
  for (const BoardReport& report : reports) {
    printer.Human() << ReportLine(report) << '\n';
    done +=
        job.action == BoardAction::Update ? report.Updated() : report.verdict == Verdict::Success;
    resetMissing += report.ResetMissing();
  }
  printer.Human() << done << " of " << reports.size()
                  << (job.action == BoardAction::Verify  ? " match"
                      : job.action == BoardAction::Reset ? " reset"
                                                         : " updated");
  if (resetMissing > 0) {
    printer.Human() << ", the reset of " << resetMissing << " was not sent";
  }
  printer.Human() << '\n' << std::flush;
  const int code = AllExitCode(reports);
  if (code == kExitNoDevice) {
    PrintNoDeviceAdvice(*bench, console);
  }
  if (choices.json) {
    for (const BoardReport& report : reports) {
      printer.Json().Emit(job.action == BoardAction::Reset
                              ? ResetJson(report)
                              : OutcomeJson(report, DeviceField(report.device)));
    }
  }
  return code;
}

int UpdateLoop(const BoardJob& job, const UpdateChoices& choices, const DeviceOptions& options,
               Console& console) {
  std::unique_ptr<DeviceBench> bench = MakeBench(options, console);
  // The first Ctrl+C ends the loop once the device in progress is done; a second one stops
  // that device's update too.
  LinePrinter printer(choices, console, true, [] { return Interruptions() >= 2; });
  const station::LoopSummary summary =
      station::RunLoop(*bench, station::ParseDeviceSelector(options.device), job, printer,
                       [] { return Interruptions() >= 1; });
  printer.Human() << summary.boards << (summary.boards == 1 ? " device: " : " devices: ")
                  << summary.updated << " updated, " << summary.failed << " failed";
  if (summary.resetMissing > 0) {
    printer.Human() << ", the reset of " << summary.resetMissing << " was not sent";
  }
  printer.Human() << '\n' << std::flush;
  const int code = summary.outputLost                                 ? kExitFileError
                   : summary.failed == 0 && summary.resetMissing == 0 ? kExitSuccess
                                                                      : kExitUpdateFailed;
  if (choices.json) {
    printer.Json().Emit(JsonFields()
                            .Add("event", "summary")
                            .Add("devices", summary.boards)
                            .Add("succeeded", summary.succeeded)
                            .Add("failed", summary.boards - summary.succeeded)
                            .Add("updated", summary.updated)
                            .Add("exit_code", code));
  }
  return code;
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
       << HexNumber(static_cast<std::uint32_t>(image.HighestFlashAddress), 4) << " ("
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
  const auto ranges = [](const std::vector<image::AddressRange>& list) {
    Json json = Json::array();
    for (const image::AddressRange& range : list) {
      json.push_back({{"first", range.first}, {"last", range.last}});
    }
    return json;
  };
  const Json json = {
      {"file", file},
      {"highest_flash_address", image.HighestFlashAddress},
      {"config_present", image.ConfigPresent},
      {"records", report.records},
      {"bytes_stored", report.bytesStored},
      {"no_data", report.NoData()},
      {"unsupported_record_types", report.unsupportedRecordTypes},
      {"malformed_lines", report.malformedCount},
      {"malformed_line_numbers", report.malformedLines},
      {"checksum_errors", report.checksumErrorCount},
      {"checksum_error_lines", report.checksumErrorLines},
      {"bytes_outside_memory", report.bytesOutsideMemory},
      {"outside_memory_lines", report.outsideMemoryLines},
      {"ranges",
       {{"flash", ranges(report.flashRanges)},
        {"eeprom", ranges(report.eepromRanges)},
        {"user_id", ranges(report.userIdRanges)},
        {"config", ranges(report.configRanges)}}},
  };
  return station::JsonText(json);
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
  station::CheckFileRoles({{"the update file", file}}, {{"the --flash file", targets.flash},
                                                        {"the --eeprom file", targets.eeprom},
                                                        {"the --userid file", targets.userId},
                                                        {"the --config file", targets.config}});
  const auto loaded = std::make_unique<LoadedFile>(LoadFile(file, console));
  WriteBuffer(targets.flash, loaded->image.FlashImage);
  WriteBuffer(targets.eeprom, loaded->image.EepromImage);
  WriteBuffer(targets.userId, loaded->image.UserIdImage);
  WriteBuffer(targets.config, loaded->image.ConfigImage);
  return kExitSuccess;
}

int ScrambleCommand(const std::string& in, const std::string& out, Console&) {
  station::CheckFileRoles({{"the input file", in}}, {{"the output file", out}});
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
  station::CheckDeviceOptions(device);
  CheckFiles({}, {}, device);
  const InterruptGuard interruptGuard;
  Prepared prepared = Prepare(device, console);
  const std::string name = prepared.device ? DeviceName(*prepared.device) : std::string();
  Trace trace(device.traceFile);
  link::BootloaderClient::VersionResult answer;
  {
    DeviceTarget target = prepared.bench->Target(prepared.device);
    // A query between another run's packets would disturb it.
    const auto lock = station::ClaimDevice(target.lockFile, name);
    StreamLinkMessages messages(console.err);
    station::DeviceSession session(std::move(target), messages, trace.Tap());
    answer = session.Client().Version();
  }
  prepared.bench->Save();
  if (const std::string traceError = trace.Finish(); !traceError.empty()) {
    throw CliError(kExitFileError, traceError);
  }
  const bool found = answer.ok();
  if (json) {
    JsonFields line;
    line.Add("event", "detect").Add(DeviceField(name)).Add("found", found);
    if (found) {
      line.Add("text", link::VersionText(answer.version))
          .Add("version", link::VersionNumber(answer.version))
          .Add("major", answer.version.major)
          .Add("minor", answer.version.minor);
    }
    line.Add("exit_code", found ? kExitSuccess : kExitNoDevice);
    JsonLines(console.out).Emit(line);
  }
  if (found) {
    (json ? console.err : console.out) << link::VersionText(answer.version) << '\n' << std::flush;
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
  if (!choices.verifyOnly && choices.serial.file.empty() != !choices.serial.address) {
    throw CliError(kExitUsage, "update: --serial-file and --serial-at go together");
  }
  if (choices.verifyOnly && !choices.serial.address &&
      (choices.serial.bytes != 4 || choices.serial.format != "le")) {
    throw CliError(kExitUsage, "verify: --serial-bytes and --serial-format need --serial-at");
  }
  if (!station::ParseSerialFormat(choices.serial.format)) {
    throw CliError(kExitUsage, command + ": --serial-format takes le, be or ascii");
  }
  const bool oneBoard = !choices.all && !choices.repeat;
  std::vector<FileRole> outputs{{"the log", choices.logFile}};
  if (!choices.serial.file.empty()) {
    outputs.push_back({"the serial number file", choices.serial.file});
    outputs.push_back({"the serial number file's lock", choices.serial.file + ".lock"});
  }
  if (oneBoard) {
    outputs.push_back({"the backup", choices.backupFile});
  }
  CheckFiles({{"the update file", file}}, outputs, device);
  const auto loaded = std::make_unique<LoadedFile>(LoadFile(file, console));
  // Before any packet: the file must hold what is to be written, and be whole; a serial
  // number must land in what is written; the log must take lines.
  station::CheckUpdateFile(file, loaded->report, !choices.noFlash, choices.eeprom, choices.force);
  if (oneBoard) {
    station::CheckBackupName(choices.backupFile);
  }
  const BoardJob job = UpdateJob(*loaded, choices, file);
  if (job.serial) {
    station::CheckSerialPlan(*job.serial, loaded->image, job.flash, job.eeprom);
  }
  // From here on a stop request ends the command in order (a reservation in the log is
  // given back first).
  const InterruptGuard interruptGuard;
  CheckLog(choices.logFile);
  if (choices.all) {
    return RunAllBoards(job, choices, device, console);
  }
  if (choices.repeat) {
    return UpdateLoop(job, choices, device, console);
  }

  Prepared prepared = Prepare(device, console);
  Trace trace(device.traceFile);
  LinePrinter printer(choices, console, true, Interrupted);
  const BoardReport report = RunPrepared(prepared, job, printer, trace);
  std::ostream& human = printer.Human();
  if (!report.backupWritten.empty()) {
    console.err << "Backup written to " << report.backupWritten << '\n';
  }
  if (choices.verifyOnly && report.result != station::BoardResult::None) {
    human << text::ResultText(report.result) << '\n';
  }
  if (report.serial) {
    human << "Serial number " << *report.serial
          << (choices.verifyOnly ? " found.\n"
              : report.Updated() ? " written.\n"
                                 : " taken for this board (not used again).\n");
  }
  if (report.resetSent) {
    human << "Device reset sent.\n";
  }
  human << std::flush;
  if (!report.reason.empty()) {
    console.err << "korvane-cli: " << report.reason << '\n';
  }
  if (report.verdict == Verdict::NoDevice) {
    PrintNoDeviceAdvice(*prepared.bench, console);
  }
  PrintLost(report, console);
  if (choices.json) {
    printer.Json().Emit(OutcomeJson(report, DeviceField(report.device)));
  }
  return station::ExitCode(report.verdict);
}

int VerifyCommand(const std::string& file, const UpdateChoices& choices,
                  const DeviceOptions& device, Console& console) {
  UpdateChoices verify = choices;
  verify.verifyOnly = true;
  return UpdateCommand(file, verify, device, console);
}

int ResetCommand(const UpdateChoices& choices, const DeviceOptions& device, Console& console) {
  station::CheckDeviceOptions(device);
  if (choices.all && !device.device.empty()) {
    throw CliError(kExitUsage, "reset: --all takes every device; not with --device");
  }
  if (choices.expect && !choices.all) {
    throw CliError(kExitUsage, "reset: --expect counts the devices of --all");
  }
  if (choices.all && !device.traceFile.empty()) {
    throw CliError(kExitUsage, "reset: --trace follows one device; not with --all");
  }
  CheckFiles({}, {{"the log", choices.logFile}}, device);
  // From here on a stop request ends the command in order (a reservation in the log is
  // given back first).
  const InterruptGuard interruptGuard;
  CheckLog(choices.logFile);
  BoardJob job;
  job.action = BoardAction::Reset;
  job.logFile = choices.logFile;
  if (!job.logFile.empty()) {
    job.record = RecordFor("reset", "", "");
  }
  if (choices.all) {
    return RunAllBoards(job, choices, device, console);
  }
  Prepared prepared = Prepare(device, console);
  Trace trace(device.traceFile);
  LinePrinter printer(choices, console, true, Interrupted);
  const BoardReport report = RunPrepared(prepared, job, printer, trace);
  if (report.resetSent) {
    printer.Human() << "Device reset sent.\n" << std::flush;
  } else {
    console.err << "korvane-cli: " << report.reason << '\n';
    if (report.verdict == Verdict::NoDevice) {
      PrintNoDeviceAdvice(*prepared.bench, console);
    }
  }
  PrintLost(report, console);
  if (choices.json) {
    printer.Json().Emit(ResetJson(report));
  }
  return station::ExitCode(report.verdict);
}

int BackupCommand(const std::string& file, const DeviceOptions& device, const std::string& logFile,
                  Console& console) {
  station::CheckDeviceOptions(device);
  CheckFiles({}, {{"the backup", file}, {"the log", logFile}}, device);
  station::CheckBackupName(file);
  const InterruptGuard interruptGuard;
  CheckLog(logFile);
  Prepared prepared = Prepare(device, console);
  Trace trace(device.traceFile);
  UpdateChoices plain;
  LinePrinter printer(plain, console, true, Interrupted);
  BoardJob job;
  job.action = BoardAction::Backup;
  job.backupFile = file;
  job.logFile = logFile;
  if (!logFile.empty()) {
    job.record = RecordFor("backup", "", "");
  }
  const BoardReport report = RunPrepared(prepared, job, printer, trace);
  if (!report.backupWritten.empty()) {
    console.out << "Backup of program flash 0x0800-0x7FFF and the EEPROM written to "
                << report.backupWritten << '\n'
                << std::flush;
  } else {
    console.err << "korvane-cli: " << report.reason << '\n';
    if (report.verdict == Verdict::NoDevice) {
      PrintNoDeviceAdvice(*prepared.bench, console);
    }
  }
  PrintLost(report, console);
  return station::ExitCode(report.verdict);
}

int ListCommand(const DeviceOptions& device, bool json, Console& console) {
  std::unique_ptr<DeviceBench> bench = MakeBench(device, console, station::BenchUse::Look);
  const std::vector<link::AttachedDevice> devices = bench->List();
  Json jsonDevices = Json::array();
  for (const link::AttachedDevice& attached : devices) {
    // Each device is asked under its lock; one that another run holds is not opened: a query
    // between its packets would disturb it.
    std::ostringstream messagesText;
    link::BootloaderClient::VersionResult answer;
    station::DeviceClaim claim = bench->Claim(attached);
    if (!claim.busy) {
      StreamLinkMessages messages(messagesText);
      station::DeviceSession session(bench->Target(attached), messages, nullptr);
      answer = session.Client().Version();
    }
    claim.lock.reset();
    const bool found = answer.ok();
    // The last message says most (the access advice follows the open failure).
    std::string note;
    if (claim.busy) {
      note = "busy: in use by another Korvane run" +
             (claim.holder ? " (process " + std::to_string(*claim.holder) + ")" : std::string());
    }
    std::istringstream messages(messagesText.str());
    for (std::string line; std::getline(messages, line);) {
      note = line;
    }
    const std::string place = attached.location.empty() ? "-" : attached.location;
    if (json) {
      Json entry = {{"instance", attached.instance},
                    {"location", attached.location},
                    {"answered", found},
                    {"busy", claim.busy}};
      if (found) {
        entry["version"] = link::VersionNumber(answer.version);
        entry["major"] = answer.version.major;
        entry["minor"] = answer.version.minor;
      } else {
        entry["problem"] = note;
      }
      jsonDevices.push_back(std::move(entry));
    } else {
      std::string line = std::to_string(attached.instance);
      line.resize(std::max<std::size_t>(line.size() + 2, 4), ' ');
      line += place;
      line.resize(std::max<std::size_t>(line.size() + 2, 16), ' ');
      line += found        ? "bootloader " + link::VersionNumber(answer.version)
              : claim.busy ? note
                           : "no answer" + (note.empty() ? std::string() : ": " + note);
      console.out << line << '\n';
    }
  }
  if (json) {
    console.out << station::JsonText(Json{{"devices", jsonDevices}}) << '\n';
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
