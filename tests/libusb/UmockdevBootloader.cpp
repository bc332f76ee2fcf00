#include "tests/libusb/UmockdevBootloader.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <linux/capability.h>
#include <linux/usbdevice_fs.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string_view>
#include <thread>

#if KORVANE_HAVE_UMOCKDEV
#include <umockdev.h>
#endif

extern char** environ;

namespace korvane::testsupport {

namespace {

constexpr std::string_view kPreloadName = "libumockdev-preload";

#ifdef KORVANE_UMOCKDEV_PRELOAD
constexpr const char* kPreloadPath = KORVANE_UMOCKDEV_PRELOAD;
#else
constexpr const char* kPreloadPath = "libumockdev-preload.so.0";
#endif

// Path of a shared object loaded in this process whose name contains `part`, or empty.
std::string LoadedObjectPath(std::string_view part) {
  struct Search {
    std::string_view part;
    std::string found;
  } search{part, {}};
  dl_iterate_phdr(
      [](dl_phdr_info* info, std::size_t, void* data) {
        auto& s = *static_cast<Search*>(data);
        if (info->dlpi_name != nullptr &&
            std::string_view(info->dlpi_name).find(s.part) != std::string_view::npos) {
          s.found = info->dlpi_name;
          return 1;
        }
        return 0;
      },
      &search);
  return search.found;
}

bool SanitizerBuild() {
#if defined(__SANITIZE_ADDRESS__)
  return true;
#else
  return false;
#endif
}

#if KORVANE_HAVE_UMOCKDEV
bool PreloadInstalled() {
  return access(kPreloadPath, R_OK) == 0 || kPreloadPath[0] != '/';
}
#endif

}  // namespace

std::string UmockdevUnavailableReason() {
#if !KORVANE_HAVE_UMOCKDEV
  return "umockdev (pkg-config umockdev-1.0) was not found when this program was built";
#else
  if (LoadedObjectPath(kPreloadName).empty()) {
    return std::string("umockdev's preload library is not loaded in this process (") +
           kPreloadPath + " missing, or the program was not started through it)";
  }
  return {};
#endif
}

std::string UmockdevPreloadValue() {
  if (const char* current = std::getenv("LD_PRELOAD");
      current != nullptr &&
      std::string_view(current).find(kPreloadName) != std::string_view::npos) {
    return current;
  }
  std::string value = kPreloadPath;
  if (SanitizerBuild()) {
    // The sanitizer runtime has to come first in the list of loaded libraries.
    if (const std::string asan = LoadedObjectPath("libasan"); !asan.empty()) {
      value = asan + ":" + value;
    }
  }
  return value;
}

void RunUnderUmockdevPreload() {
#if KORVANE_HAVE_UMOCKDEV
  if (!LoadedObjectPath(kPreloadName).empty() ||
      std::getenv("KORVANE_UMOCKDEV_REEXEC") != nullptr || !PreloadInstalled()) {
    return;
  }
  std::ifstream cmdline("/proc/self/cmdline", std::ios::binary);
  std::vector<std::string> args;
  for (std::string arg; std::getline(cmdline, arg, '\0');) {
    args.push_back(arg);
  }
  if (args.empty()) {
    return;
  }
  std::vector<char*> argv;
  for (std::string& arg : args) {
    argv.push_back(arg.data());
  }
  argv.push_back(nullptr);
  const std::string preload = UmockdevPreloadValue();
  setenv("LD_PRELOAD", preload.c_str(), 1);
  setenv("KORVANE_UMOCKDEV_REEXEC", "1", 1);
  std::fflush(nullptr);
  execv("/proc/self/exe", argv.data());
  // Not re-executed: carry on, and the umockdev tests will say why they skip.
  unsetenv("KORVANE_UMOCKDEV_REEXEC");
#endif
}

// ---------------------------------------------------------------------------------------------

WithoutPermissionOverride::WithoutPermissionOverride() : root_(geteuid() == 0) {
  if (!root_) {
    return;
  }
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2]{};
  if (syscall(SYS_capget, &header, data) != 0) {
    return;
  }
  data[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
  dropped_ = syscall(SYS_capset, &header, data) == 0;
}

WithoutPermissionOverride::~WithoutPermissionOverride() {
  if (!dropped_) {
    return;
  }
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2]{};
  if (syscall(SYS_capget, &header, data) == 0) {
    data[0].effective |=
        data[0].permitted & ((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
    syscall(SYS_capset, &header, data);
  }
}

// ---------------------------------------------------------------------------------------------

#if KORVANE_HAVE_UMOCKDEV

namespace {

bool Tracing() {
  static const bool on = std::getenv("KORVANE_UMOCKDEV_TRACE") != nullptr;
  return on;
}

std::string Hex(std::span<const std::uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  for (const std::uint8_t byte : bytes) {
    text += kDigits[byte >> 4];
    text += kDigits[byte & 0x0F];
  }
  return text;
}

// Device descriptor, then one configuration: interface 0 (vendor class) with endpoints 0x01
// (OUT) and 0x81 (IN) of 64 bytes, bulk or interrupt; or interface 0 with no endpoints in its
// default setting and the two in alternate setting 1.
std::vector<std::uint8_t> Descriptors(const EmulatedDeviceOptions& options) {
  const std::uint8_t type = options.endpoints == EndpointKind::Bulk ? 0x02 : 0x03;
  const std::uint8_t interval = options.endpoints == EndpointKind::Bulk ? 0x00 : 0x01;
  if (options.endpointsInAlternateSetting) {
    return {
        0x12, 0x01, 0x00, 0x02, 0x00, 0x00, 0x00, 0x40, static_cast<std::uint8_t>(options.vendor),
        static_cast<std::uint8_t>(options.vendor >> 8), static_cast<std::uint8_t>(options.product),
        static_cast<std::uint8_t>(options.product >> 8), 0x01, 0x00, 0x01, 0x02, 0x00, 0x01,
        // configuration: 41 bytes, one interface
        0x09, 0x02, 0x29, 0x00, 0x01, 0x01, 0x00, 0x80, 0x32,
        // interface 0, setting 0: no endpoints
        0x09, 0x04, 0x00, 0x00, 0x00, 0xFF, 0x00, 0x00, 0x00,
        // interface 0, setting 1: the two endpoints
        0x09, 0x04, 0x00, 0x01, 0x02, 0xFF, 0x00, 0x00, 0x00, 0x07, 0x05, 0x01, type, 0x40, 0x00,
        interval, 0x07, 0x05, 0x81, type, 0x40, 0x00, interval};
  }
  return {
      0x12,
      0x01,
      0x00,
      0x02,
      0x00,
      0x00,
      0x00,
      0x40,  //
      static_cast<std::uint8_t>(options.vendor),
      static_cast<std::uint8_t>(options.vendor >> 8),
      static_cast<std::uint8_t>(options.product),
      static_cast<std::uint8_t>(options.product >> 8),
      0x01,
      0x00,
      0x01,
      0x02,
      0x00,
      0x01,  //
      0x09,
      0x02,
      0x20,
      0x00,
      0x01,
      0x01,
      0x00,
      0x80,
      0x32,  //
      0x09,
      0x04,
      0x00,
      0x00,
      0x02,
      0xFF,
      0x00,
      0x00,
      0x00,  //
      0x07,
      0x05,
      0x01,
      type,
      0x40,
      0x00,
      interval,  //
      0x07,
      0x05,
      0x81,
      type,
      0x40,
      0x00,
      interval,
  };
}

usbdevfs_urb ReadUrb(UMockdevIoctlData* data) {
  usbdevfs_urb urb{};
  std::memcpy(&urb, data->data, std::min<std::size_t>(sizeof urb, data->data_len));
  return urb;
}

void WriteUrb(UMockdevIoctlData* data, const usbdevfs_urb& urb) {
  std::memcpy(data->data, &urb, std::min<std::size_t>(sizeof urb, data->data_len));
}

// A URB a client submitted and has not reaped yet.
struct PendingUrb {
  UMockdevIoctlClient* client = nullptr;  // identity only
  UMockdevIoctlData* urb = nullptr;       // owned reference to the URB in the client's memory
  UMockdevIoctlData* buffer = nullptr;    // owned reference to its buffer, or nullptr
  bool in = false;
  bool done = false;
};

void Release(PendingUrb& pending) {
  if (pending.buffer != nullptr) {
    umockdev_ioctl_data_unref(pending.buffer);
  }
  if (pending.urb != nullptr) {
    umockdev_ioctl_data_unref(pending.urb);
  }
  pending = {};
}

}  // namespace

struct EmulatedDevice {
  std::size_t index = 0;
  std::string sysPath;
  std::string devNode;
  UMockdevIoctlBase* base = nullptr;

  std::mutex mutex;  // the handler runs on umockdev's thread; everything below is shared
  emulator::BootloaderDevice bootloader;
  std::deque<std::vector<std::uint8_t>> replies;
  std::vector<PendingUrb> urbs;
  bool withhold = false;
  bool unplugged = false;
  bool pullOutDuringRead = false;
  std::vector<std::pair<unsigned, unsigned>> settings;
  std::uint32_t requests = 0;
  TransferCounts transfers;

  // Removal from the testbed, from the test's thread or from umockdev's.
  UMockdevTestbed* testbed = nullptr;
  std::mutex removeMutex;
  bool removed = false;

  void Remove() {
    const std::lock_guard lock(removeMutex);
    if (removed) {
      return;
    }
    removed = true;
    umockdev_testbed_uevent(testbed, sysPath.c_str(), "remove");
    umockdev_testbed_remove_device(testbed, sysPath.c_str());
  }

  void Complete(UMockdevIoctlClient* client, long result, int error) {
    umockdev_ioctl_client_complete(client, result, error);
  }

  // Hands queued replies to the IN URBs waiting for them, oldest first.
  void ServeInUrbs() {
    for (PendingUrb& pending : urbs) {
      if (replies.empty()) {
        return;
      }
      if (!pending.in || pending.done) {
        continue;
      }
      std::vector<std::uint8_t> reply = std::move(replies.front());
      replies.pop_front();
      usbdevfs_urb urb = ReadUrb(pending.urb);
      if (reply.size() > static_cast<std::size_t>(std::max(urb.buffer_length, 0))) {
        urb.status = -EOVERFLOW;  // more than the host asked for: babble
        urb.actual_length = 0;
      } else {
        if (!reply.empty()) {
          std::memcpy(pending.buffer->data, reply.data(), reply.size());
        }
        urb.status = 0;
        urb.actual_length = static_cast<int>(reply.size());
      }
      WriteUrb(pending.urb, urb);
      pending.done = true;
    }
  }

  void Submit(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    GError* error = nullptr;
    UMockdevIoctlData* urbData = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), &error);
    if (urbData == nullptr) {
      g_clear_error(&error);
      Complete(client, -1, EFAULT);
      return;
    }
    usbdevfs_urb urb = ReadUrb(urbData);
    if (urb.type == USBDEVFS_URB_TYPE_BULK) {
      ++transfers.bulk;
    } else if (urb.type == USBDEVFS_URB_TYPE_INTERRUPT) {
      ++transfers.interrupt;
    }
    PendingUrb pending{client, urbData, nullptr, (urb.endpoint & 0x80) != 0, false};
    if (urb.buffer_length > 0) {
      pending.buffer = umockdev_ioctl_data_resolve(urbData, offsetof(usbdevfs_urb, buffer),
                                                   static_cast<gsize>(urb.buffer_length), &error);
      if (pending.buffer == nullptr) {
        g_clear_error(&error);
        Release(pending);
        Complete(client, -1, EFAULT);
        return;
      }
    }
    if (urb.type == USBDEVFS_URB_TYPE_CONTROL) {
      // No control requests are answered (no string descriptors): stall.
      urb.status = -EPIPE;
      urb.actual_length = 0;
      WriteUrb(urbData, urb);
      pending.done = true;
    } else if (pending.in && pullOutDuringRead) {
      // A bus error ends the transfer, and the device is gone.
      urb.status = -EPROTO;
      urb.actual_length = 0;
      WriteUrb(urbData, urb);
      pending.done = true;
      unplugged = true;
    } else if (!pending.in) {
      const std::span<const std::uint8_t> request(
          pending.buffer != nullptr ? pending.buffer->data : nullptr,
          static_cast<std::size_t>(std::max(urb.buffer_length, 0)));
      ++requests;
      auto reply = bootloader.Handle(request);
      if (Tracing()) {
        std::fprintf(stderr, "umockdev %s: request %s -> %s\n", devNode.c_str(),
                     Hex(request).c_str(), reply ? Hex(*reply).c_str() : "(none)");
      }
      if (reply && !withhold) {
        replies.push_back(std::move(*reply));
      }
      if (!bootloader.InBootloader()) {
        // The device left its bootloader (reset): it drops off the bus, and a read still
        // waiting for a reply fails as on a vanished device.
        unplugged = true;
      }
      urb.status = 0;
      urb.actual_length = urb.buffer_length;
      WriteUrb(urbData, urb);
      pending.done = true;
    }
    urbs.push_back(pending);
    ServeInUrbs();
    Complete(client, 0, 0);
  }

