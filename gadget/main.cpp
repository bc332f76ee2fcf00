// korvane-gadget: the built-in emulated bootloader device, served as a real USB device through
// the kernel's USB gadget framework (configfs and FunctionFS), on a machine with a USB device
// controller.
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <atomic>
#include <csignal>
#include <cstdint>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "emulator/EmulatedUsbLibrary.h"
#include "emulator/FaultText.h"
#include "gadget/Configfs.h"
#include "gadget/EndpointServer.h"
#include "gadget/FunctionFs.h"
#include "gadget/PacketServer.h"
#include "link/UsbIdentity.h"
#include "link/UsbPipeLink.h"
#include "platform/Files.h"

#ifndef KORVANE_VERSION
#define KORVANE_VERSION "unknown"
#endif

namespace {

using korvane::gadget::Departure;
using korvane::gadget::GadgetError;

constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

constexpr std::uint16_t kDeviceRelease = 0x0001;

constexpr const char* kFooter =
    "Faults (--fault KIND@N, N counts the requests the device receives, from 0):\n"
    "  timeout     request N is carried out, but no reply goes back\n"
    "  short       the reply to request N loses its last byte\n"
    "  long-count  a read reply whose count byte says 255\n"
    "  short-count a read reply whose count byte says 0, its data intact\n"
    "  wrong-echo  a reply whose command byte does not echo request N\n"
    "  long-reply  the reply to request N carries one byte more\n"
    "  bitflip     after the write of request N, bit 0 of its first byte flips in memory\n"
    "  unplug      the board is pulled out when request N arrives\n"
    "  hang        the firmware hangs at request N: no reply, no further request taken\n"
    "\n"
    "Exit codes:\n"
    "  0  the device was reset, pulled out (--fault unplug) or taken off with Ctrl+C or\n"
    "     SIGTERM; its memory was saved\n"
    "  1  the gadget could not be set up or run, or the memory could not be loaded or saved\n"
    "  2  usage error\n"
    "\n"
    "Examples:\n"
    "  korvane-gadget --state board/\n"
    "  korvane-gadget --udc dummy_udc.0 --state board/ --timing --fault unplug@700\n";

struct Options {
  std::optional<std::string> udc;
  std::string stateDir;
  std::vector<std::string> faults;
  std::string serial;
  bool timing = false;
};

struct Faults {
  std::vector<korvane::emulator::Fault> device;
  std::optional<std::uint32_t> hangAt;
};

// The faults a device on a real bus can show: those of the emulated device that happen in
// the device, and the hang. Throws CLI::ValidationError.
Faults ParseFaults(const std::vector<std::string>& texts) {
  using korvane::emulator::FaultKind;
  Faults faults;
  for (const std::string& text : texts) {
    if (text.rfind("hang@", 0) == 0) {
      const auto index = korvane::emulator::ParseFault("timeout@" + text.substr(5));
      if (index) {
        faults.hangAt =
            faults.hangAt ? std::min(*faults.hangAt, index->packetIndex) : index->packetIndex;
        continue;
      }
    }
    const auto fault = korvane::emulator::ParseFault(text);
    if (!fault || fault->kind == FaultKind::OpenFail || fault->kind == FaultKind::WriteError ||
        fault->kind == FaultKind::Arrival || fault->kind == FaultKind::UnplugDuringExchange) {
      throw CLI::ValidationError("--fault",
                                 "expected KIND@N with KIND one of timeout, short, "
                                 "long-count, short-count, wrong-echo, long-reply, bitflip, "
                                 "unplug, hang: " +
                                     text);
    }
    faults.device.push_back(*fault);
  }
  return faults;
}

// One lock per state folder, however it is written, so that two gadgets never share one.
std::string StateLockFile(const std::filesystem::path& folder) {
  std::error_code error;
  std::filesystem::path whole = std::filesystem::weakly_canonical(folder, error);
  if (error) {
    whole = std::filesystem::absolute(folder, error);
  }
  const std::size_t key = std::hash<std::string>{}(whole.string());
  return (std::filesystem::path(korvane::platform::LockFolder()) /
          ("korvane-gadget-" + std::to_string(key) + ".lock"))
      .string();
}

// Ends a blocked read or write of the endpoint thread: the signal interrupts the system call.
void Interrupt(int) {}

int Serve(const Options& options, const Faults& faults) {
  if (::geteuid() != 0) {
    throw GadgetError(
        "korvane-gadget must run as root: it makes a USB gadget in configfs and "
        "mounts FunctionFS");
  }
  const korvane::gadget::SystemPaths paths;
  korvane::gadget::CheckConfigfs(paths);
  const std::string udc = korvane::gadget::ChooseUdc(paths, options.udc);

  korvane::emulator::EmulatedUsbLibrary library;
  std::optional<korvane::platform::FileLock> stateLock;
  const std::filesystem::path stateDir = korvane::platform::PathFromUtf8(options.stateDir);
  if (!options.stateDir.empty()) {
    stateLock = korvane::platform::FileLock::TryLock(StateLockFile(stateDir));
    if (!stateLock) {
      throw GadgetError("another korvane-gadget serves the device in " + options.stateDir);
    }
    std::error_code missing;
    if (std::filesystem::exists(stateDir, missing)) {
      try {
        library.Device().LoadState(stateDir);
      } catch (const std::exception& e) {
        throw GadgetError("cannot load the device's memory from " + options.stateDir + ": " +
                          e.what());
      }
    }
  }
  // The bus brings its own transfer times; the flash and EEPROM take theirs.
  korvane::emulator::TimingModel model;
  model.perTransfer = std::chrono::microseconds(0);
  library.SetTiming(options.timing, model);
  for (const korvane::emulator::Fault& fault : faults.device) {
    library.AddFault(fault);
  }
  korvane::gadget::PacketServer server(library, faults.hangAt);

  // Ctrl+C, SIGTERM and SIGHUP take the device off in order; they are read from a descriptor.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  const int signals = signalfd(-1, &stopSignals, SFD_CLOEXEC);
  struct sigaction interrupt {};
  interrupt.sa_handler = Interrupt;  // without SA_RESTART: the call returns EINTR
  sigaction(SIGUSR1, &interrupt, nullptr);

  const std::string serial = options.serial.empty() ? "KORVANE-" + udc : options.serial;
  // The bootloader's USB ID, as the link looks for it.
  const korvane::link::UsbIdentity identity =
      *korvane::link::ParseUsbIdentity(korvane::link::kDeviceIdentity);
  korvane::gadget::ConfigfsGadget gadget(paths, udc, identity.vendor, identity.product,
                                         kDeviceRelease,
                                         {"Korvane", "Korvane emulated bootloader", serial});
  Departure departure = Departure::None;
  {
    korvane::gadget::FunctionFsFiles files(gadget.MountPoint(),
                                           korvane::gadget::SpareOutEndpointsFor(udc));
    korvane::gadget::EndpointServer endpoints(files, server);
    gadget.Bind();
    std::cout << "korvane-gadget: the emulated bootloader (USB ID 04d8:a5e2, serial " << serial
              << ") is attached to " << udc << "; Ctrl+C takes it off" << std::endl;
    departure = endpoints.WaitForEnd(signals);
    gadget.Unbind();
  }
  ::close(signals);
  switch (departure) {
    case Departure::Reset:
      std::cout << "korvane-gadget: the device was reset and left the bus" << std::endl;
      break;
    case Departure::PulledOut:
      std::cout << "korvane-gadget: the board was pulled out (--fault unplug)" << std::endl;
      break;
    default:
      std::cout << "korvane-gadget: stopped; the device was taken off" << std::endl;
      break;
  }
  if (!options.stateDir.empty()) {
    try {
      library.Device().SaveState(stateDir);
    } catch (const std::exception& e) {
      throw GadgetError("cannot save the device's memory to " + options.stateDir + ": " + e.what());
    }
    std::cout << "korvane-gadget: memory saved in " << options.stateDir << std::endl;
  }
  return kExitSuccess;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "korvane-gadget: the built-in emulated PIC18 bootloader device, served as a real USB device "
      "(USB ID 04d8:a5e2, full speed, bulk endpoint 1 OUT and IN) through the kernel's USB "
      "gadget framework, on a machine with a USB device controller (a Raspberry Pi Zero, a "
      "BeagleBone, dummy_hcd). Needs root, configfs and the kernel modules libcomposite and "
      "usb_f_fs. The device serves until it is reset, then it leaves the bus and the program "
      "ends",
      "korvane-gadget"};
  app.set_version_flag("--version", std::string("korvane-gadget ") + KORVANE_VERSION);
  Options options;
  app.add_option("--udc", options.udc,
                 "The USB device controller to attach to, as /sys/class/udc names it; default: "
                 "the only one there is")
      ->type_name("NAME");
  app.add_option("--state", options.stateDir,
                 "Load the device's memory from DIR/flash.bin and DIR/eeprom.bin when they exist "
                 "and save it there when the device leaves (the same files as korvane-cli "
                 "--emulated-state DIR)")
      ->type_name("DIR");
  app.add_option("--fault", options.faults,
                 "Repeatable: the device shows a fault at request N (see below)")
      ->type_name("KIND@N")
      ->allow_extra_args(false);
  app.add_option("--serial", options.serial,
                 "The device's USB serial number string; default: KORVANE- and the controller's "
                 "name")
      ->type_name("TEXT");
  app.add_flag("--timing", options.timing,
               "Take the time PIC18 flash and EEPROM take to erase and write (2 ms per 64-byte "
               "erase, 1 ms per 16-byte write, 16 ms per 16 EEPROM bytes)");
  app.footer(kFooter);

  Faults faults;
  try {
    app.parse(argc, argv);
    faults = ParseFaults(options.faults);
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? kExitSuccess : kExitUsage;
  }
  try {
    return Serve(options, faults);
  } catch (const std::exception& e) {
    std::cerr << "korvane-gadget: " << e.what() << std::endl;
    return kExitFailure;
  }
}
