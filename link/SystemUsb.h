#pragma once

#include "link/UsbChoice.h"

namespace korvane::link {

// This system's USB libraries: libusb, and on Windows also vbmpusbapi.dll and the list of the
// drivers that Windows has bound to devices.
UsbSystem SystemUsb();

}  // namespace korvane::link