  // True when a finished URB was handed back; false when the caller should answer EAGAIN.
  bool Reap(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    ServeInUrbs();
    for (auto it = urbs.begin(); it != urbs.end(); ++it) {
      if (it->client == client && it->done) {
        // The argument points to the slot that receives the URB's address.
        GError* error = nullptr;
        UMockdevIoctlData* slot = umockdev_ioctl_data_resolve(arg, 0, sizeof(void*), &error);
        if (slot == nullptr) {
          g_clear_error(&error);
          Complete(client, -1, EFAULT);
          return true;
        }
        umockdev_ioctl_data_set_ptr(slot, 0, it->urb);
        umockdev_ioctl_data_unref(slot);
        Complete(client, 0, 0);
        Release(*it);
        urbs.erase(it);
        return true;
      }
    }
    return false;
  }

  void Discard(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    // The argument is the URB's address in the client.
    gulong address = 0;
    if (arg != nullptr && arg->data_len >= static_cast<gint>(sizeof address)) {
      std::memcpy(&address, arg->data, sizeof address);
    }
    for (PendingUrb& pending : urbs) {
      if (pending.client == client && !pending.done && pending.urb->client_addr == address) {
        usbdevfs_urb urb = ReadUrb(pending.urb);
        urb.status = -ENOENT;
        urb.actual_length = 0;
        WriteUrb(pending.urb, urb);
        pending.done = true;
        Complete(client, 0, 0);
        return;
      }
    }
    Complete(client, -1, EINVAL);
  }

