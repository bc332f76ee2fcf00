#include "link/UsbChoice.h"

#include <utility>

#include "link/UsbPipeLink.h"

namespace korvane::link {

namespace {

constexpr std::string_view kDllName = "vbmpusbapi.dll";
constexpr std::string_view kLibUsbName = "libusb";

std::string_view KindName(UsbChoice::Kind kind) {
  return kind == UsbChoice::Kind::Dll ? kDllName : kLibUsbName;
}

std::string Devices(std::size_t count) {
  return std::to_string(count) + (count == 1 ? " device" : " devices");
}

}  // namespace

// The library a command talks through: the chosen kind, or, while nothing is chosen, the
// candidates in turn. Each instance keeps candidate libraries of its own, so that it serves
// one thread as every library does.
class ChoosingUsbLibrary final : public UsbLibrary {
 public:
  explicit ChoosingUsbLibrary(std::shared_ptr<UsbChoice> choice) : choice_(std::move(choice)) {}

  std::int32_t MPUSBGetDeviceCount(std::string_view identity) override {
    if (UsbLibrary* current = Current()) {
      return current->MPUSBGetDeviceCount(identity);
    }
    return static_cast<std::int32_t>(Look(identity).size());
  }

  PipeHandle MPUSBOpen(std::uint32_t instance, std::string_view identity, std::string_view pipeName,
                       std::uint32_t direction, std::uint32_t reserved) override {
    UsbLibrary* current = Current();
    if (current == nullptr) {
      // Nothing counted a device yet: there is nothing to open.
      lastError_ = kErrorFileNotFound;
      return kInvalidPipe;
    }
    return current->MPUSBOpen(instance, identity, pipeName, direction, reserved);
  }

  std::int32_t MPUSBWrite(PipeHandle handle, std::span<const std::uint8_t> data,
                          std::uint32_t& sent, std::uint32_t timeoutMs) override {
    if (UsbLibrary* current = Current()) {
      return current->MPUSBWrite(handle, data, sent, timeoutMs);
    }
    sent = 0;
    lastError_ = kErrorInvalidHandle;
    return 0;
  }

  std::int32_t MPUSBRead(PipeHandle handle, std::span<std::uint8_t> buffer, std::uint32_t& received,
                         std::uint32_t timeoutMs) override {
    if (UsbLibrary* current = Current()) {
      return current->MPUSBRead(handle, buffer, received, timeoutMs);
    }
    received = 0;
    lastError_ = kErrorInvalidHandle;
    return 0;
  }

  std::int32_t MPUSBClose(PipeHandle handle) override {
    if (UsbLibrary* current = Current()) {
      return current->MPUSBClose(handle);
    }
    lastError_ = kErrorInvalidHandle;
    return 0;
  }

  std::uint32_t GetLastError() override {
    UsbLibrary* current = Current();
    return current != nullptr ? current->GetLastError() : lastError_;
  }

  bool IdentifiesDevice() const override {
    const UsbLibrary* current = Current();
    return current != nullptr && current->IdentifiesDevice();
  }

  // While nothing is chosen, a look decides where it can; with no device anywhere the answer
  // stays no, since vbmpusbapi.dll may still be chosen.
  bool KnowsPlaces() const override {
    if (Current() == nullptr) {
      Look(kDeviceIdentity);
    }
    const UsbLibrary* current = Current();
    return current != nullptr && current->KnowsPlaces();
  }

  std::string LibraryName() const override {
    if (const UsbLibrary* current = Current()) {
      return current->LibraryName();
    }
    return std::string(choice_->system_.dll ? kDllName : kLibUsbName);
  }

  Availability Available() override {
    UsbLibrary* current = Current();
    return current != nullptr ? current->Available() : Availability::Usable;
  }

  std::string TakeUserNotice() override {
    std::string notice = std::exchange(pending_, {});
    UsbLibrary* current = Current();
    if (current == nullptr) {
      current = libusb_.get();
    }
    if (current != nullptr) {
      const std::string more = current->TakeUserNotice();
      notice += (notice.empty() || more.empty() ? "" : " ") + more;
    }
    return notice;
  }

