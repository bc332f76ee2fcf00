#pragma once

// Emulated bootloader devices on a umockdev testbed: the real libusb code (enumeration, open,
// claim, bulk and interrupt transfers, time-outs, release, close) runs against devices whose
// every answer comes from the project's emulated bootloader.
//
// The process that calls libusb must run under umockdev's preload library. A test program calls
// RunUnderUmockdevPreload() before anything else (it re-executes the program with LD_PRELOAD
// set); a parent that runs a tool as a child process uses ChildEnvironment() / RunChild().

#include <sys/types.h>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "emulator/BootloaderDevice.h"

namespace korvane::testsupport {

// Why libusb cannot be run against umockdev in this process, or empty when it can.
std::string UmockdevUnavailableReason();

// Re-executes the running program with umockdev's preload library in LD_PRELOAD (and the
// sanitizer runtime before it in a sanitizer build), unless it already runs under it or umockdev
// is not installed. Returns only when nothing was re-executed.
void RunUnderUmockdevPreload();

// The LD_PRELOAD value a child process needs to reach an emulated device.
std::string UmockdevPreloadValue();

enum class EndpointKind { Bulk, Interrupt };

struct EmulatedDeviceOptions {
  std::uint16_t vendor = 0x04d8;
  std::uint16_t product = 0xa5e2;
  EndpointKind endpoints = EndpointKind::Bulk;  // type of endpoints 0x01 and 0x81
  std::uint8_t bus = 1;
  std::uint8_t port = 0;  // the port on the bus's root hub; 0: the device's index + 1
  // The two endpoints only in alternate setting 1 of interface 0; setting 0 has none.
  bool endpointsInAlternateSetting = false;
};

// Transfers the host submitted to a device, by type.
struct TransferCounts {
  std::uint32_t bulk = 0;
  std::uint32_t interrupt = 0;
};

struct ChildResult {
  int exitCode = -1;  // exit status, or -1 when killed by a signal or the time-out
  bool timedOut = false;
  std::string out;  // standard output
  std::string err;  // standard error
};

// A umockdev testbed holding emulated bootloader devices. One per process at a time: the
// testbed sets UMOCKDEV_DIR for the whole process. Create it, and add its devices, before the
// libusb context is created (a LibUsbLibrary that has not counted or opened yet).
class UmockdevTestbed {
 public:
  UmockdevTestbed();  // throws std::runtime_error when umockdev cannot be used here
  UmockdevTestbed(const UmockdevTestbed&) = delete;
  UmockdevTestbed& operator=(const UmockdevTestbed&) = delete;
  ~UmockdevTestbed();

  // Attaches one more device (addresses 2, 3, ... by index); it arrives as a hot-plugged device
  // does, also while a process watches. Returns its index.
  std::size_t AddDevice(const EmulatedDeviceOptions& options = {});
  std::size_t DeviceCount() const;

  // Runs `action` on the device's emulated bootloader while no transfer touches it.
  void WithDevice(std::size_t index,
                  const std::function<void(emulator::BootloaderDevice&)>& action);
  // While on, the device takes requests but sends no reply: reads time out.
  void WithholdReplies(std::size_t index, bool withhold);
  // The device disappears: every further request on it fails as on a vanished device, and it
  // is removed from the testbed. A device whose bootloader is reset does the same by itself.
  void Unplug(std::size_t index);
  // The device's /dev node becomes unreadable (mode 000). A process running as root also needs
  // WithoutPermissionOverride to be refused.
  void DenyAccess(std::size_t index);
  // The next read fails as a transfer does when the device is pulled out during it (a bus
  // error), and the device is gone.
  void PullOutDuringNextRead(std::size_t index);
  // The alternate settings the host selected: (interface, setting) in order.
  std::vector<std::pair<unsigned, unsigned>> SettingsSelected(std::size_t index) const;

  // Requests the device has received (each OUT transfer is one request).
  std::uint32_t RequestsReceived(std::size_t index) const;
  TransferCounts Transfers(std::size_t index) const;
  // The testbed directory (UMOCKDEV_DIR).
  std::string RootDir() const;

  // This process's environment with UMOCKDEV_DIR and LD_PRELOAD set for a child process.
  std::vector<std::string> ChildEnvironment() const;
  // Starts argv[0] (a path) as a child process with ChildEnvironment() and waits for it,
  // serving its USB requests meanwhile. A child still running after `timeout` is killed.
  // `whileRunning`, when given, runs once on the calling thread right after the child started,
  // with its process id (to add devices while it waits, or to interrupt it).
  ChildResult RunChild(const std::vector<std::string>& argv,
                       std::chrono::milliseconds timeout = std::chrono::seconds(60),
                       const std::function<void(pid_t)>& whileRunning = {});

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// While alive, the calling thread of a root process is refused files its permission bits deny
// (the capabilities that override file permissions are dropped from its effective set).
// Does nothing for other users, who are refused anyway.
class WithoutPermissionOverride {
 public:
  WithoutPermissionOverride();
  WithoutPermissionOverride(const WithoutPermissionOverride&) = delete;
  WithoutPermissionOverride& operator=(const WithoutPermissionOverride&) = delete;
  ~WithoutPermissionOverride();

  // True when the thread is now refused what file permissions deny.
  bool Active() const { return !root_ || dropped_; }

 private:
  bool root_ = false;
  bool dropped_ = false;
};

}  // namespace korvane::testsupport
