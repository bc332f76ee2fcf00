#include "gadget/Configfs.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <system_error>

namespace korvane::gadget {

namespace fs = std::filesystem;

namespace {

std::string Joined(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names) {
    text += (text.empty() ? "" : ", ") + name;
  }
  return text;
}

// The first line of a small file, or empty when it cannot be read.
std::string FirstLine(const fs::path& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  return line;
}

bool MountedAt(const SystemPaths& paths, const fs::path& point, std::string_view type) {
  std::ifstream mounts(paths.mounts);
  std::string line;
  while (std::getline(mounts, line)) {
    std::istringstream fields(line);
    std::string source;
    std::string target;
    std::string fsType;
    fields >> source >> target >> fsType;
    if (target == point.string() && (type.empty() || fsType == type)) {
      return true;
    }
  }
  return false;
}

bool KernelHas(const SystemPaths& paths, std::string_view filesystem) {
  std::ifstream list(paths.filesystems);
  std::string line;
  while (std::getline(list, line)) {
    const std::size_t tab = line.rfind('\t');
    if ((tab == std::string::npos ? line : line.substr(tab + 1)) == filesystem) {
      return true;
    }
  }
  return false;
}

// A configfs or FunctionFS name made of the controller's name: letters, digits and '_'.
std::string NameFor(const std::string& udc) {
  std::string name = "korvane_" + udc;
  std::replace_if(
      name.begin(), name.end(), [](char c) { return !std::isalnum(static_cast<unsigned char>(c)); },
      '_');
  return name.substr(0, 40);  // the longest FunctionFS instance name
}

void MakeFolder(const fs::path& folder) {
  if (::mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) {
    throw GadgetError("cannot create " + folder.string() + ": " + std::strerror(errno));
  }
}

void RemoveFolder(const fs::path& folder) noexcept {
  ::rmdir(folder.c_str());
}

// What a gadget left behind by a run that was killed: unbound, unmounted and removed, so that
// a new one can take its name.
void RemoveLeftovers(const SystemPaths& paths, const fs::path& gadget, const fs::path& mountPoint,
                     const std::string& instance) {
  std::error_code error;
  if (fs::exists(gadget / "UDC", error) && !FirstLine(gadget / "UDC").empty()) {
    try {
      WriteAttribute(gadget / "UDC", "\n");
    } catch (const GadgetError&) {
    }
  }
  if (MountedAt(paths, mountPoint, "functionfs")) {
    ::umount2(mountPoint.c_str(), MNT_DETACH);
  }
  ::unlink((gadget / "configs/c.1" / ("ffs." + instance)).c_str());
  RemoveFolder(gadget / "configs/c.1");
  RemoveFolder(gadget / "functions" / ("ffs." + instance));
  RemoveFolder(gadget / "strings/0x409");
  RemoveFolder(gadget);
}

}  // namespace

void WriteAttribute(const fs::path& file, const std::string& text) {
  const int fd = ::open(file.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) {
    throw GadgetError("cannot open " + file.string() + ": " + std::strerror(errno));
  }
  const ssize_t written = ::write(fd, text.data(), text.size());
  const int writeError = errno;
  ::close(fd);
  if (written != static_cast<ssize_t>(text.size())) {
    throw GadgetError("cannot write \"" + text + "\" to " + file.string() + ": " +
                      (written < 0 ? std::strerror(writeError) : "written in part"));
  }
}

