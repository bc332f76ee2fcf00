#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "link/DriverDiagnosis.h"
#include "link/UsbIdentity.h"
#include "link/UsbLibrary.h"

namespace korvane::link {

// How Korvane reaches USB devices. On Windows there are two routes: the device's driver
// package with its vbmpusbapi.dll, and libusb for devices bound to WinUSB (or libusbK,
// libusb0). `Auto` picks one; the others force it.
enum class UsbRoute { Auto, Vbmpusbapi, WinUsb };

// "auto", "vbmpusbapi", "winusb" (as --usb and KORVANE_USB take them); nothing for other text.
std::optional<UsbRoute> ParseUsbRoute(std::string_view text);
std::string_view UsbRouteName(UsbRoute route);

using UsbLibraryMaker = std::function<std::unique_ptr<UsbLibrary>()>;

// The USB libraries a system has, and how it lists the devices drivers are bound to.
struct UsbSystem {
  UsbLibraryMaker dll;     // vbmpusbapi.dll; empty where there is none
  UsbLibraryMaker libusb;  // libusb; empty where there is none
  // The devices with the identity that the system has present, and their drivers; nothing
  // when the list cannot be read. Empty where the system keeps no such list.
  std::function<std::optional<std::vector<PresentUsbDevice>>(const UsbIdentity&)> presentDevices;
};

// One command's choice of USB library, shared by every library the command makes, so that all
// of them are of one kind (the bench's scanner and each device's own library).
//
// A forced route is chosen from the start. `Auto` looks, as long as nothing is chosen, first
// through vbmpusbapi.dll, then through libusb, and takes the first that counts a device; a
// vbmpusbapi.dll that is missing or cannot be used leaves libusb at once. Until a device is
// seen nothing is chosen, so that a device plugged in later is reached the way its driver
// allows. Once chosen, the choice holds.
class UsbChoice : public std::enable_shared_from_this<UsbChoice> {
 public:
  enum class Kind { Dll, LibUsb };

  // A sentence refusing the route where this system does not have it, or empty.
  static std::string Refusal(UsbRoute route, const UsbSystem& system);
  // The route must not be refused (see Refusal).
  static std::shared_ptr<UsbChoice> Create(UsbRoute route, UsbSystem system);

  // A library of the chosen kind, or one that chooses as it looks while nothing is chosen.
  std::unique_ptr<UsbLibrary> MakeLibrary();

  std::optional<Kind> Chosen() const;

  UsbChoice(UsbRoute route, UsbSystem system);
  UsbChoice(const UsbChoice&) = delete;
  UsbChoice& operator=(const UsbChoice&) = delete;

 private:
  friend class ChoosingUsbLibrary;

  // The first choice holds: returns the kind chosen, which may be another thread's.
  Kind Choose(Kind kind, std::string reason);
  // "libusb (auto: vbmpusbapi.dll counts no device, libusb counts 1)", for the diagnostics.
  std::string Describe() const;

  UsbRoute route_;
  UsbSystem system_;
  mutable std::mutex mutex_;
  std::optional<Kind> chosen_;
  std::string reason_;
};

}  // namespace korvane::link
