#include "link/WindowsDrivers.h"

// clang-format off
#include <windows.h>
#include <cfgmgr32.h>
#include <setupapi.h>
// clang-format on

#include <algorithm>
#include <cstdio>
#include <cwctype>
#include <string>

#include "platform/Files.h"

namespace korvane::link {

namespace {

// Owns a SetupAPI device list and destroys it once.
class DeviceList {
 public:
  explicit DeviceList(HDEVINFO list) : list_(list) {}
  DeviceList(const DeviceList&) = delete;
  DeviceList& operator=(const DeviceList&) = delete;
  ~DeviceList() {
    if (list_ != INVALID_HANDLE_VALUE) {
      SetupDiDestroyDeviceInfoList(list_);
    }
  }
  HDEVINFO Get() const { return list_; }

 private:
  HDEVINFO list_;
};

// A text property of the device from its registry entry; empty when it has none.
std::string TextProperty(HDEVINFO list, SP_DEVINFO_DATA& device, DWORD property) {
  std::wstring buffer(256, L'\0');
  for (;;) {
    DWORD type = 0;
    DWORD needed = 0;
    if (SetupDiGetDeviceRegistryPropertyW(
            list, &device, property, &type, reinterpret_cast<BYTE*>(buffer.data()),
            static_cast<DWORD>(buffer.size() * sizeof(wchar_t)), &needed)) {
      if (type != REG_SZ) {
        return {};
      }
      buffer.resize(std::min<std::size_t>(needed / sizeof(wchar_t), buffer.size()));
      while (!buffer.empty() && buffer.back() == L'\0') {
        buffer.pop_back();
      }
      return platform::Utf8FromWide(buffer);
    }
    if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER ||
        needed <= buffer.size() * sizeof(wchar_t)) {
      return {};  // the device has no such property
    }
    buffer.resize(needed / sizeof(wchar_t) + 1);
  }
}

std::wstring Upper(std::wstring text) {
  for (wchar_t& c : text) {
    c = static_cast<wchar_t>(std::towupper(c));
  }
  return text;
}

}  // namespace

std::optional<std::vector<PresentUsbDevice>> PresentUsbDevices(const UsbIdentity& identity) {
  wchar_t prefix[32];
  std::swprintf(prefix, 32, L"USB\\VID_%04X&PID_%04X", identity.vendor, identity.product);
  const std::wstring wanted = prefix;

  const DeviceList list(
      SetupDiGetClassDevsW(nullptr, L"USB", nullptr, DIGCF_ALLCLASSES | DIGCF_PRESENT));
  if (list.Get() == INVALID_HANDLE_VALUE) {
    return std::nullopt;
  }
  std::vector<PresentUsbDevice> devices;
  SP_DEVINFO_DATA info{};
  info.cbSize = sizeof info;
  for (DWORD index = 0; SetupDiEnumDeviceInfo(list.Get(), index, &info); ++index) {
    wchar_t id[MAX_DEVICE_ID_LEN + 1] = {};
    if (!SetupDiGetDeviceInstanceIdW(list.Get(), &info, id, MAX_DEVICE_ID_LEN + 1, nullptr)) {
      continue;
    }
    // "USB\VID_04D8&PID_A5E2\serial", or "...&MI_00\..." for one function of a composite device.
    const std::wstring instance = Upper(id);
    if (instance.compare(0, wanted.size(), wanted) != 0 || instance.size() == wanted.size() ||
        (instance[wanted.size()] != L'\\' && instance[wanted.size()] != L'&')) {
      continue;
    }
    PresentUsbDevice device;
    device.instanceId = platform::Utf8FromWide(id);
    device.service = TextProperty(list.Get(), info, SPDRP_SERVICE);
    if (_stricmp(device.service.c_str(), "usbccgp") == 0) {
      continue;  // the parent of a composite device: its functions are listed by themselves
    }
    device.name = TextProperty(list.Get(), info, SPDRP_FRIENDLYNAME);
    if (device.name.empty()) {
      device.name = TextProperty(list.Get(), info, SPDRP_DEVICEDESC);
    }
    ULONG status = 0;
    ULONG problem = 0;
    if (CM_Get_DevNode_Status(&status, &problem, info.DevInst, 0) == CR_SUCCESS &&
        (status & DN_HAS_PROBLEM) != 0) {
      device.problem = problem;
    }
    devices.push_back(std::move(device));
  }
  return devices;
}

}  // namespace korvane::link
