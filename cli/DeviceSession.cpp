#include "cli/DeviceSession.h"

#include <array>
#include <charconv>
#include <filesystem>
#include <system_error>
#include <utility>

#if KORVANE_CLI_HAVE_LIBUSB
#include "link/LibUsbLibrary.h"
#elif KORVANE_CLI_HAVE_MPUSBDLL
#include "link/MpusbDllLibrary.h"
#endif

namespace korvane::cli {

namespace {

struct FaultName {
  std::string_view name;
  emulator::FaultKind kind;
};

constexpr std::array<FaultName, 7> kFaultNames = {{
    {"timeout", emulator::FaultKind::Timeout},
    {"short", emulator::FaultKind::ShortReply},
    {"long-count", emulator::FaultKind::LongCount},
    {"bitflip", emulator::FaultKind::BitFlip},
    {"unplug", emulator::FaultKind::Unplug},
    {"open-fail", emulator::FaultKind::OpenFail},
    {"write-error", emulator::FaultKind::WriteError},
}};

std::unique_ptr<link::UsbLibrary> RealUsbLibrary() {
#if KORVANE_CLI_HAVE_LIBUSB
  return std::make_unique<link::LibUsbLibrary>();
#elif KORVANE_CLI_HAVE_MPUSBDLL
  return std::make_unique<link::MpusbDllLibrary>();
#else
  throw CliError(kExitNoDevice, "this build has no USB support; use --emulated");
#endif
}

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
    throw CliError(kExitUsage, "--fault and --emulated-state need --emulated or --emulated-timing");
  }
  std::vector<emulator::Fault> faults;
  for (const std::string& text : options.faults) {
    const auto fault = ParseFault(text);
    if (!fault) {
      throw CliError(kExitUsage, "--fault " + text +
                                     ": expected KIND@N with KIND one of timeout, short, "
                                     "long-count, bitflip, unplug, open-fail, write-error");
    }
    faults.push_back(*fault);
  }
  return faults;
}

DeviceSession::DeviceSession(const DeviceOptions& options, std::ostream& err)
    : options_(options), messages_(err) {
  const std::vector<emulator::Fault> faults = CheckDeviceOptions(options_);

  if (options_.UsesEmulator()) {
    auto emulated = std::make_unique<emulator::EmulatedUsbLibrary>();
    emulated_ = emulated.get();
    if (!options_.stateDir.empty() && std::filesystem::exists(options_.stateDir)) {
      try {
        emulated_->Device().LoadState(options_.stateDir);
      } catch (const std::exception& e) {
        throw CliError(kExitFileError, "cannot load the emulated device from " + options_.stateDir +
                                           ": " + e.what());
      }
    }
    emulated_->SetTiming(options_.emulatedTiming);
    for (const emulator::Fault& fault : faults) {
      emulated_->AddFault(fault);
    }
    library_ = std::move(emulated);
  } else {
    library_ = RealUsbLibrary();
  }

  if (!options_.traceFile.empty()) {
    // Binary: the same bytes, LF line ends, on every platform.
    traceStream_.open(options_.traceFile, std::ios::out | std::ios::trunc | std::ios::binary);
    if (!traceStream_) {
      throw CliError(kExitFileError, "cannot write the trace file " + options_.traceFile);
    }
    trace_ = std::make_unique<TraceWriter>(traceStream_);
  }

  link_ = std::make_unique<link::UsbPipeLink>(*library_, messages_);
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
  if (emulated_ == nullptr || options_.stateDir.empty()) {
    return;
  }
  try {
    std::filesystem::create_directories(options_.stateDir);
    emulated_->Device().SaveState(options_.stateDir);
  } catch (const std::exception& e) {
    throw CliError(kExitFileError,
                   "cannot save the emulated device to " + options_.stateDir + ": " + e.what());
  }
}

}  // namespace korvane::cli
