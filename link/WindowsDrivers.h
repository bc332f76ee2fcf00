#pragma once

#include <optional>
#include <vector>

#include "link/DriverDiagnosis.h"
#include "link/UsbIdentity.h"

namespace korvane::link {

// The USB devices with the identity that Windows has present, with the driver service each is
// bound to and its Device Manager problem code, from the system's device list (SetupAPI and
// the configuration manager). Nothing when the list cannot be read.
std::optional<std::vector<PresentUsbDevice>> PresentUsbDevices(const UsbIdentity& identity);

}  // namespace korvane::link
