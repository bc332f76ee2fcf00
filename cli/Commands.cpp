#include "cli/Commands.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <span>
#include <sstream>
#include <thread>
#include <vector>

#include "cli/Devices.h"
#include "cli/JsonEvents.h"
#include "cli/ProgressPrinter.h"
#include "link/BootloaderPacket.h"
#include "update/DeviceBackup.h"
#include "update/UpdateRun.h"

namespace korvane::cli {

namespace {

// Ctrl+C presses counted: the handler only counts, the commands look at the count.
volatile std::sig_atomic_t gInterrupted = 0;

extern "C" void OnInterrupt(int) {
  if (gInterrupted < 100) {
    gInterrupted = gInterrupted + 1;
  }
}

bool Interrupted() {
  return gInterrupted != 0;
}

// Ctrl+C during an update asks the run to stop after the packet in flight, as the Abort button
// does, so the device is left in a known place and the emulated state is still saved. While a
// command waits for a device it ends the wait.
class InterruptGuard {
 public:
  InterruptGuard() {
    gInterrupted = 0;
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

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    throw CliError(kExitFileError, "cannot read " + path);
  }
  std::string data{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  if (in.bad()) {
    throw CliError(kExitFileError, "cannot read " + path);
  }
  return data;
}

void WriteWholeFile(const std::string& path, std::span<const char> data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (out) {
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
    out.flush();
  }
  if (!out) {
    throw CliError(kExitFileError, "cannot write " + path);
  }
}

template <std::size_t N>
void WriteBuffer(const std::string& path, const std::array<std::uint8_t, N>& buffer) {
  if (!path.empty()) {
    WriteWholeFile(path, std::span<const char>(reinterpret_cast<const char*>(buffer.data()), N));
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

// Sends DeviceReset; true when it went out (the device sends nothing back).
bool SendReset(link::UsbPipeLink& link) {
  link::PacketBuffer request{};
  link::PacketBuffer reply{};
  const std::int32_t requestLength = link::BuildDeviceReset(request);
  std::int32_t replyLength = link::kResetReplyLength;
  return link.SendPacket(request, requestLength, reply, replyLength).sent;
}

std::string JsonBool(bool value) {
  return value ? "true" : "false";
}

std::string Seconds(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", seconds);
  return text;
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// "1.12": the major version, a dot, the minor version's two digits.
std::string VersionNumber(const link::PacketBuffer& reply) {
  return std::to_string(reply[3]) + "." + std::to_string(reply[2] >> 4) +
         std::to_string(reply[2] & 0x0F);
}

// The bench, and the device a one-device command talks to: waited for with --wait, else the
// one --device names (instance 0 by default).
struct Prepared {
  std::unique_ptr<DeviceBench> bench;
  std::optional<link::AttachedDevice> device;
};

std::optional<std::chrono::milliseconds> WaitTimeout(const DeviceOptions& options) {
  if (!options.waitSeconds) {
    return std::nullopt;
  }
  return std::chrono::milliseconds(static_cast<std::int64_t>(*options.waitSeconds * 1000.0));
}

Prepared Prepare(const DeviceOptions& options, Console& console) {
  Prepared prepared{DeviceBench::Create(options), std::nullopt};
  const DeviceSelector selector = ParseDeviceSelector(options.device);
  if (options.verbose) {
    for (const std::string& line : prepared.bench->Diagnostics()) {
      console.err << line << '\n';
    }
    console.err << std::flush;
  }
  if (!options.wait) {
    prepared.device = prepared.bench->Choose(selector);
    return prepared;
  }
  if (!prepared.bench->Find(selector)) {
    console.err << "Waiting for " << (selector.Any() ? "a device" : options.device) << "...\n"
                << std::flush;
  }
  prepared.device = prepared.bench->WaitFor(selector, WaitTimeout(options), Interrupted);
  if (!prepared.device) {
    throw CliError(kExitNoDevice, Interrupted() ? "stopped while waiting for a device"
                                                : "no device appeared within " +
                                                      Seconds(*options.waitSeconds) + " s");
  }
  return prepared;
}

// A backup file's name for one of several devices: the device's place before the extension
// ("backup.hex" for 1-3 becomes "backup-1-3.hex").
std::string BackupFileFor(const std::string& file, const std::string& device, bool several) {
  if (!several || file.empty()) {
    return file;
  }
  std::filesystem::path path(file);
  std::string place = device;
  std::replace(place.begin(), place.end(), ' ', '-');
  return (path.parent_path() / (path.stem().string() + "-" + place + path.extension().string()))
      .string();
}

std::string BackupHexFor(const update::DeviceMemory& memory) {
  return update::BackupHexText(memory);
}

// What one device's update came to.
struct DeviceReport {
  int code = kExitSuccess;
  std::string name;    // the device, as the lines name it
  std::string result;  // "The update was successful." / "... not successful."
  std::string reason;  // why it failed, in one line; empty on success
  update::UpdateOutcome outcome;
  bool backupFailed = false;
  bool resetSent = false;
  double seconds = 0;
};

// Backs up (when asked), updates and resets (when asked) one device through its own session.
// Never throws: a problem becomes the report's exit code and reason, so that it can run on a
// thread of its own beside other devices.
DeviceReport UpdateDevice(DeviceTarget target, const image::MemoryImage& image,
                          const UpdateChoices& choices, const DeviceOptions& options,
                          const std::string& backupFile, std::ostream& err, RunView& view,
                          bool& abortRequested) {
  DeviceReport report;
  report.name = target.name;
  const auto start = std::chrono::steady_clock::now();
  try {
    DeviceSession session(std::move(target), options, err);
    if (!backupFile.empty()) {
      view.ShowProgress();
      const update::BackupOutcome backup = update::ReadDeviceMemory(session.Link(), view);
      view.EndBackup(backup.run.success);
      if (!backup.run.success) {
        report.backupFailed = true;
        report.outcome = backup.run;
        report.result = std::string(update::kFailureText);
        report.reason = "Backup failed, nothing was erased: " + update::BackupFailureReason(backup);
        const bool noDevice = backup.run.failure == update::Failure::NotSent &&
                              backup.run.noDevice && backup.run.packetsSent == 0;
        report.code = noDevice ? kExitNoDevice : kExitUpdateFailed;
        session.Finish();
        report.seconds = SecondsSince(start);
        return report;
      }
      WriteWholeFile(backupFile, BackupHexFor(backup.memory));
    }
    const update::UpdateSelections selections{[&choices] { return !choices.noFlash; },
                                              [&choices] { return choices.eeprom; }};
    report.outcome = update::RunUpdate(image, session.Link(), selections, abortRequested, view);
    report.result =
        std::string(report.outcome.success ? update::kSuccessText : update::kFailureText);
    if (!report.outcome.success) {
      report.reason = update::FailureReason(report.outcome);
      // Only when the very first packet found nothing attached did no device answer at all.
      const bool noDevice = report.outcome.failure == update::Failure::NotSent &&
                            report.outcome.noDevice && report.outcome.packetsSent == 0;
      report.code = noDevice ? kExitNoDevice : kExitUpdateFailed;
    } else if (choices.reset) {
      report.resetSent = SendReset(session.Link());
      if (!report.resetSent) {
        report.reason = "no device answered; the reset was not sent";
        report.code = kExitNoDevice;
      }
    }
    session.Finish();
  } catch (const CliError& e) {
    report.code = e.ExitCode();
    report.reason = e.what();
  } catch (const std::exception& e) {
    report.code = kExitUpdateFailed;
    report.reason = e.what();
  }
  report.seconds = SecondsSince(start);
  return report;
}

// The outcome line of the JSON form.
std::string OutcomeJson(const DeviceReport& report, const std::string& deviceField) {
  std::string json = "\"event\":\"outcome\"" + deviceField;
  json += ",\"success\":" + JsonBool(report.code == kExitSuccess);
  json += ",\"exit_code\":" + std::to_string(report.code);
  json += ",\"text\":" + JsonString(report.result);
  json += ",\"failure\":" + JsonString(report.backupFailed ? "backup-failed"
                                       : report.outcome.success || report.result.empty()
                                           ? (report.code == kExitSuccess ? "" : "other")
                                           : std::string(FailureName(report.outcome.failure)));
  json += ",\"reason\":" + JsonString(report.reason);
  if (report.outcome.stage && !report.outcome.success && !report.backupFailed) {
    json += ",\"stage\":" + JsonString(StageName(*report.outcome.stage));
    const std::int32_t address = report.outcome.failure == update::Failure::Mismatch
                                     ? report.outcome.mismatchAddress
                                     : report.outcome.packetAddress;
    json += ",\"address\":" + std::to_string(address);
  }
  json += ",\"packets\":" + std::to_string(report.outcome.packetsSent);
  json += ",\"reset\":" + JsonBool(report.resetSent);
  json += ",\"seconds\":" + Seconds(report.seconds);
  return json;
}

// "1-3: The update was successful. (6.1 s)"; a failure adds its reason.
std::string ReportLine(const DeviceReport& report) {
  std::string line = report.name.empty() ? std::string() : report.name + ": ";
  line += report.result.empty() ? std::string(update::kFailureText) : report.result;
  if (!report.reason.empty()) {
    line += " " + report.reason;
  }
  return line + " (" + Seconds(report.seconds) + " s)";
}

int UpdateAll(const image::MemoryImage& image, const UpdateChoices& choices,
              const DeviceOptions& options, Console& console) {
  std::unique_ptr<DeviceBench> bench = DeviceBench::Create(options);
  if (options.verbose) {
    for (const std::string& line : bench->Diagnostics()) {
      console.err << line << '\n';
    }
  }
  if (options.wait && !bench->WaitFor({}, WaitTimeout(options), Interrupted)) {
    throw CliError(kExitNoDevice, "no device appeared");
  }
  const std::vector<link::AttachedDevice> devices = bench->List();
  if (devices.empty()) {
    throw CliError(kExitNoDevice, "no device is attached");
  }
  std::ostream& human = choices.json ? console.err : console.out;
  human << "Updating " << devices.size() << (devices.size() == 1 ? " device" : " devices")
        << " at once\n"
        << std::flush;

  JsonLines json(console.out);
  struct Slot {
    link::AttachedDevice device;
    DeviceTarget target;
    std::ostringstream messages;
    bool abortRequested = false;
    std::unique_ptr<RunView> view;
    DeviceReport report;
  };
  std::vector<std::unique_ptr<Slot>> slots;
  for (const link::AttachedDevice& device : devices) {
    auto slot = std::make_unique<Slot>();
    slot->device = device;
    slot->target = bench->Target(device);
    if (choices.json) {
      slot->view = std::make_unique<JsonProgress>(json, DeviceName(device), slot->abortRequested,
                                                  Interrupted);
    } else {
      slot->view = std::make_unique<QuietView>(slot->abortRequested, Interrupted);
    }
    slots.push_back(std::move(slot));
  }
  {
    std::vector<std::jthread> threads;
    for (auto& slot : slots) {
      threads.emplace_back([&, s = slot.get()] {
        s->report = UpdateDevice(std::move(s->target), image, choices, options,
                                 BackupFileFor(choices.backupFile, DeviceName(s->device), true),
                                 s->messages, *s->view, s->abortRequested);
        if (choices.json) {
          json.Emit(OutcomeJson(s->report, ",\"device\":" + JsonString(DeviceName(s->device))));
        }
      });
    }
  }
  bench->Save();

  std::size_t failed = 0;
  bool anyAnswered = false;
  for (const auto& slot : slots) {
    std::istringstream messages(slot->messages.str());
    for (std::string line; std::getline(messages, line);) {
      console.err << DeviceName(slot->device) << ": " << line << '\n';
    }
    human << ReportLine(slot->report) << '\n';
    failed += slot->report.code != kExitSuccess;
    anyAnswered = anyAnswered || slot->report.code != kExitNoDevice;
  }
  human << devices.size() - failed << " of " << devices.size() << " updated\n" << std::flush;
  if (failed == 0) {
    return kExitSuccess;
  }
  return anyAnswered ? kExitUpdateFailed : kExitNoDevice;
}

int UpdateLoop(const image::MemoryImage& image, const UpdateChoices& choices,
               const DeviceOptions& options, Console& console) {
  std::unique_ptr<DeviceBench> bench = DeviceBench::Create(options);
  const DeviceSelector selector = ParseDeviceSelector(options.device);
  std::ostream& human = choices.json ? console.err : console.out;
  JsonLines json(console.out);
  // The first Ctrl+C ends the loop once the device in progress is done; a second one stops
  // that device's update too.
  const auto stopLoop = [] { return gInterrupted >= 1; };
  const auto stopRun = [] { return gInterrupted >= 2; };
  std::size_t count = 0;
  std::size_t failed = 0;
  human << "Waiting for devices; Ctrl+C ends the line after the device in progress.\n"
        << std::flush;
  for (;;) {
    const auto device = bench->WaitFor(selector, std::nullopt, stopLoop);
    if (!device) {
      break;
    }
    ++count;
    const std::size_t countBefore = bench->List().size();
    bool abortRequested = false;
    std::unique_ptr<RunView> view;
    std::unique_ptr<RunView> humanView;
    std::unique_ptr<RunView> tee;
    if (choices.json) {
      view = std::make_unique<JsonProgress>(json, DeviceName(*device), abortRequested, stopRun);
      humanView = std::make_unique<ProgressPrinter>(console.err, false, abortRequested, stopRun);
      tee = std::make_unique<TeeView>(*view, *humanView);
    } else {
      view =
          std::make_unique<ProgressPrinter>(console.out, console.terminal, abortRequested, stopRun);
    }
    const DeviceReport report =
        UpdateDevice(bench->Target(*device), image, choices, options,
                     choices.backupFile.empty()
                         ? std::string()
                         : BackupFileFor(choices.backupFile,
                                         DeviceName(*device) + "-" + std::to_string(count), true),
                     console.err, tee ? *tee : *view, abortRequested);
    failed += report.code != kExitSuccess;
    human << '#' << count << ' ' << ReportLine(report) << "; " << count - failed << " updated, "
          << failed << " failed\n"
          << std::flush;
    if (choices.json) {
      json.Emit(OutcomeJson(report, ",\"device\":" + JsonString(DeviceName(*device)) +
                                        ",\"count\":" + std::to_string(count)));
    }
    bench->DeviceDone(*device);
    if (stopLoop()) {
      break;
    }
    human << "Take " << DeviceName(*device) << " off for the next one.\n" << std::flush;
    if (!bench->WaitUntilGone(*device, countBefore, stopLoop)) {
      break;
    }
  }
  bench->Save();
  human << count << (count == 1 ? " device: " : " devices: ") << count - failed << " updated, "
        << failed << " failed\n"
        << std::flush;
  if (choices.json) {
    json.Emit("\"event\":\"summary\",\"devices\":" + std::to_string(count) + ",\"succeeded\":" +
              std::to_string(count - failed) + ",\"failed\":" + std::to_string(failed));
  }
  return failed == 0 ? kExitSuccess : kExitUpdateFailed;
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
  const std::string scrambled = image::Scramble(ReadWholeFile(in));
  WriteWholeFile(out, scrambled);
  return kExitSuccess;
}

int DetectCommand(const DeviceOptions& device, bool json, Console& console) {
  const InterruptGuard interruptGuard;
  Prepared prepared = Prepare(device, console);
  const std::string name = prepared.device ? DeviceName(*prepared.device) : std::string();
  DeviceSession session(prepared.bench->Target(prepared.device), device, console.err);
  link::PacketBuffer request{};
  link::PacketBuffer reply{};
  const std::int32_t requestLength = link::BuildVersionQuery(request);
  std::int32_t replyLength = link::kVersionReplyLength;
  const link::PacketOutcome outcome =
      session.Link().SendPacket(request, requestLength, reply, replyLength);
  session.Finish();
  prepared.bench->Save();
  // Only a complete reply counts: a short one is no bootloader.
  const bool found = outcome.sent && outcome.result == link::ExchangeResult::Complete;
  if (json) {
    std::string line = "\"event\":\"detect\"";
    if (!name.empty()) {
      line += ",\"device\":" + JsonString(name);
    }
    line += ",\"found\":" + JsonBool(found);
    if (found) {
      line += ",\"text\":" + JsonString(link::VersionText(reply)) +
              ",\"version\":" + JsonString(VersionNumber(reply)) +
              ",\"major\":" + std::to_string(reply[3]) + ",\"minor\":" + std::to_string(reply[2]);
    }
    line += ",\"exit_code\":" + std::to_string(found ? kExitSuccess : kExitNoDevice);
    JsonLines(console.out).Emit(line);
  }
  if (found) {
    (json ? console.err : console.out) << link::VersionText(reply) << '\n' << std::flush;
    return kExitSuccess;
  }
  console.err << "Unable to find an Dextrel device.\n";
  return kExitNoDevice;
}

int UpdateCommand(const std::string& file, const UpdateChoices& choices,
                  const DeviceOptions& device, Console& console) {
  CheckDeviceOptions(device);
  if (choices.noFlash && !choices.eeprom) {
    throw CliError(kExitUsage, "update: --no-flash without --eeprom leaves nothing to update");
  }
  if (choices.repeat && !device.wait) {
    throw CliError(kExitUsage, "update: --repeat needs --wait");
  }
  if (choices.all && (choices.repeat || !device.device.empty())) {
    throw CliError(kExitUsage, "update: --all takes every device; not with --repeat or --device");
  }
  if ((choices.all || choices.repeat) && !device.traceFile.empty()) {
    throw CliError(kExitUsage, "update: --trace follows one device; not with --all or --repeat");
  }
  const auto loaded = std::make_unique<LoadedFile>(LoadFile(file, console));
  if (loaded->report.NoData()) {
    // Updating with an empty image would erase the application area and call that a success.
    throw CliError(kExitFileError, file + " holds no data to update the device with");
  }
  const InterruptGuard interruptGuard;
  if (choices.all) {
    return UpdateAll(loaded->image, choices, device, console);
  }
  if (choices.repeat) {
    return UpdateLoop(loaded->image, choices, device, console);
  }

  Prepared prepared = Prepare(device, console);
  bool abortRequested = false;
  JsonLines json(console.out);
  const std::string name = prepared.device ? DeviceName(*prepared.device) : std::string();
  std::unique_ptr<RunView> view;
  std::unique_ptr<RunView> humanView;
  std::unique_ptr<RunView> tee;
  if (choices.json) {
    view = std::make_unique<JsonProgress>(json, name, abortRequested, Interrupted);
    humanView = std::make_unique<ProgressPrinter>(console.err, false, abortRequested, Interrupted);
    tee = std::make_unique<TeeView>(*view, *humanView);
  } else {
    view = std::make_unique<ProgressPrinter>(console.out, console.terminal, abortRequested,
                                             Interrupted);
  }
  const DeviceReport report =
      UpdateDevice(prepared.bench->Target(prepared.device), loaded->image, choices, device,
                   choices.backupFile, console.err, tee ? *tee : *view, abortRequested);
  prepared.bench->Save();
  std::ostream& human = choices.json ? console.err : console.out;
  if (!choices.backupFile.empty() && !report.backupFailed && report.code != kExitFileError) {
    console.err << "Backup written to " << choices.backupFile << '\n';
  }
  if (report.code == kExitSuccess && report.outcome.packetsSent == 0) {
    // As in the windows a run with nothing to send succeeds; say so, since no device was
    // asked anything.
    console.err << "korvane-cli: note: no packet was sent: the file holds no program data at "
                   "or above 0x800\n";
  }
  if (report.resetSent) {
    human << "Device reset sent.\n";
  }
  if (!report.reason.empty()) {
    console.err << "korvane-cli: " << report.reason << '\n';
  }
  human << std::flush;
  if (choices.json) {
    json.Emit(OutcomeJson(report, name.empty() ? "" : ",\"device\":" + JsonString(name)));
  }
  return report.code;
}

int ResetCommand(const DeviceOptions& device, Console& console) {
  const InterruptGuard interruptGuard;
  Prepared prepared = Prepare(device, console);
  DeviceSession session(prepared.bench->Target(prepared.device), device, console.err);
  const bool sent = SendReset(session.Link());
  session.Finish();
  prepared.bench->Save();
  if (!sent) {
    console.err << "korvane-cli: no device answered; the reset was not sent\n";
    return kExitNoDevice;
  }
  console.out << "Device reset sent.\n";
  return kExitSuccess;
}

int BackupCommand(const std::string& file, const DeviceOptions& device, Console& console) {
  const InterruptGuard interruptGuard;
  Prepared prepared = Prepare(device, console);
  DeviceSession session(prepared.bench->Target(prepared.device), device, console.err);
  bool abortRequested = false;
  ProgressPrinter printer(console.out, console.terminal, abortRequested, Interrupted);
  printer.ShowProgress();
  const update::BackupOutcome backup = update::ReadDeviceMemory(session.Link(), printer);
  printer.EndBackup(backup.run.success);
  session.Finish();
  prepared.bench->Save();
  if (!backup.run.success) {
    console.err << "korvane-cli: " << update::BackupFailureReason(backup) << '\n';
    const bool noDevice = backup.run.failure == update::Failure::NotSent && backup.run.noDevice &&
                          backup.run.packetsSent == 0;
    return noDevice ? kExitNoDevice : kExitUpdateFailed;
  }
  WriteWholeFile(file, BackupHexFor(backup.memory));
  console.out << "Backup of program flash 0x0800-0x7FFF and the EEPROM written to " << file << '\n'
              << std::flush;
  return kExitSuccess;
}

int ListCommand(const DeviceOptions& device, bool json, Console& console) {
  std::unique_ptr<DeviceBench> bench = DeviceBench::Create(device);
  if (device.verbose) {
    for (const std::string& line : bench->Diagnostics()) {
      console.err << line << '\n';
    }
  }
  const std::vector<link::AttachedDevice> devices = bench->List();
  std::string jsonDevices;
  for (const link::AttachedDevice& attached : devices) {
    std::ostringstream messagesText;
    DeviceOptions quiet = device;
    quiet.traceFile.clear();
    DeviceSession session(bench->Target(attached), quiet, messagesText);
    link::PacketBuffer request{};
    link::PacketBuffer reply{};
    const std::int32_t requestLength = link::BuildVersionQuery(request);
    std::int32_t replyLength = link::kVersionReplyLength;
    const link::PacketOutcome outcome =
        session.Link().SendPacket(request, requestLength, reply, replyLength);
    const bool found = outcome.sent && outcome.result == link::ExchangeResult::Complete;
    // The last message says most (the access advice follows the open failure).
    std::string note;
    std::istringstream messages(messagesText.str());
    for (std::string line; std::getline(messages, line);) {
      note = line;
    }
    const std::string place = attached.location.empty() ? "-" : attached.location;
    if (json) {
      jsonDevices += std::string(jsonDevices.empty() ? "" : ",") +
                     "{\"instance\":" + std::to_string(attached.instance) +
                     ",\"location\":" + JsonString(attached.location) +
                     ",\"answered\":" + JsonBool(found);
      if (found) {
        jsonDevices += ",\"version\":" + JsonString(VersionNumber(reply)) +
                       ",\"major\":" + std::to_string(reply[3]) +
                       ",\"minor\":" + std::to_string(reply[2]);
      } else {
        jsonDevices += ",\"problem\":" + JsonString(note);
      }
      jsonDevices += "}";
    } else {
      std::string line = std::to_string(attached.instance);
      line.resize(std::max<std::size_t>(line.size() + 2, 4), ' ');
      line += place;
      line.resize(std::max<std::size_t>(line.size() + 2, 16), ' ');
      line += found ? "bootloader " + VersionNumber(reply)
                    : "no answer" + (note.empty() ? std::string() : ": " + note);
      console.out << line << '\n';
    }
  }
  bench->Save();
  if (json) {
    console.out << "{\"devices\":[" << jsonDevices << "]}\n";
  }
  console.out << std::flush;
  if (devices.empty()) {
    console.err << "No bootloader device is attached.\n";
    return kExitNoDevice;
  }
  return kExitSuccess;
}

}  // namespace korvane::cli
