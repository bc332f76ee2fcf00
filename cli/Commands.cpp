#include "cli/Commands.h"

#include <algorithm>
#include <memory>
#include <sstream>
#include <vector>

#include "cli/BoardLines.h"
#include "cli/DbCommands.h"
#include "cli/Interrupts.h"
#include "cli/JsonEvents.h"
#include "cli/Output.h"
#include "cli/Texts.h"
#include "platform/Files.h"
#include "station/Run.h"

#ifndef KORVANE_VERSION
#define KORVANE_VERSION "unknown"
#endif

namespace korvane::cli {

namespace {

using station::BoardAction;
using station::BoardReport;
using station::Verdict;

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

// How the station's problems read on the command line: in its words, with the options that
// fix them.
std::string Worded(const station::StationError& e) {
  using station::Problem;
  switch (e.GetProblem()) {
    case Problem::None:
    case Problem::DatabaseTarget:
    case Problem::DatabaseUnreachable:
    case Problem::DatabaseNotReady:
    case Problem::DatabaseRefused:
    case Problem::DatabaseExists:
    case Problem::DatabaseSpool:
      break;  // the station's words say it all
    case Problem::DatabaseNotOffered:
      return "--db is not offered on this platform";
    case Problem::DatabaseSpoolPlace:
      return "--db needs --db-spool FILE here: neither XDG_STATE_HOME nor HOME says where the "
             "runs wait that the record database did not take";
    case Problem::EmulatorChoiceMissing:
      return "--fault and --emulated-state need --emulated, --emulated-timing or "
             "--emulated-devices";
    case Problem::EmulatedDeviceCount:
      return "--emulated-devices takes 1 to 64";
    case Problem::WaitOutOfRange:
      return "--wait takes a number of seconds from 0 to 2592000 (30 days); without a number it "
             "waits for ever";
    case Problem::FaultUnreadable:
      return "--fault " + e.Subject() +
             ": expected [DEVICE:]KIND@N with KIND one of timeout, short, long-count, "
             "short-count, wrong-echo, long-reply, bitflip, unplug, open-fail, write-error, "
             "arrive";
    case Problem::NoSuchEmulatedDevice:
      return "--fault " + e.Subject() + ": there is no emulated device " +
             std::to_string(e.Number()) + " (0 to " + e.Detail() + ")";
    case Problem::UsbRouteWithEmulator:
      return "--usb chooses how USB devices are reached; not with the emulated device";
    case Problem::NoUsbSupport:
      return "this build has no USB support; use --emulated";
    case Problem::SeveralNotSafe:
      return "with " + e.Subject() +
             " Korvane cannot tell devices apart, and a board that finishes shifts the others, so "
             "--all is not safe: update one device at a time (attach one and run update, or use "
             "the production loop --wait --repeat)";
    case Problem::NoProgramData:
      return e.Subject() +
             " holds no program data at or above 0x800, so program flash would only be erased; "
             "use --no-flash to leave program flash alone";
    case Problem::NoEepromData:
      return e.Subject() +
             " holds no EEPROM data, so --eeprom would blank the device's EEPROM to 0xFF; leave "
             "out --eeprom to keep it";
    case Problem::DamagedFile:
      return e.Subject() + " has " + e.Detail() +
             ", so it may not be the firmware it claims to be; nothing was sent. Check the file, "
             "or give --force to write it as it was loaded";
    case Problem::SerialBytes:
      return "--serial-bytes takes 1 to " + std::to_string(e.Number()) +
             " for this --serial-format";
    case Problem::SerialOutside:
      return "--serial-at " + e.Subject() + ": the number's " + std::to_string(e.Number()) +
             " bytes must lie in what the update writes: program flash from 0x800 to " +
             e.Detail() + (e.Flag() ? "" : " (with program flash chosen)") +
             ", or the EEPROM at 0xF00000 to 0xF000FF (with --eeprom)";
    case Problem::TraceFileTaken:
      return "the trace file " + e.Subject() +
             " already exists and is not a packet trace; --trace replaces only an earlier trace: "
             "choose a new name";
  }
  return e.what();
}

// The job the options describe, as far as every device command shares it.
station::Job DeviceJob(station::BoardAction action, const DeviceOptions& device) {
  station::Job job;
  job.action = action;
  job.devices = device;
  job.traceFile = device.traceFile;
  job.korvaneVersion = KORVANE_VERSION;
  return job;
}

// After "no device answered": the next step, where the system can tell (on Windows: what the
// drivers of the devices there call for).
void PrintNoDeviceAdvice(const std::string& advice, Console& console) {
  if (!advice.empty()) {
    console.err << advice << '\n' << std::flush;
  }
}

// A record or another output of a one-board command that was lost after the board was done.
void PrintLost(const BoardReport& report, Console& console) {
  if (!report.outputError.empty()) {
    console.err << "korvane-cli: " << report.outputError << '\n';
  }
  if (!report.recordError.empty()) {
    console.err << "korvane-cli: the record was not written: " << report.recordError << '\n';
  }
  if (!report.recordSpooled.empty()) {
    console.err << "korvane-cli: " << report.recordSpooled << '\n';
  }
  console.err << std::flush;
}

// Several boards at once (update, verify, reset --all): one line per board once all are done,
// then how many did it; the JSON outcome lines come last, when the exit code is known.
int PrintAllBoards(const station::Job& job, const station::JobResult& result, LinePrinter& printer,
                   Console& console) {
  std::size_t done = 0;
  std::size_t resetMissing = 0;
  for (const BoardReport& report : result.boards) {
    printer.Human() << ReportLine(report) << '\n';
    done +=
        job.action == BoardAction::Update ? report.Updated() : report.verdict == Verdict::Success;
    resetMissing += report.ResetMissing();
  }
  printer.Human() << done << " of " << result.boards.size()
                  << (job.action == BoardAction::Verify  ? " match"
                      : job.action == BoardAction::Reset ? " reset"
                                                         : " updated");
  if (resetMissing > 0) {
    printer.Human() << ", the reset of " << resetMissing << " was not sent";
  }
  printer.Human() << '\n' << std::flush;
  PrintNoDeviceAdvice(result.noDeviceAdvice, console);
  if (printer.WritesJson()) {
    for (const BoardReport& report : result.boards) {
      printer.Json().Emit(job.action == BoardAction::Reset
                              ? ResetJson(report)
                              : OutcomeJson(report, DeviceField(report.device)));
    }
  }
  return station::ExitCode(result.verdict);
}

// The production loop's summary.
int PrintLoop(const station::JobResult& result, LinePrinter& printer) {
  const station::LoopSummary& summary = result.loop;
  printer.Human() << summary.boards << (summary.boards == 1 ? " device: " : " devices: ")
                  << summary.updated << " updated, " << summary.failed << " failed";
  if (summary.resetMissing > 0) {
    printer.Human() << ", the reset of " << summary.resetMissing << " was not sent";
  }
  printer.Human() << '\n' << std::flush;
  const int code = station::ExitCode(result.verdict);
  if (printer.WritesJson()) {
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

// The printer of a job: the loop's first Ctrl+C ends the loop once the device in progress is
// done, a second one stops that device's update too; elsewhere the first stops both the wait
// and the board.
std::unique_ptr<LinePrinter> PrinterFor(const station::Job& job, const UpdateChoices& choices,
                                        Console& console) {
  if (job.boards == station::BoardsTaken::Loop) {
    return std::make_unique<LinePrinter>(
        choices, console, true, [] { return Interruptions() >= 2; },
        [] { return Interruptions() >= 1; });
  }
  const bool all = job.boards == station::BoardsTaken::All;
  return std::make_unique<LinePrinter>(choices, console, !all, Interrupted, Interrupted, all);
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
  const InterruptGuard interruptGuard;
  UpdateChoices plain;
  LinePrinter printer(plain, console, true, Interrupted, Interrupted);
  const station::DetectResult result = station::Detect(device, device.traceFile, printer);
  const bool found = result.version.has_value();
  if (json) {
    JsonFields line;
    line.Add("event", "detect").Add(DeviceField(result.device)).Add("found", found);
    if (found) {
      line.Add("text", link::VersionText(*result.version))
          .Add("version", link::VersionNumber(*result.version))
          .Add("major", result.version->major)
          .Add("minor", result.version->minor);
    }
    line.Add("exit_code", station::ExitCode(result.verdict));
    JsonLines(console.out).Emit(line);
  }
  if (found) {
    (json ? console.err : console.out) << link::VersionText(*result.version) << '\n' << std::flush;
    return kExitSuccess;
  }
  console.err << "Unable to find an Dextrel device.\n";
  PrintNoDeviceAdvice(result.noDeviceAdvice, console);
  return kExitNoDevice;
}

int UpdateCommand(const std::string& file, const UpdateChoices& choices,
                  const DeviceOptions& device, Console& console) {
  // The device options are looked at first, as the station will again.
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
  if (!choices.serial.file.empty() && !choices.serial.series.empty()) {
    throw CliError(kExitUsage,
                   "update: --serial-file and --serial-series are two sources of serial numbers; "
                   "give one");
  }
  if (!choices.verifyOnly && !choices.serial.series.empty() && !choices.serial.address) {
    throw CliError(kExitUsage, "update: --serial-series and --serial-at go together");
  }
  if (!choices.verifyOnly && choices.serial.series.empty() &&
      choices.serial.file.empty() != !choices.serial.address) {
    throw CliError(kExitUsage, "update: --serial-file and --serial-at go together");
  }
  if (choices.verifyOnly && !choices.serial.address &&
      (choices.serial.bytes != 4 || choices.serial.format != "le")) {
    throw CliError(kExitUsage, "verify: --serial-bytes and --serial-format need --serial-at");
  }
  const auto format = station::ParseSerialFormat(choices.serial.format);
  if (!format) {
    throw CliError(kExitUsage, command + ": --serial-format takes le, be or ascii");
  }
  station::Job job = DeviceJob(
      choices.verifyOnly ? station::BoardAction::Verify : station::BoardAction::Update, device);
  job.updateFile = file;
  job.flash = !choices.noFlash;
  job.eeprom = choices.eeprom;
  job.reset = choices.reset;
  job.mode = choices.onlyChanged ? update::UpdateMode::OnlyChanged : update::UpdateMode::Full;
  job.force = choices.force;
  job.backupFile = choices.backupFile;
  if (choices.serial.address) {
    job.serial = station::SerialPlan{choices.serial.file, choices.serial.series,
                                     *choices.serial.address, choices.serial.bytes, *format};
  }
  job.logFile = choices.logFile;
  job.database = DatabaseJobOf(command, choices.database, choices.serial.series);
  job.boards = choices.all      ? station::BoardsTaken::All
               : choices.repeat ? station::BoardsTaken::Loop
                                : station::BoardsTaken::One;
  job.expect = choices.expect;

  // From here on a stop request ends the command in order (a reservation in the log is given
  // back first).
  const InterruptGuard interruptGuard;
  const std::unique_ptr<LinePrinter> printer = PrinterFor(job, choices, console);
  const station::JobResult result = station::RunJob(job, *printer);
  if (job.boards == station::BoardsTaken::All) {
    return PrintAllBoards(job, result, *printer, console);
  }
  if (job.boards == station::BoardsTaken::Loop) {
    return PrintLoop(result, *printer);
  }
  const BoardReport& report = result.boards.front();
  std::ostream& human = printer->Human();
  if (!report.backupWritten.empty()) {
    console.err << "Backup written to " << report.backupWritten << '\n';
  }
  if (choices.verifyOnly && report.result != station::BoardResult::None) {
    human << text::ResultText(report.result) << '\n';
  }
  if (const std::string changed = ChangedText(report); !changed.empty()) {
    human << changed << '\n';
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
  PrintNoDeviceAdvice(result.noDeviceAdvice, console);
  PrintLost(report, console);
  if (choices.json) {
    printer->Json().Emit(OutcomeJson(report, DeviceField(report.device)));
  }
  return station::ExitCode(result.verdict);
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
  station::Job job = DeviceJob(station::BoardAction::Reset, device);
  job.logFile = choices.logFile;
  job.database = DatabaseJobOf("reset", choices.database);
  job.boards = choices.all ? station::BoardsTaken::All : station::BoardsTaken::One;
  job.expect = choices.expect;
  // From here on a stop request ends the command in order (a reservation in the log is given
  // back first).
  const InterruptGuard interruptGuard;
  const std::unique_ptr<LinePrinter> printer = PrinterFor(job, choices, console);
  const station::JobResult result = station::RunJob(job, *printer);
  if (job.boards == station::BoardsTaken::All) {
    return PrintAllBoards(job, result, *printer, console);
  }
  const BoardReport& report = result.boards.front();
  if (report.resetSent) {
    printer->Human() << "Device reset sent.\n" << std::flush;
  } else {
    console.err << "korvane-cli: " << report.reason << '\n';
    PrintNoDeviceAdvice(result.noDeviceAdvice, console);
  }
  PrintLost(report, console);
  if (choices.json) {
    printer->Json().Emit(ResetJson(report));
  }
  return station::ExitCode(result.verdict);
}

int BackupCommand(const std::string& file, const DeviceOptions& device, const std::string& logFile,
                  const RecordDbChoices& database, Console& console) {
  station::Job job = DeviceJob(station::BoardAction::Backup, device);
  job.backupFile = file;
  job.logFile = logFile;
  job.database = DatabaseJobOf("backup", database);
  const InterruptGuard interruptGuard;
  const UpdateChoices plain;
  const std::unique_ptr<LinePrinter> printer = PrinterFor(job, plain, console);
  const station::JobResult result = station::RunJob(job, *printer);
  const BoardReport& report = result.boards.front();
  if (!report.backupWritten.empty()) {
    console.out << "Backup of program flash 0x0800-0x7FFF and the EEPROM written to "
                << report.backupWritten << '\n'
                << std::flush;
  } else {
    console.err << "korvane-cli: " << report.reason << '\n';
    PrintNoDeviceAdvice(result.noDeviceAdvice, console);
  }
  PrintLost(report, console);
  return station::ExitCode(result.verdict);
}

int ListCommand(const DeviceOptions& device, bool json, Console& console) {
  UpdateChoices plain;
  LinePrinter printer(plain, console, true, Interrupted, Interrupted);
  const station::DeviceList list = station::ListDevices(device, printer);
  Json jsonDevices = Json::array();
  for (const station::ListedDevice& listed : list.devices) {
    const link::AttachedDevice& attached = listed.device;
    const bool found = listed.version.has_value();
    if (json) {
      Json entry = {{"instance", attached.instance},
                    {"location", attached.location},
                    {"answered", found},
                    {"busy", listed.busy}};
      if (found) {
        entry["version"] = link::VersionNumber(*listed.version);
        entry["major"] = listed.version->major;
        entry["minor"] = listed.version->minor;
      } else {
        entry["problem"] = listed.problem;
      }
      jsonDevices.push_back(std::move(entry));
    } else {
      const std::string place = attached.location.empty() ? "-" : attached.location;
      std::string line = std::to_string(attached.instance);
      line.resize(std::max<std::size_t>(line.size() + 2, 4), ' ');
      line += place;
      line.resize(std::max<std::size_t>(line.size() + 2, 16), ' ');
      line += found ? "bootloader " + link::VersionNumber(*listed.version)
              : listed.busy
                  ? listed.problem
                  : "no answer" + (listed.problem.empty() ? std::string() : ": " + listed.problem);
      console.out << line << '\n';
    }
  }
  if (json) {
    console.out << station::JsonText(Json{{"devices", jsonDevices}}) << '\n';
  }
  console.out << std::flush;
  if (list.devices.empty()) {
    if (!list.notice.empty()) {
      console.err << list.notice << '\n';
    }
    console.err << "No bootloader device is attached.\n";
    PrintNoDeviceAdvice(list.noDeviceAdvice, console);
    return kExitNoDevice;
  }
  return kExitSuccess;
}

std::string ProblemText(const station::StationError& e) {
  return Worded(e);
}

}  // namespace korvane::cli