  void ShutDownUrbs(UMockdevIoctlClient* client) {
    for (PendingUrb& pending : urbs) {
      if (pending.client == client && !pending.done) {
        usbdevfs_urb urb = ReadUrb(pending.urb);
        urb.status = -ESHUTDOWN;
        urb.actual_length = 0;
        WriteUrb(pending.urb, urb);
        pending.done = true;
      }
    }
  }

  void DropClient(UMockdevIoctlClient* client) {
    const std::lock_guard lock(mutex);
    std::erase_if(urbs, [client](PendingUrb& pending) {
      if (pending.client != client) {
        return false;
      }
      Release(pending);
      return true;
    });
  }

  ~EmulatedDevice() {
    for (PendingUrb& pending : urbs) {
      Release(pending);
    }
  }
};

namespace {

gboolean OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user) {
  auto& device = *static_cast<EmulatedDevice*>(user);
  const gulong request = umockdev_ioctl_client_get_request(client);
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  std::unique_lock lock(device.mutex);
  if (Tracing()) {
    std::fprintf(stderr, "umockdev %s: ioctl 0x%lx arg %d bytes at 0x%lx\n", device.devNode.c_str(),
                 request, arg != nullptr ? arg->data_len : -1,
                 arg != nullptr ? arg->client_addr : 0UL);
  }
  if (device.unplugged) {
    // As the kernel does for a device that went away: the client's URBs still in flight come
    // back shut down, and everything else fails with ENODEV.
    device.ShutDownUrbs(client);
    if (request == USBDEVFS_REAPURBNDELAY && device.Reap(client, arg)) {
      return TRUE;
    }
    device.Complete(client, -1, request == USBDEVFS_DISCARDURB ? EINVAL : ENODEV);
    return TRUE;
  }
  if (request == USBDEVFS_SUBMITURB) {
    device.Submit(client, arg);
    if (device.unplugged) {
      lock.unlock();
      device.Remove();
    }
  } else if (request == USBDEVFS_REAPURBNDELAY) {
    if (!device.Reap(client, arg)) {
      const bool waiting =
          std::any_of(device.urbs.begin(), device.urbs.end(),
                      [client](const PendingUrb& p) { return p.client == client; });
      lock.unlock();
      if (waiting) {
        // libusb polls a node that is always ready while a transfer is pending; answering a
        // little late keeps that loop from spinning flat out.
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
      device.Complete(client, -1, EAGAIN);
    }
  } else if (request == USBDEVFS_DISCARDURB) {
    device.Discard(client, arg);
  } else if (request == USBDEVFS_GET_CAPABILITIES) {
    // The argument points to a 32-bit word that receives the capabilities: none.
    GError* error = nullptr;
    UMockdevIoctlData* word = umockdev_ioctl_data_resolve(arg, 0, sizeof(std::uint32_t), &error);
    if (word == nullptr) {
      g_clear_error(&error);
      device.Complete(client, -1, EFAULT);
    } else {
      std::memset(word->data, 0, sizeof(std::uint32_t));
      umockdev_ioctl_data_unref(word);
      device.Complete(client, 0, 0);
    }
  } else if (request == USBDEVFS_SETINTERFACE) {
    GError* error = nullptr;
    UMockdevIoctlData* choice =
        umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_setinterface), &error);
    if (choice == nullptr) {
      g_clear_error(&error);
      device.Complete(client, -1, EFAULT);
    } else {
      usbdevfs_setinterface selected{};
      std::memcpy(&selected, choice->data, sizeof selected);
      umockdev_ioctl_data_unref(choice);
      device.settings.emplace_back(selected.interface, selected.altsetting);
      device.Complete(client, 0, 0);
    }
  } else if (request == USBDEVFS_CLAIMINTERFACE || request == USBDEVFS_RELEASEINTERFACE ||
             request == USBDEVFS_CLEAR_HALT || request == USBDEVFS_RESET ||
             request == USBDEVFS_DISCONNECT_CLAIM) {
    device.Complete(client, 0, 0);
  } else if (request == USBDEVFS_GETDRIVER || request == USBDEVFS_IOCTL) {
    device.Complete(client, -1, ENODATA);
  } else {
    device.Complete(client, -1, ENOTTY);
  }
  return TRUE;
}

