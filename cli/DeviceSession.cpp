#include "cli/DeviceSession.h"

#include <array>
#include <charconv>
#include <filesystem>
#include <system_error>
#include <utility>

namespace korvane::cli {

namespace {

struct FaultName {
  std::string_view name;
  emulator::FaultKind kind;
};

constexpr std::array<FaultName, 8> kFaultNames = {{
    {"timeout", emulator::FaultKind::Timeout},
    {"short", emulator::FaultKind::ShortReply},
    {"long-count", emulator::FaultKind::LongCount},
    {"long-reply", emulator::FaultKind::LongReply},
    {"bitflip", emulator::FaultKind::BitFlip},
    {"unplug", emulator::FaultKind::Unplug},
    {"open-fail", emulator::FaultKind::OpenFail},
    {"write-error", emulator::FaultKind::WriteError},
}};

}  // namespace

std::optional<emulator::Fault> ParseFault(std::string_view text) {
  const std::size_t at = text.find('@');
  if (at == std::string_view::npos) {
    return std::nullopt;
  }
  const std::string_view name = text.substr(0, at);
  const std::string_view index = text.substr(at + 1);
  emulator::Fault fault;
  bool known = false;
  for (const FaultName& entry : kFaultNames) {
    if (entry.name == name) {
      fault.kind = entry.kind;
      known = true;
    }
  }
  if (!known || index.empty()) {
    return std::nullopt;
  }
  const auto [end, error] =
      std::from_chars(index.data(), index.data() + index.size(), fault.packetIndex);
  if (error != std::errc{} || end != index.data() + index.size()) {
    return std::nullopt;
  }
  return fault;
}

std::vector<emulator::Fault> CheckDeviceOptions(const DeviceOptions& options) {
  if (!options.UsesEmulator() && (!options.faults.empty() || !options.stateDir.empty())) {
    throw CliError(kExitUsage,
                   "--fault and --emulated-state need --emulated, --emulated-timing or "
                   "--emulated-devices");
  }
  if (options.emulatedDevices < 0 || options.emulatedDevices > 64) {
    throw CliError(kExitUsage, "--emulated-devices takes 1 to 64");
  }
  if (options.waitSeconds && !(*options.waitSeconds >= 0)) {
    throw CliError(kExitUsage, "--wait takes a number of seconds, 0 or more");
  }
  std::vector<emulator::Fault> faults;
  for (const std::string& text : options.faults) {
    const auto fault = ParseFault(text);
    if (!fault) {
      throw CliError(kExitUsage,
                     "--fault " + text +
                         ": expected KIND@N with KIND one of timeout, short, "
                         "long-count, long-reply, bitflip, unplug, open-fail, write-error");
    }
    faults.push_back(*fault);
  }
  return faults;
}

DeviceSession::DeviceSession(DeviceTarget target, const DeviceOptions& options, std::ostream& err)
    : options_(options), messages_(err), target_(std::move(target)) {
  if (!options_.traceFile.empty()) {
    // Binary: the same bytes, LF line ends, on every platform.
    traceStream_.open(options_.traceFile, std::ios::out | std::ios::trunc | std::ios::binary);
    if (!traceStream_) {
      throw CliError(kExitFileError, "cannot write the trace file " + options_.traceFile);
    }
    trace_ = std::make_unique<TraceWriter>(traceStream_);
  }

  link_ = std::make_unique<link::UsbPipeLink>(*target_.library, messages_, target_.instance);
  link_->InitPipes();
  link_->SetPacketTap(trace_.get());
}

DeviceSession::~DeviceSession() {
  // The link closes its pipes through the library, so it goes first.
  link_.reset();
}

void DeviceSession::Finish() {
  if (trace_) {
    traceStream_.flush();
    if (!traceStream_) {
      throw CliError(kExitFileError, "cannot write the trace file " + options_.traceFile);
    }
  }
}

}  // namespace korvane::cli