std::vector<std::string> ListUdcs(const SystemPaths& paths) {
  std::vector<std::string> names;
  std::error_code error;
  for (const fs::directory_entry& entry : fs::directory_iterator(paths.udcClass, error)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

void CheckConfigfs(const SystemPaths& paths) {
  if (!MountedAt(paths, paths.configfs, "configfs")) {
    if (!KernelHas(paths, "configfs")) {
      throw GadgetError(
          "the kernel has no configfs (load it with modprobe configfs), which USB "
          "gadgets are made in");
    }
    if (::mount("none", paths.configfs.c_str(), "configfs", 0, nullptr) != 0) {
      throw GadgetError("configfs is not mounted at " + paths.configfs.string() +
                        " and cannot be mounted there (" + std::strerror(errno) +
                        "): mount -t configfs none " + paths.configfs.string());
    }
  }
  std::error_code error;
  if (!fs::is_directory(paths.configfs / "usb_gadget", error)) {
    throw GadgetError(
        "configfs has no usb_gadget folder: the kernel module libcomposite is not "
        "loaded (modprobe libcomposite)");
  }
}

std::string ChooseUdc(const SystemPaths& paths, const std::optional<std::string>& wanted) {
  const std::vector<std::string> udcs = ListUdcs(paths);
  if (udcs.empty()) {
    throw GadgetError("this machine has no USB device controller (nothing in " +
                      paths.udcClass.string() +
                      "): it needs a USB device port and its controller's driver (dwc2 on a "
                      "Raspberry Pi Zero, musb on a BeagleBone, dummy_hcd for a test)");
  }
  std::string udc;
  if (wanted) {
    if (std::find(udcs.begin(), udcs.end(), *wanted) == udcs.end()) {
      throw GadgetError("there is no USB device controller named " + *wanted +
                        "; this machine has: " + Joined(udcs));
    }
    udc = *wanted;
  } else if (udcs.size() > 1) {
    throw GadgetError("this machine has several USB device controllers; choose one with --udc: " +
                      Joined(udcs));
  } else {
    udc = udcs.front();
  }
  const std::string holder = FirstLine(paths.udcClass / udc / "function");
  if (!holder.empty()) {
    std::vector<std::string> free;
    for (const std::string& name : udcs) {
      if (FirstLine(paths.udcClass / name / "function").empty()) {
        free.push_back(name);
      }
    }
    throw GadgetError("the USB device controller " + udc + " already serves the gadget " + holder +
                      (free.empty() ? "; no controller is free" : "; free ones: " + Joined(free)));
  }
  return udc;
}

ConfigfsGadget::ConfigfsGadget(const SystemPaths& paths, const std::string& udc,
                               std::uint16_t vendor, std::uint16_t product,
                               std::uint16_t deviceRelease, const DeviceStrings& strings)
    : udc_(udc), instance_(NameFor(udc)) {
  gadget_ = paths.configfs / "usb_gadget" / instance_;
  function_ = gadget_ / "functions" / ("ffs." + instance_);
  link_ = gadget_ / "configs/c.1" / ("ffs." + instance_);
  mountPoint_ = paths.runFolder / instance_;
  RemoveLeftovers(paths, gadget_, mountPoint_, instance_);

  char number[8];
  const auto hex = [&number](std::uint16_t value) {
    std::snprintf(number, sizeof number, "0x%04x", value);
    return std::string(number);
  };
  try {
    MakeFolder(gadget_);
    WriteAttribute(gadget_ / "idVendor", hex(vendor));
    WriteAttribute(gadget_ / "idProduct", hex(product));
    WriteAttribute(gadget_ / "bcdDevice", hex(deviceRelease));
    WriteAttribute(gadget_ / "bcdUSB", "0x0200");
    // A full-speed device like the real one, also on a controller that could do more.
    std::error_code error;
    if (fs::exists(gadget_ / "max_speed", error)) {
      WriteAttribute(gadget_ / "max_speed", "full-speed");
    }
    MakeFolder(gadget_ / "strings/0x409");
    WriteAttribute(gadget_ / "strings/0x409/manufacturer", strings.manufacturer);
    WriteAttribute(gadget_ / "strings/0x409/product", strings.product);
    WriteAttribute(gadget_ / "strings/0x409/serialnumber", strings.serial);
    MakeFolder(gadget_ / "configs/c.1");
    WriteAttribute(gadget_ / "configs/c.1/MaxPower", "100");
    WriteAttribute(gadget_ / "configs/c.1/bmAttributes", "0x80");
    if (::mkdir(function_.c_str(), 0755) != 0) {
      throw GadgetError(errno == ENOENT || errno == ENODEV
                            ? std::string("the kernel module usb_f_fs (FunctionFS) is not loaded "
                                          "(modprobe usb_f_fs)")
                            : "cannot create " + function_.string() + ": " + std::strerror(errno));
    }
    if (::symlink(function_.c_str(), link_.c_str()) != 0) {
      throw GadgetError("cannot link the function into the configuration: " +
                        std::string(std::strerror(errno)));
    }
    fs::create_directories(mountPoint_, error);
    if (error) {
      throw GadgetError("cannot create " + mountPoint_.string() + ": " + error.message());
    }
    if (::mount(instance_.c_str(), mountPoint_.c_str(), "functionfs", 0, nullptr) != 0) {
      throw GadgetError("cannot mount the FunctionFS instance " + instance_ + " at " +
                        mountPoint_.string() + ": " + std::strerror(errno));
    }
    mounted_ = true;
  } catch (...) {
    TearDown();
    throw;
  }
}

ConfigfsGadget::~ConfigfsGadget() {
  TearDown();
}

void ConfigfsGadget::Bind() {
  try {
    WriteAttribute(gadget_ / "UDC", udc_);
  } catch (const GadgetError& e) {
    throw GadgetError(std::string("cannot attach the device to the controller ") + udc_ + ": " +
                      e.what());
  }
  bound_ = true;
}

void ConfigfsGadget::Unbind() noexcept {
  if (!bound_) {
    return;
  }
  bound_ = false;
  try {
    WriteAttribute(gadget_ / "UDC", "\n");
  } catch (const GadgetError&) {
    // The controller let go of it already (the function's files were closed).
  }
}

void ConfigfsGadget::TearDown() noexcept {
  Unbind();
  if (mounted_) {
    if (::umount(mountPoint_.c_str()) != 0) {
      ::umount2(mountPoint_.c_str(), MNT_DETACH);
    }
    mounted_ = false;
  }
  ::unlink(link_.c_str());
  RemoveFolder(gadget_ / "configs/c.1");
  RemoveFolder(function_);
  RemoveFolder(gadget_ / "strings/0x409");
  RemoveFolder(gadget_);
  RemoveFolder(mountPoint_);
  RemoveFolder(mountPoint_.parent_path());
}

}  // namespace korvane::gadget