void OnClientVanished(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user) {
  static_cast<EmulatedDevice*>(user)->DropClient(client);
}

std::mutex testbedMutex;
bool testbedAlive = false;

}  // namespace

struct UmockdevTestbed::Impl {
  UMockdevTestbed* testbed = nullptr;
  std::vector<std::unique_ptr<EmulatedDevice>> devices;

  EmulatedDevice& At(std::size_t index) const {
    if (index >= devices.size()) {
      throw std::out_of_range("no emulated device " + std::to_string(index));
    }
    return *devices[index];
  }
};

UmockdevTestbed::UmockdevTestbed() : impl_(std::make_unique<Impl>()) {
  {
    const std::lock_guard lock(testbedMutex);
    if (testbedAlive) {
      throw std::runtime_error("only one umockdev testbed can exist at a time");
    }
    testbedAlive = true;
  }
  impl_->testbed = umockdev_testbed_new();
  if (impl_->testbed == nullptr) {
    const std::lock_guard lock(testbedMutex);
    testbedAlive = false;
    throw std::runtime_error("umockdev could not create a testbed");
  }
}

UmockdevTestbed::~UmockdevTestbed() {
  for (auto& device : impl_->devices) {
    umockdev_testbed_detach_ioctl(impl_->testbed, device->devNode.c_str(), nullptr);
    g_object_unref(device->base);
  }
  g_object_unref(impl_->testbed);
  impl_->devices.clear();
  const std::lock_guard lock(testbedMutex);
  testbedAlive = false;
}

