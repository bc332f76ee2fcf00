#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

// What the USB backends read out of the pipe API's names, and the Windows codes they report.
namespace korvane::link {

// Windows system error codes the backends report besides kErrorInvalidHandle and kErrorTimeout.
inline constexpr std::uint32_t kErrorFileNotFound = 2;
inline constexpr std::uint32_t kErrorNotEnoughMemory = 8;
inline constexpr std::uint32_t kErrorGenFailure = 31;
inline constexpr std::uint32_t kErrorNotSupported = 50;
inline constexpr std::uint32_t kErrorInvalidParameter = 87;
inline constexpr std::uint32_t kErrorBusy = 170;
inline constexpr std::uint32_t kErrorMoreData = 234;
inline constexpr std::uint32_t kErrorOperationAborted = 995;
inline constexpr std::uint32_t kErrorIoDevice = 1117;

// Vendor and product parsed from an identity such as "vid_04d8&pid_a5e2" (any letter case).
struct UsbIdentity {
  std::uint16_t vendor = 0;
  std::uint16_t product = 0;
};
std::optional<UsbIdentity> ParseUsbIdentity(std::string_view identity);

// Endpoint number of a pipe name such as "\MCHP_EP1" (any letter case), 0 to 15.
std::optional<std::uint8_t> ParsePipeEndpoint(std::string_view pipeName);

}  // namespace korvane::link