  std::vector<AttachedDevice> ListDevices(std::string_view identity) override {
    if (UsbLibrary* current = Current()) {
      return current->ListDevices(identity);
    }
    return Look(identity);
  }

  bool PinLocation(std::string_view location) override {
    UsbLibrary* current = Current();
    return current != nullptr && current->PinLocation(location);
  }

  void WaitForArrival(std::string_view identity, std::chrono::milliseconds timeout) override {
    if (UsbLibrary* current = Current()) {
      current->WaitForArrival(identity, timeout);
    } else {
      UsbLibrary::WaitForArrival(identity, timeout);
    }
  }

  std::vector<std::string> Diagnostics(std::string_view identity) override {
    if (Current() == nullptr) {
      Look(identity);
    }
    std::vector<std::string> lines{"USB library: " + choice_->Describe()};
    const auto add = [&lines](const std::vector<std::string>& more) {
      lines.insert(lines.end(), more.begin(), more.end());
    };
    if (DllAllowed()) {
      add(Dll().Diagnostics(identity));
    }
    if (LibUsbAllowed()) {
      add(LibUsb().Diagnostics(identity));
    }
    if (choice_->system_.presentDevices) {
      if (const auto facts = Facts(identity)) {
        add(DiagnoseDrivers(*facts).lines);
      } else {
        lines.push_back("Windows' list of devices could not be read");
      }
    }
    return lines;
  }

  std::string NoDeviceAdvice(std::string_view identity) override {
    const auto facts = Facts(identity);
    return facts ? DiagnoseDrivers(*facts).advice : std::string();
  }

 private:
  using Kind = UsbChoice::Kind;

  bool DllAllowed() const { return choice_->system_.dll && choice_->route_ != UsbRoute::WinUsb; }
  bool LibUsbAllowed() const {
    return choice_->system_.libusb && choice_->route_ != UsbRoute::Vbmpusbapi;
  }

  UsbLibrary& Dll() const {
    if (!dll_) {
      dll_ = choice_->system_.dll();
    }
    return *dll_;
  }
  UsbLibrary& LibUsb() const {
    if (!libusb_) {
      libusb_ = choice_->system_.libusb();
    }
    return *libusb_;
  }

  // The library of the chosen kind, or null while nothing is chosen.
  UsbLibrary* Current() const {
    const std::optional<Kind> chosen = choice_->Chosen();
    if (!chosen) {
      return nullptr;
    }
    return *chosen == Kind::Dll ? &Dll() : &LibUsb();
  }

  // Looks for devices while nothing is chosen (both libraries exist, the route is auto) and
  // chooses the library that counts one. The devices it found, through the chosen library.
  std::vector<AttachedDevice> Look(std::string_view identity) const {
    UsbLibrary& dll = Dll();
    const Availability availability = dll.Available();
    if (availability != Availability::Usable) {
      // A missing library is the libusb route's normal case; one that is there but broken is
      // told.
      std::string notice = dll.TakeUserNotice();
      if (availability == Availability::Broken) {
        pending_ = std::move(notice);
      }
      choice_->Choose(Kind::LibUsb, availability == Availability::Missing
                                        ? "auto: vbmpusbapi.dll is not installed"
                                        : "auto: vbmpusbapi.dll cannot be used");
      return Current()->ListDevices(identity);
    }
    std::vector<AttachedDevice> devices = dll.ListDevices(identity);
    if (!devices.empty()) {
      if (choice_->Choose(Kind::Dll, "auto: vbmpusbapi.dll counts " + Devices(devices.size())) ==
          Kind::Dll) {
        return devices;
      }
      return Current()->ListDevices(identity);
    }
    devices = LibUsb().ListDevices(identity);
    if (!devices.empty()) {
      if (choice_->Choose(Kind::LibUsb, "auto: vbmpusbapi.dll counts no device, libusb counts " +
                                            Devices(devices.size())) == Kind::LibUsb) {
        return devices;
      }
      return Current()->ListDevices(identity);
    }
    return {};
  }