std::size_t UmockdevTestbed::AddDevice(const EmulatedDeviceOptions& options) {
  auto device = std::make_unique<EmulatedDevice>();
  device->testbed = impl_->testbed;
  device->index = impl_->devices.size();
  const unsigned address = static_cast<unsigned>(device->index) + 2;
  const unsigned bus = options.bus;
  const unsigned port = options.port != 0 ? options.port : device->index + 1;
  char node[32];
  std::snprintf(node, sizeof node, "bus/usb/%03u/%03u", bus, address);
  device->devNode = std::string("/dev/") + node;
  device->sysPath = "/sys/devices/pci0000:00/0000:00:14.0/usb" + std::to_string(bus) + "/" +
                    std::to_string(bus) + "-" + std::to_string(port);

  std::ostringstream record;
  record << "P: " << device->sysPath.substr(4) << "\n"
         << "N: " << node << "\n"
         << "E: SUBSYSTEM=usb\n"
         << "E: DEVTYPE=usb_device\n"
         << "E: DEVNAME=" << device->devNode << "\n"
         << "E: BUSNUM=" << std::string(node + 8, 3) << "\n"
         << "E: DEVNUM=" << node + std::strlen("bus/usb/001/") << "\n"
         << "A: busnum=" << bus << "\\n\n"
         << "A: devnum=" << address << "\\n\n"
         << "A: speed=12\\n\n"
         << "A: bConfigurationValue=1\\n\n"
         << "H: descriptors=" << Hex(Descriptors(options)) << "\n";
  // The device answers before it is announced, so that a process told of its arrival can
  // open it at once.
  GError* error = nullptr;
  device->base = umockdev_ioctl_base_new();
  g_signal_connect(device->base, "handle-ioctl", G_CALLBACK(OnIoctl), device.get());
  g_signal_connect(device->base, "client-vanished", G_CALLBACK(OnClientVanished), device.get());
  if (!umockdev_testbed_attach_ioctl(impl_->testbed, device->devNode.c_str(), device->base,
                                     &error)) {
    std::string message = error != nullptr ? error->message : "unknown error";
    g_clear_error(&error);
    g_object_unref(device->base);
    throw std::runtime_error("umockdev could not attach to " + device->devNode + ": " + message);
  }
  if (!umockdev_testbed_add_from_string(impl_->testbed, record.str().c_str(), &error)) {
    std::string message = error != nullptr ? error->message : "unknown error";
    g_clear_error(&error);
    umockdev_testbed_detach_ioctl(impl_->testbed, device->devNode.c_str(), nullptr);
    g_object_unref(device->base);
    throw std::runtime_error("umockdev could not add the device: " + message);
  }
  impl_->devices.push_back(std::move(device));
  return impl_->devices.size() - 1;
}

