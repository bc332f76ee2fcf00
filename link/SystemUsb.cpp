#include "link/SystemUsb.h"

#include "link/LibUsbLibrary.h"

#ifdef _WIN32
#include "link/MpusbDllLibrary.h"
#include "link/WindowsDrivers.h"
#endif

namespace korvane::link {

UsbSystem SystemUsb() {
  UsbSystem system;
  system.libusb = [] { return std::make_unique<LibUsbLibrary>(); };
#ifdef _WIN32
  system.dll = [] { return std::make_unique<MpusbDllLibrary>(); };
  system.presentDevices = PresentUsbDevices;
#endif
  return system;
}

}  // namespace korvane::link
