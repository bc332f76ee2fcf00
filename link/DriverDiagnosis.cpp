#include "link/DriverDiagnosis.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <utility>

namespace korvane::link {

namespace {

// Device Manager's problem codes that the sentences treat on their own.
constexpr std::uint32_t kProblemNotConfigured = 1;
constexpr std::uint32_t kProblemFailedStart = 10;
constexpr std::uint32_t kProblemNeedRestart = 14;
constexpr std::uint32_t kProblemReinstall = 18;
constexpr std::uint32_t kProblemDisabled = 22;
constexpr std::uint32_t kProblemFailedInstall = 28;  // no driver
constexpr std::uint32_t kProblemFailedAdd = 31;
constexpr std::uint32_t kProblemDisabledService = 32;
constexpr std::uint32_t kProblemFailedDriverEntry = 37;
constexpr std::uint32_t kProblemDriverFailedLoad = 39;
constexpr std::uint32_t kProblemFailedPostStart = 43;
constexpr std::uint32_t kProblemDriverBlocked = 48;
constexpr std::uint32_t kProblemUnsignedDriver = 52;

// Microsoft's steps for giving a device the WinUSB driver, as Device Manager names them.
constexpr const char* kBindWinUsb =
    "in Device Manager right-click the device, choose Update driver, then Browse my computer "
    "for drivers, Let me pick from a list of available drivers on my computer, Universal Serial "
    "Bus devices, WinUsb Device, Next, and confirm with Yes";

// How a device stands, worst first.
enum class State { Problem, NoDriver, Unusable, Usable };

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

bool HasDriver(const PresentUsbDevice& device) {
  return !device.service.empty() && device.problem != kProblemFailedInstall;
}

State StateOf(const PresentUsbDevice& device, const DriverFacts& facts) {
  if (device.problem != 0 && device.problem != kProblemFailedInstall) {
    return State::Problem;
  }
  if (!HasDriver(device)) {
    return State::NoDriver;
  }
  const bool usable =
      LibUsbCanUse(device.service) ? facts.libusbAllowed : facts.dllAllowed && facts.dllUsable;
  return usable ? State::Usable : State::Unusable;
}

// "the device "Name"", or the device by its instance path when Windows gives it no name.
std::string Named(const PresentUsbDevice& device) {
  return "the device " + (device.name.empty() ? device.instanceId : "\"" + device.name + "\"");
}

std::string Capitalised(std::string text) {
  if (!text.empty()) {
    text[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
  }
  return text;
}

std::string ProblemText(std::uint32_t problem) {
  const std::string meaning = ProblemMeaning(problem);
  return "Device Manager code " + std::to_string(problem) +
         (meaning.empty() ? std::string() : ": " + meaning);
}

// The way out when the device's driver cannot serve Korvane: WinUSB, where the route takes it.
std::string WinUsbStep(const DriverFacts& facts) {
  return facts.libusbAllowed ? std::string("give it Microsoft's WinUSB driver: ") + kBindWinUsb
                             : std::string("give it Microsoft's WinUSB driver (") + kBindWinUsb +
                                   ") and leave --usb vbmpusbapi out";
}

std::string ProblemAdvice(const PresentUsbDevice& device, const DriverFacts& facts) {
  const std::string name = Named(device);
  const std::string code = " (" + ProblemText(device.problem) + ")";
  switch (device.problem) {
    case kProblemDisabled:
      return Capitalised(name) + " is disabled" + code +
             ": in Device Manager right-click it and choose Enable device.";
    case kProblemNeedRestart:
      return Capitalised(name) + " waits for Windows to restart" + code + ": restart Windows.";
    case kProblemFailedStart:
    case kProblemFailedPostStart:
      return "Windows stopped " + name + code +
             ": unplug it and plug it in again, at another port and without a hub or with "
             "another cable; if the code stays, " +
             WinUsbStep(facts) + ".";
    default:
      return "Windows does not run the driver of " + name + code + ": " + WinUsbStep(facts) + ".";
  }
}

std::string NoDriverAdvice(const PresentUsbDevice& device, const DriverFacts& facts) {
  const std::string start = Capitalised(Named(device)) + " has no driver: ";
  if (!facts.dllAllowed) {
    return start + "give it Microsoft's WinUSB driver: " + kBindWinUsb + ".";
  }
  if (!facts.libusbAllowed) {
    return start + "install the device's driver package, which brings vbmpusbapi.dll, or " +
           WinUsbStep(facts) + ".";
  }
  return start +
         "install the device's driver package (Korvane then uses vbmpusbapi.dll), or give it "
         "Microsoft's WinUSB driver (Korvane then uses libusb): " +
         kBindWinUsb + ".";
}

std::string UnusableAdvice(const PresentUsbDevice& device, const DriverFacts& facts) {
  const std::string start = Capitalised(Named(device)) + " has the driver " + device.service;
  if (LibUsbCanUse(device.service)) {
    // Only --usb vbmpusbapi leaves these out.
    return start +
           ", which Korvane reaches through libusb, not through vbmpusbapi.dll: use "
           "--usb auto or --usb winusb.";
  }
  if (!facts.dllAllowed) {
    return start + ", which libusb cannot use (it uses WinUSB, libusbK and libusb0): " +
           "give the device Microsoft's WinUSB driver: " + kBindWinUsb + ".";
  }
  return start +
         ", which Korvane reaches only through vbmpusbapi.dll, and there is no working "
         "vbmpusbapi.dll here: install the device's driver package complete with "
         "vbmpusbapi.dll, or " +
         WinUsbStep(facts) + ".";
}

std::string UsableAdvice(const PresentUsbDevice& device) {
  return Capitalised(Named(device)) + " has the driver " + device.service +
         ", which Korvane can use, yet it did not answer: make sure it is in its bootloader (see "
         "your product's manual), unplug it and plug it in again, and try another cable or "
         "port.";
}

}  // namespace

bool LibUsbCanUse(std::string_view service) {
  return EqualsIgnoringCase(service, "WinUSB") || EqualsIgnoringCase(service, "libusbK") ||
         EqualsIgnoringCase(service, "libusb0");
}

std::string ProblemMeaning(std::uint32_t problem) {
  static constexpr std::array<std::pair<std::uint32_t, const char*>, 13> kMeanings{{
      {kProblemNotConfigured, "it is not configured"},
      {kProblemFailedStart, "it could not be started"},
      {kProblemNeedRestart, "Windows must restart first"},
      {kProblemReinstall, "its driver must be installed again"},
      {kProblemDisabled, "it is disabled"},
      {kProblemFailedInstall, "no driver is installed"},
      {kProblemFailedAdd, "Windows could not load its driver"},
      {kProblemDisabledService, "its driver service is disabled"},
      {kProblemFailedDriverEntry, "its driver failed to start"},
      {kProblemDriverFailedLoad, "its driver could not be loaded"},
      {kProblemFailedPostStart, "it reported a failure"},
      {kProblemDriverBlocked, "its driver is blocked from starting"},
      {kProblemUnsignedDriver, "Windows cannot verify the signature of its driver"},
  }};
  for (const auto& [code, meaning] : kMeanings) {
    if (code == problem) {
      return meaning;
    }
  }
  return {};
}

DriverDiagnosis DiagnoseDrivers(const DriverFacts& facts) {
  DriverDiagnosis diagnosis;
  char identity[32];
  std::snprintf(identity, sizeof identity, "VID %04X and PID %04X", facts.vendor, facts.product);
  if (facts.devices.empty()) {
    diagnosis.lines.push_back(std::string("Windows has no USB device with ") + identity +
                              " present");
    diagnosis.advice = std::string("Windows sees no USB device with ") + identity +
                       ": plug the device in in bootloader mode (see your product's manual), "
                       "with a cable that carries data, and try again.";
    return diagnosis;
  }
  const PresentUsbDevice* worst = nullptr;
  State worstState = State::Usable;
  for (const PresentUsbDevice& device : facts.devices) {
    std::string line = "Windows has " + device.instanceId +
                       (device.name.empty() ? std::string() : " (\"" + device.name + "\")") + ": " +
                       (HasDriver(device) ? "driver " + device.service : "no driver");
    if (device.problem != 0) {
      line += ", " + ProblemText(device.problem);
    }
    diagnosis.lines.push_back(line);
    const State state = StateOf(device, facts);
    if (worst == nullptr || state < worstState) {
      worst = &device;
      worstState = state;
    }
  }
  switch (worstState) {
    case State::Problem:
      diagnosis.advice = ProblemAdvice(*worst, facts);
      break;
    case State::NoDriver:
      diagnosis.advice = NoDriverAdvice(*worst, facts);
      break;
    case State::Unusable:
      diagnosis.advice = UnusableAdvice(*worst, facts);
      break;
    case State::Usable:
      diagnosis.advice = UsableAdvice(*worst);
      break;
  }
  return diagnosis;
}

}  // namespace korvane::link
