#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace korvane::gadget {

// Setting up or running the gadget failed; the message is one sentence that names what is
// missing or what went wrong.
class GadgetError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Where the kernel shows what the gadget needs. Tests point these at folders of their own.
struct SystemPaths {
  std::filesystem::path configfs = "/sys/kernel/config";
  std::filesystem::path udcClass = "/sys/class/udc";
  std::filesystem::path mounts = "/proc/mounts";
  std::filesystem::path filesystems = "/proc/filesystems";
  std::filesystem::path runFolder = "/run/korvane-gadget";
};

// The USB device controllers of this machine, sorted by name.
std::vector<std::string> ListUdcs(const SystemPaths& paths);

// Checks that configfs is mounted (mounting it when the kernel has it) and that the kernel
// has USB gadgets in configfs (libcomposite). Throws GadgetError.
void CheckConfigfs(const SystemPaths& paths);

// The controller to use: `wanted`, or the only one there is. Throws GadgetError naming the
// controllers there are when `wanted` is not one of them, none is there, or several are and
// none was named, and when the controller already serves a gadget.
std::string ChooseUdc(const SystemPaths& paths, const std::optional<std::string>& wanted);

struct DeviceStrings {
  std::string manufacturer;
  std::string product;
  std::string serial;
};

// One USB gadget in configfs with one FunctionFS function in one configuration: created by
// the constructor, torn down by the destructor (unbound first). The function's FunctionFS
// instance is mounted at MountPoint() for the device program to write its descriptors to.
class ConfigfsGadget {
 public:
  // Throws GadgetError: the usb_f_fs module is missing, the gadget cannot be made or the
  // FunctionFS instance cannot be mounted.
  ConfigfsGadget(const SystemPaths& paths, const std::string& udc, std::uint16_t vendor,
                 std::uint16_t product, std::uint16_t deviceRelease, const DeviceStrings& strings);
  ConfigfsGadget(const ConfigfsGadget&) = delete;
  ConfigfsGadget& operator=(const ConfigfsGadget&) = delete;
  ~ConfigfsGadget();

  const std::filesystem::path& MountPoint() const { return mountPoint_; }
  // Binds the gadget to its controller: the host sees the device arrive. Throws GadgetError.
  void Bind();
  // The device leaves the host (nothing happens when it is not bound).
  void Unbind() noexcept;

 private:
  void TearDown() noexcept;

  std::filesystem::path gadget_;
  std::filesystem::path function_;
  std::filesystem::path link_;
  std::filesystem::path mountPoint_;
  std::string udc_;
  std::string instance_;
  bool mounted_ = false;
  bool bound_ = false;
};

// Writes `text` into the attribute file `file` (configfs, sysfs). Throws GadgetError.
void WriteAttribute(const std::filesystem::path& file, const std::string& text);

}  // namespace korvane::gadget