std::size_t UmockdevTestbed::DeviceCount() const {
  return impl_->devices.size();
}

void UmockdevTestbed::WithDevice(std::size_t index,
                                 const std::function<void(emulator::BootloaderDevice&)>& action) {
  EmulatedDevice& device = impl_->At(index);
  const std::lock_guard lock(device.mutex);
  action(device.bootloader);
}

void UmockdevTestbed::WithholdReplies(std::size_t index, bool withhold) {
  EmulatedDevice& device = impl_->At(index);
  const std::lock_guard lock(device.mutex);
  device.withhold = withhold;
}

void UmockdevTestbed::Unplug(std::size_t index) {
  EmulatedDevice& device = impl_->At(index);
  {
    const std::lock_guard lock(device.mutex);
    device.unplugged = true;
  }
  device.Remove();
}

void UmockdevTestbed::DenyAccess(std::size_t index) {
  const std::string path = RootDir() + impl_->At(index).devNode;
  if (chmod(path.c_str(), 0) != 0) {
    throw std::runtime_error("cannot change the mode of " + path + ": " + std::strerror(errno));
  }
}

void UmockdevTestbed::PullOutDuringNextRead(std::size_t index) {
  EmulatedDevice& device = impl_->At(index);
  const std::lock_guard lock(device.mutex);
  device.pullOutDuringRead = true;
}

std::vector<std::pair<unsigned, unsigned>> UmockdevTestbed::SettingsSelected(
    std::size_t index) const {
  EmulatedDevice& device = impl_->At(index);
  const std::lock_guard lock(device.mutex);
  return device.settings;
}

std::uint32_t UmockdevTestbed::RequestsReceived(std::size_t index) const {
  EmulatedDevice& device = impl_->At(index);
  const std::lock_guard lock(device.mutex);
  return device.requests;
}

TransferCounts UmockdevTestbed::Transfers(std::size_t index) const {
  EmulatedDevice& device = impl_->At(index);
  const std::lock_guard lock(device.mutex);
  return device.transfers;
}

std::string UmockdevTestbed::RootDir() const {
  gchar* root = umockdev_testbed_get_root_dir(impl_->testbed);
  std::string text = root != nullptr ? root : "";
  g_free(root);
  return text;
}

#else  // KORVANE_HAVE_UMOCKDEV

struct UmockdevTestbed::Impl {};

