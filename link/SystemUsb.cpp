#include "link/SystemUsb.h"

#include "link/LibUsbLibrary.h"

#ifdef _WIN32
#include "link/LibUsbRuntime.h"
#include "link/MpusbDllLibrary.h"
#include "link/WindowsDrivers.h"
#endif

namespace korvane::link {

UsbSystem SystemUsb() {
  UsbSystem system;
#ifdef _WIN32
  system.libusb = MakeLibUsbLibrary;  // through libusb-1.0.dll beside the program
  system.dll = [] { return std::make_unique<MpusbDllLibrary>(); };
  system.presentDevices = PresentUsbDevices;
#else
  system.libusb = [] { return std::make_unique<LibUsbLibrary>(); };
#endif
  return system;
}

}  // namespace korvane::link
