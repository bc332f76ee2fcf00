#include "station/Session.h"

#include <array>
#include <charconv>
#include <cmath>
#include <utility>

#include "emulator/FaultText.h"

namespace korvane::station {

namespace {

template <typename Number>
bool ParseWhole(std::string_view text, Number& number) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
  return !text.empty() && error == std::errc{} && end == text.data() + text.size();
}

}  // namespace

std::optional<DeviceFault> ParseFault(std::string_view text) {
  DeviceFault parsed;
  if (const std::size_t colon = text.find(':'); colon != std::string_view::npos) {
    int device = 0;
    if (!ParseWhole(text.substr(0, colon), device) || device < 0) {
      return std::nullopt;
    }
    parsed.device = device;
    text.remove_prefix(colon + 1);
  }
  const auto fault = emulator::ParseFault(text);
  if (!fault) {
    return std::nullopt;
  }
  parsed.fault = *fault;
  return parsed;
}

std::vector<DeviceFault> CheckDeviceOptions(const DeviceOptions& options) {
  if (!options.UsesEmulator() && (!options.faults.empty() || !options.stateDir.empty())) {
    throw StationError(Verdict::Usage, Problem::EmulatorChoiceMissing,
                       "faults and a state folder are for the emulated device only");
  }
  if (options.emulatedDevices < 0 || options.emulatedDevices > 64) {
    throw StationError(Verdict::Usage, Problem::EmulatedDeviceCount,
                       "1 to 64 emulated devices can be attached", {}, {},
                       static_cast<std::uint64_t>(options.emulatedDevices));
  }
  if (options.waitSeconds && !(std::isfinite(*options.waitSeconds) && *options.waitSeconds >= 0 &&
                               *options.waitSeconds <= kMaxWaitSeconds)) {
    throw StationError(Verdict::Usage, Problem::WaitOutOfRange,
                       "a wait is a number of seconds from 0 to 2592000 (30 days)");
  }
  std::vector<DeviceFault> faults;
  for (const std::string& text : options.faults) {
    const auto fault = ParseFault(text);
    if (!fault) {
      throw StationError(Verdict::Usage, Problem::FaultUnreadable,
                         "the fault " + text + " is not [DEVICE:]KIND@N", text);
    }
    const int devices = std::max(options.emulatedDevices, 1);
    if (fault->device && *fault->device >= devices) {
      throw StationError(Verdict::Usage, Problem::NoSuchEmulatedDevice,
                         "there is no emulated device " + std::to_string(*fault->device), text,
                         std::to_string(devices - 1), static_cast<std::uint64_t>(*fault->device));
    }
    faults.push_back(*fault);
  }
  return faults;
}

DeviceSession::DeviceSession(DeviceTarget target, link::LinkMessages& messages,
                             link::PacketTap* tap)
    : target_(std::move(target)) {
  link_ = std::make_unique<link::UsbPipeLink>(*target_.library, messages, target_.instance);
  link_->InitPipes();
  link_->SetPacketTap(tap);
  client_ = std::make_unique<link::BootloaderClient>(*link_);
}

DeviceSession::~DeviceSession() {
  // The link closes its pipes through the library, so it goes first.
  client_.reset();
  link_.reset();
}

}  // namespace korvane::station