UmockdevTestbed::UmockdevTestbed() {
  throw std::runtime_error(UmockdevUnavailableReason());
}
UmockdevTestbed::~UmockdevTestbed() = default;
std::size_t UmockdevTestbed::AddDevice(const EmulatedDeviceOptions&) {
  return 0;
}
std::size_t UmockdevTestbed::DeviceCount() const {
  return 0;
}
void UmockdevTestbed::WithDevice(std::size_t,
                                 const std::function<void(emulator::BootloaderDevice&)>&) {}
void UmockdevTestbed::WithholdReplies(std::size_t, bool) {}
void UmockdevTestbed::Unplug(std::size_t) {}
void UmockdevTestbed::DenyAccess(std::size_t) {}
void UmockdevTestbed::PullOutDuringNextRead(std::size_t) {}
std::vector<std::pair<unsigned, unsigned>> UmockdevTestbed::SettingsSelected(std::size_t) const {
  return {};
}
std::uint32_t UmockdevTestbed::RequestsReceived(std::size_t) const {
  return 0;
}
TransferCounts UmockdevTestbed::Transfers(std::size_t) const {
  return {};
}
std::string UmockdevTestbed::RootDir() const {
  return {};
}

#endif  // KORVANE_HAVE_UMOCKDEV

std::vector<std::string> UmockdevTestbed::ChildEnvironment() const {
  std::vector<std::string> environment;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string_view text(*entry);
    if (!text.starts_with("UMOCKDEV_DIR=") && !text.starts_with("LD_PRELOAD=") &&
        !text.starts_with("KORVANE_UMOCKDEV_REEXEC=") && !text.starts_with("KORVANE_LOCK_DIR=")) {
      environment.emplace_back(text);
    }
  }
  environment.push_back("UMOCKDEV_DIR=" + RootDir());
  environment.push_back("LD_PRELOAD=" + UmockdevPreloadValue());
  // Each testbed is a machine of its own: its devices' places are locked there, not beside
  // another testbed's devices that share the same places.
  environment.push_back("KORVANE_LOCK_DIR=" + RootDir());
  return environment;
}

namespace {

std::string ReadAll(int fd) {
  std::string text;
  lseek(fd, 0, SEEK_SET);
  char chunk[4096];
  for (ssize_t n; (n = read(fd, chunk, sizeof chunk)) > 0;) {
    text.append(chunk, static_cast<std::size_t>(n));
  }
  return text;
}

// A temporary file, removed at once; the descriptor stays usable until closed.
struct TempFile {
  int fd = -1;
  TempFile() {
    char name[] = "/tmp/korvane-child-XXXXXX";
    fd = mkstemp(name);
    if (fd < 0) {
      throw std::runtime_error(std::string("cannot create a temporary file: ") +
                               std::strerror(errno));
    }
    unlink(name);
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  ~TempFile() { close(fd); }
};

}  // namespace

ChildResult UmockdevTestbed::RunChild(const std::vector<std::string>& argv,
                                      std::chrono::milliseconds timeout,
                                      const std::function<void(pid_t)>& whileRunning) {
  if (argv.empty()) {
    throw std::invalid_argument("RunChild needs a program");
  }
  std::vector<std::string> environment = ChildEnvironment();
  std::vector<char*> envp;
  for (std::string& entry : environment) {
    envp.push_back(entry.data());
  }
  envp.push_back(nullptr);
  std::vector<std::string> args = argv;
  std::vector<char*> argp;
  for (std::string& arg : args) {
    argp.push_back(arg.data());
  }
  argp.push_back(nullptr);

  TempFile out;
  TempFile err;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out.fd, STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err.fd, STDERR_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, argp[0], &actions, nullptr, argp.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(spawned));
  }

  ChildResult result;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  if (whileRunning) {
    whileRunning(pid);
  }
  int status = 0;
  for (;;) {
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) {
      break;
    }
    if (done < 0 && errno != EINTR) {
      throw std::runtime_error(std::string("waitpid failed: ") + std::strerror(errno));
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      result.timedOut = true;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  if (!result.timedOut && WIFEXITED(status)) {
    result.exitCode = WEXITSTATUS(status);
  }
  result.out = ReadAll(out.fd);
  result.err = ReadAll(err.fd);
  return result;
}

}  // namespace korvane::testsupport
