#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Why no device answers on Windows, from what the system's device list says about the devices
// with the bootloader's identity: which driver each one has, and whether Windows reports a
// problem with it. Plain data in, lines and one sentence out; the list itself is read by
// WindowsDrivers.cpp.
namespace korvane::link {

// One device that Windows has present, as Device Manager shows it.
struct PresentUsbDevice {
  std::string instanceId;     // "USB\VID_04D8&PID_A5E2\5&1C2A3B&0&2"
  std::string name;           // what Device Manager calls it; may be empty
  std::string service;        // the driver service ("WinUSB", "libusbK"); empty: no driver
  std::uint32_t problem = 0;  // Device Manager's problem code ("Code 28"); 0: none
};

// What the diagnosis looks at besides the devices: the identity, and which USB libraries the
// chosen route may use and whether vbmpusbapi.dll can be used.
struct DriverFacts {
  std::uint16_t vendor = 0;
  std::uint16_t product = 0;
  std::vector<PresentUsbDevice> devices;
  bool libusbAllowed = true;  // the route can take libusb (auto, winusb)
  bool dllAllowed = true;     // the route can take vbmpusbapi.dll (auto, vbmpusbapi)
  bool dllUsable = false;     // vbmpusbapi.dll loads with all its operations
};

struct DriverDiagnosis {
  std::vector<std::string> lines;  // one per device (or one saying there is none)
  std::string advice;              // one sentence: the next step
};

// True for the driver services libusb reaches devices through (WinUSB, libusbK, libusb0).
bool LibUsbCanUse(std::string_view service);

// What a Device Manager problem code means, in a few words ("its driver is not signed");
// empty for a code without a meaning of its own here.
std::string ProblemMeaning(std::uint32_t problem);

// The lines and the sentence for the devices. With several devices the sentence is about the
// one in the worst state: a problem code, then no driver, then a driver Korvane cannot use.
DriverDiagnosis DiagnoseDrivers(const DriverFacts& facts);

}  // namespace korvane::link
