#include "cli/Commands.h"

#include <csignal>
#include <fstream>
#include <iterator>
#include <span>
#include <sstream>
#include <vector>

#include "cli/ProgressPrinter.h"
#include "link/BootloaderPacket.h"
#include "update/UpdateRun.h"

namespace korvane::cli {

namespace {

volatile std::sig_atomic_t gInterrupted = 0;

extern "C" void OnInterrupt(int) {
  gInterrupted = 1;
}

// Ctrl+C during an update asks the run to stop after the packet in flight, as the Abort button
// does, so the device is left in a known place and the emulated state is still saved.
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

int DetectCommand(const DeviceOptions& device, Console& console) {
  DeviceSession session(device, console.err);
  link::PacketBuffer request{};
  link::PacketBuffer reply{};
  const std::int32_t requestLength = link::BuildVersionQuery(request);
  std::int32_t replyLength = link::kVersionReplyLength;
  const link::PacketOutcome outcome =
      session.Link().SendPacket(request, requestLength, reply, replyLength);
  session.Finish();
  // Only a complete reply counts: a short one is no bootloader.
  if (outcome.sent && outcome.result == link::ExchangeResult::Complete) {
    console.out << link::VersionText(reply) << '\n' << std::flush;
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
  const auto loaded = std::make_unique<LoadedFile>(LoadFile(file, console));
  if (loaded->report.NoData()) {
    // Updating with an empty image would erase the application area and call that a success.
    throw CliError(kExitFileError, file + " holds no data to update the device with");
  }
  DeviceSession session(device, console.err);

  bool abortRequested = false;
  const InterruptGuard interruptGuard;
  ProgressPrinter printer(console.out, console.terminal, abortRequested,
                          [] { return gInterrupted != 0; });
  const update::UpdateSelections selections{[&choices] { return !choices.noFlash; },
                                            [&choices] { return choices.eeprom; }};
  const update::UpdateOutcome outcome =
      update::RunUpdate(loaded->image, session.Link(), selections, abortRequested, printer);

  int code = kExitSuccess;
  if (!outcome.success) {
    console.err << "korvane-cli: " << update::FailureReason(outcome) << '\n';
    // Only when the very first packet found nothing attached did no device answer at all.
    const bool noDevice =
        outcome.failure == update::Failure::NotSent && outcome.noDevice && outcome.packetsSent == 0;
    code = noDevice ? kExitNoDevice : kExitUpdateFailed;
  } else {
    if (outcome.packetsSent == 0) {
      // As in the windows a run with nothing to send succeeds; say so, since no device was
      // asked anything.
      console.err << "korvane-cli: note: no packet was sent: the file holds no program data at "
                     "or above 0x800\n";
    }
    if (choices.reset) {
      if (SendReset(session.Link())) {
        console.out << "Device reset sent.\n";
      } else {
        console.err << "korvane-cli: no device answered; the reset was not sent\n";
        code = kExitNoDevice;
      }
    }
  }
  session.Finish();
  return code;
}

int ResetCommand(const DeviceOptions& device, Console& console) {
  DeviceSession session(device, console.err);
  const bool sent = SendReset(session.Link());
  session.Finish();
  if (!sent) {
    console.err << "korvane-cli: no device answered; the reset was not sent\n";
    return kExitNoDevice;
  }
  console.out << "Device reset sent.\n";
  return kExitSuccess;
}

}  // namespace korvane::cli