  std::optional<DriverFacts> Facts(std::string_view identity) {
    const auto parsed = ParseUsbIdentity(identity);
    if (!choice_->system_.presentDevices || !parsed) {
      return std::nullopt;
    }
    auto devices = choice_->system_.presentDevices(*parsed);
    if (!devices) {
      return std::nullopt;
    }
    DriverFacts facts;
    facts.vendor = parsed->vendor;
    facts.product = parsed->product;
    facts.devices = std::move(*devices);
    facts.libusbAllowed = LibUsbAllowed();
    facts.dllAllowed = DllAllowed();
    facts.dllUsable = facts.dllAllowed && Dll().Available() == Availability::Usable;
    return facts;
  }

  std::shared_ptr<UsbChoice> choice_;
  // Looking is how a chooser finds out which library to use, so that even its const questions
  // may have to look first.
  mutable std::unique_ptr<UsbLibrary> dll_;
  mutable std::unique_ptr<UsbLibrary> libusb_;
  mutable std::string pending_;  // what an unusable vbmpusbapi.dll had to say
  std::uint32_t lastError_ = 0;
};

std::optional<UsbRoute> ParseUsbRoute(std::string_view text) {
  for (const UsbRoute route : {UsbRoute::Auto, UsbRoute::Vbmpusbapi, UsbRoute::WinUsb}) {
    if (text == UsbRouteName(route)) {
      return route;
    }
  }
  return std::nullopt;
}

std::string_view UsbRouteName(UsbRoute route) {
  switch (route) {
    case UsbRoute::Vbmpusbapi:
      return "vbmpusbapi";
    case UsbRoute::WinUsb:
      return "winusb";
    case UsbRoute::Auto:
      break;
  }
  return "auto";
}

std::string UsbChoice::Refusal(UsbRoute route, const UsbSystem& system) {
  if (route == UsbRoute::Auto || (system.dll && system.libusb)) {
    return {};
  }
  return "--usb " + std::string(UsbRouteName(route)) +
         " chooses between the two USB routes of Windows; here Korvane reaches the device "
         "through " +
         std::string(system.dll ? kDllName : kLibUsbName) +
         " only: leave --usb out (or give --usb auto)";
}

UsbChoice::UsbChoice(UsbRoute route, UsbSystem system)
    : route_(route), system_(std::move(system)) {}

std::shared_ptr<UsbChoice> UsbChoice::Create(UsbRoute route, UsbSystem system) {
  auto choice = std::make_shared<UsbChoice>(route, std::move(system));
  if (!choice->system_.dll) {
    choice->Choose(Kind::LibUsb, "");  // the only library here
  } else if (!choice->system_.libusb) {
    choice->Choose(Kind::Dll, "");
  } else if (route == UsbRoute::Vbmpusbapi) {
    choice->Choose(Kind::Dll, "--usb vbmpusbapi");
  } else if (route == UsbRoute::WinUsb) {
    choice->Choose(Kind::LibUsb, "--usb winusb");
  }
  return choice;
}

std::unique_ptr<UsbLibrary> UsbChoice::MakeLibrary() {
  return std::make_unique<ChoosingUsbLibrary>(shared_from_this());
}

std::optional<UsbChoice::Kind> UsbChoice::Chosen() const {
  const std::lock_guard lock(mutex_);
  return chosen_;
}

UsbChoice::Kind UsbChoice::Choose(Kind kind, std::string reason) {
  const std::lock_guard lock(mutex_);
  if (!chosen_) {
    chosen_ = kind;
    reason_ = std::move(reason);
  }
  return *chosen_;
}

std::string UsbChoice::Describe() const {
  const std::lock_guard lock(mutex_);
  if (!chosen_) {
    return "none chosen yet (auto: neither vbmpusbapi.dll nor libusb counts a device; the first "
           "that counts one is taken)";
  }
  return std::string(KindName(*chosen_)) + (reason_.empty() ? "" : " (" + reason_ + ")");
}

}  // namespace korvane::link
