// korvane-cli.exe on the device's USB library, with the stand-in vbmpusbapi.dll: detect, update,
// reset and faults end to end, and what happens when the library is missing or incomplete; and
// where libusb-1.0.dll is taken from. Each case copies the program into a folder of its own,
// with or without the libraries beside it.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "cli/Interrupts.h"
#include "emulator/BootloaderDevice.h"
#include "link/MpusbDllLibrary.h"
#include "link/UsbPipeLink.h"
#include "tests/cli/CliRunner.h"
#include "tests/cli/HexWriter.h"

namespace korvane::cli::test {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kSuccess = "The update was successful.";

std::uint8_t ProgramValue(std::uint32_t address) {
  return static_cast<std::uint8_t>((address * 5) ^ (address >> 8) ^ 0x5A);
}

enum class Library { StandIn, Incomplete, None };
enum class LibUsbDll { Beside, None };

// A folder holding a copy of korvane-cli.exe and, as asked, a vbmpusbapi.dll and the
// libusb-1.0.dll built for the zip beside it.
class Installation {
 public:
  explicit Installation(Library library, LibUsbDll libusb = LibUsbDll::Beside) {
    fs::create_directories(dir_ / "program");
    fs::copy_file(KORVANE_CLI_BINARY, Program());
    if (library != Library::None) {
      fs::copy_file(library == Library::StandIn ? KORVANE_STANDIN_DLL : KORVANE_INCOMPLETE_DLL,
                    dir_ / "program" / "vbmpusbapi.dll");
    }
    if (libusb == LibUsbDll::Beside) {
      fs::copy_file(KORVANE_LIBUSB_DLL, dir_ / "program" / "libusb-1.0.dll");
    }
  }
  std::string Program() const { return (dir_ / "program" / "korvane-cli.exe").string(); }
  fs::path operator/(const std::string& name) const { return dir_ / name; }

  CliResult Run(const std::vector<std::string>& args,
                const std::vector<std::string>& environment = {}) const {
    std::vector<std::string> env = {"KORVANE_STANDIN_STATE=" + (dir_ / "device").string(),
                                    "KORVANE_STANDIN_FAULTS=",
                                    "KORVANE_STANDIN_TIMING=",
                                    "KORVANE_STANDIN_COUNT=",
                                    "KORVANE_STANDIN_OPEN_ERROR=",
                                    "KORVANE_STANDIN_ONE_CALLER="};
    env.insert(env.end(), environment.begin(), environment.end());
    return RunProgram(Program(), args, env);
  }

 private:
  TempDir dir_;
};

TEST(CliOnStandInLibrary, DetectUpdateAndResetReachTheDevice) {
  const Installation install(Library::StandIn);
  const CliResult detect = install.Run({"detect"});
  EXPECT_EQ(detect.exitCode, 0) << detect.err;
  EXPECT_EQ(detect.out, "USB-Bootloader  1. 1 2 detected \n");

  constexpr std::uint32_t kCount = 700;  // 0x800 to 0xABB: 11 erase blocks
  WriteFile(install / "fw.hex", DataRecords(0x800, kCount, ProgramValue) + EndOfFile());
  const CliResult update = install.Run({"update", (install / "fw.hex").string()});
  ASSERT_EQ(update.exitCode, 0) << update.out << update.err;
  EXPECT_NE(update.out.find(kSuccess), std::string::npos) << update.out;

  // The stand-in keeps its memory in the state folder: the file is in flash, the boot block
  // untouched, the rest of the last erased block blank.
  const auto flash = ReadBytes(install / "device" / "flash.bin");
  ASSERT_EQ(flash.size(), 32768u);
  for (std::uint32_t a = 0; a < 0x800; ++a) {
    ASSERT_EQ(flash[a], emulator::BootloaderDevice::BootBlockPattern(a)) << a;
  }
  for (std::uint32_t a = 0x800; a < 0x800 + kCount; ++a) {
    ASSERT_EQ(flash[a], ProgramValue(a)) << a;
  }
  for (std::uint32_t a = 0x800 + kCount; a < 0xAC0; ++a) {
    ASSERT_EQ(flash[a], 0xFF) << a;
  }

  const CliResult reset = install.Run({"reset"});
  EXPECT_EQ(reset.exitCode, 0) << reset.err;
  EXPECT_NE(reset.out.find("Device reset sent."), std::string::npos) << reset.out;
}

// The library names devices by their place in its list: a board plugged in mid-run could take
// over the rest of it, so the run stops instead of reporting a success; several boards at once
// are refused before any packet.
TEST(CliOnStandInLibrary, ABoardArrivingStopsTheRunAndSeveralAtOnceAreRefused) {
  const Installation install(Library::StandIn);
  WriteFile(install / "fw.hex", DataRecords(0x800, 700, ProgramValue) + EndOfFile());
  const std::string file = (install / "fw.hex").string();
  const CliResult arrived = install.Run({"update", file}, {"KORVANE_STANDIN_FAULTS=arrive@10"});
  EXPECT_EQ(arrived.exitCode, 1) << arrived.err;
  EXPECT_EQ(arrived.out.find(kSuccess), std::string::npos) << arrived.out;
  EXPECT_NE(arrived.err.find("with vbmpusbapi.dll Korvane cannot tell devices apart"),
            std::string::npos)
      << arrived.err;

  const auto before = ReadBytes(install / "device" / "flash.bin");
  const CliResult all = install.Run({"update", file, "--all"});
  EXPECT_EQ(all.exitCode, 2) << all.err;
  EXPECT_NE(all.err.find("cannot tell devices apart"), std::string::npos) << all.err;
  EXPECT_EQ(ReadBytes(install / "device" / "flash.bin"), before);
}

TEST(CliOnStandInLibrary, LibraryFaultsReachTheUserWithTheirCodes) {
  const Installation install(Library::StandIn);
  WriteFile(install / "fw.hex", DataRecords(0x800, 16, ProgramValue) + EndOfFile());
  struct Case {
    std::vector<std::string> args;
    std::string faults;
    int exitCode;
    std::string inStderr;
  };
  const std::string file = (install / "fw.hex").string();
  // Packet 0 is the device count with which the command looks for the device; the update's
  // packets follow.
  const std::vector<Case> cases = {
      // The read times out: the code comes through GetLastError.
      {{"update", file}, "timeout@2", 1, "Error Code :  121\n"},
      {{"update", file}, "write-error@1", 1, "Error Code :  31\n"},
      {{"update", file}, "open-fail@3", 1, "-1Failed to open data pipes.\n"},
      // The device is gone: the write fails with the invalid-handle code, closed silently.
      {{"detect"}, "unplug@0", 3, "Unable to find an Dextrel device."},
      {{"detect"}, "short@1", 3, "Unable to find an Dextrel device."},
      // More bytes than asked for: read whole, then refused by the link without a message.
      {{"update", file},
       "long-reply@3",
       1,
       "korvane-cli: Verify at 0x0800: the reply was too long."},
  };
  for (const Case& c : cases) {
    const CliResult r = install.Run(c.args, {"KORVANE_STANDIN_FAULTS=" + c.faults});
    EXPECT_EQ(r.exitCode, c.exitCode) << c.faults << "\n" << r.out << r.err;
    EXPECT_EQ(r.out.find(kSuccess), std::string::npos) << c.faults;
    EXPECT_NE(r.err.find(c.inStderr), std::string::npos) << c.faults << "\n" << r.err;
    EXPECT_EQ(r.err.find("Error Code :  6\n"), std::string::npos) << c.faults << "\n" << r.err;
    EXPECT_EQ(r.err.find("Error Code :  234\n"), std::string::npos) << c.faults << "\n" << r.err;
  }
}

// Right after a device arrived its opens may be refused for a moment: the library's reason
// reaches the wait, which tries again.
TEST(CliOnStandInLibrary, AnOpenRefusedAtFirstIsTriedAgain) {
  const Installation install(Library::StandIn);
  WriteFile(install / "fw.hex", DataRecords(0x800, 16, ProgramValue) + EndOfFile());
  const CliResult r = install.Run({"update", (install / "fw.hex").string(), "--wait=10"},
                                  {"KORVANE_STANDIN_OPEN_ERROR=5*3"});
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_NE(r.out.find(kSuccess), std::string::npos) << r.out;
}

TEST(CliOnStandInLibrary, MissingOrIncompleteLibraryIsNamedOnceAndNoDeviceIsFound) {
  const Installation missing(Library::None);
  // A library in the current folder is not one beside the program: it is not loaded.
  fs::create_directories(missing / "work");
  fs::copy_file(KORVANE_STANDIN_DLL, missing / "work" / "vbmpusbapi.dll");
  const fs::path previous = fs::current_path();
  fs::current_path(missing / "work");
  const CliResult r = missing.Run({"detect", "--usb", "vbmpusbapi"});
  fs::current_path(previous);
  EXPECT_EQ(r.exitCode, 3) << r.out << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("vbmpusbapi.dll could not be loaded"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("driver package"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("folder of korvane-cli.exe"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("Unable to find an Dextrel device."), std::string::npos) << r.err;

  const Installation incomplete(Library::Incomplete);
  WriteFile(incomplete / "fw.hex", DataRecords(0x800, 16, ProgramValue) + EndOfFile());
  const CliResult update = incomplete.Run({"update", (incomplete / "fw.hex").string()});
  EXPECT_EQ(update.exitCode, 3) << update.out << update.err;
  EXPECT_NE(update.err.find("lacks the operation MPUSBRead,"), std::string::npos) << update.err;
}

// --usb winusb starts libusb (Wine presents no USB device to it) and leaves the library beside
// the program alone; auto takes that library when it counts a device, else libusb. Without a
// device the driver diagnosis follows.
TEST(CliUsbRoutes, WinUsbStartsLibusbAndAutoTakesTheLibraryThatAnswers) {
  const Installation install(Library::StandIn);
  const auto contains = [](const CliResult& r, const std::vector<std::string>& texts) {
    for (const std::string& text : texts) {
      EXPECT_NE(r.err.find(text), std::string::npos) << text << "\n" << r.err;
    }
  };
  const std::string advice =
      "Unable to find an Dextrel device.\nWindows sees no USB device with VID 04D8 and PID A5E2: "
      "plug the device in in bootloader mode (see your product's manual), with a cable that "
      "carries data, and try again.\n";
  const std::string libusb = "\nlibusb " KORVANE_LIBUSB_VERSION ", without hotplug\n";

  const CliResult winusb = install.Run({"detect", "--usb", "winusb", "--verbose"});
  EXPECT_EQ(winusb.exitCode, 3) << winusb.err;
  EXPECT_EQ(winusb.out, "");
  contains(winusb, {"USB library: libusb (--usb winusb)\n", libusb,
                    "\nWindows has no USB device with VID 04D8 and PID A5E2 present\n", advice});
  EXPECT_EQ(winusb.err.find("vbmpusbapi.dll"), std::string::npos) << winusb.err;

  // Forced onto the library, which counts nothing: what it loaded and saw, what Windows has,
  // and the step that fits.
  const CliResult forced =
      install.Run({"detect", "--usb", "vbmpusbapi", "--verbose"}, {"KORVANE_STANDIN_COUNT=0"});
  EXPECT_EQ(forced.exitCode, 3) << forced.err;
  contains(forced, {"USB library: vbmpusbapi.dll (--usb vbmpusbapi)\n",
                    "vbmpusbapi.dll loaded from " + (install / "program").string(),
                    ": 0 devices with the identity vid_04d8&pid_a5e2\n",
                    "\nWindows has no USB device with VID 04D8 and PID A5E2 present\n", advice});
  EXPECT_EQ(forced.err.find("libusb"), std::string::npos) << forced.err;

  const CliResult dll = install.Run({"detect", "--verbose"});
  EXPECT_EQ(dll.exitCode, 0) << dll.err;
  EXPECT_EQ(dll.out, "USB-Bootloader  1. 1 2 detected \n");
  contains(dll, {"USB library: vbmpusbapi.dll (auto: vbmpusbapi.dll counts 1 device)\n"});

  const CliResult none = install.Run({"detect", "--verbose"}, {"KORVANE_STANDIN_COUNT=0"});
  EXPECT_EQ(none.exitCode, 3) << none.err;
  contains(none, {"USB library: none chosen yet",
                  ": 0 devices with the identity vid_04d8&pid_a5e2\n", libusb, advice});

  const Installation bare(Library::None);
  const CliResult missing = bare.Run({"detect", "--verbose"});
  EXPECT_EQ(missing.exitCode, 3) << missing.err;
  contains(missing, {"USB library: libusb (auto: vbmpusbapi.dll is not installed)\n",
                     "vbmpusbapi.dll is not installed: it is neither in the folder of "
                     "korvane-cli.exe",
                     libusb, advice});
  EXPECT_EQ(missing.err.find("could not be loaded"), std::string::npos) << missing.err;
}

// libusb-1.0.dll is taken from the program's folder only: one in the current folder or on PATH
// is never loaded (the planted one would leave a mark). Without it the WinUSB route says so in
// one sentence, and the vendor's library still serves the device.
TEST(CliLibUsbDll, IsLoadedFromTheProgramsFolderOnly) {
  const Installation install(Library::StandIn, LibUsbDll::None);
  fs::create_directories(install / "work");
  fs::copy_file(KORVANE_PLANTED_LIBUSB_DLL, install / "work" / "libusb-1.0.dll");
  const std::string mark = "KORVANE_PLANTED_MARK=" + (install / "mark").string();
  const char* systemPath = std::getenv("PATH");
  const std::string path =
      "PATH=" + (install / "work").string() + ";" + (systemPath != nullptr ? systemPath : "");
  const fs::path previous = fs::current_path();
  fs::current_path(install / "work");
  const CliResult winusb = install.Run({"detect", "--usb", "winusb", "--verbose"}, {mark, path});
  const CliResult vendor = install.Run({"detect"}, {mark, path});
  fs::current_path(previous);

  EXPECT_EQ(winusb.exitCode, 3) << winusb.err;
  const std::string missing =
      "The USB library libusb-1.0.dll is missing from the folder of korvane-cli.exe (" +
      (install / "program").string() + "), so no device bound to WinUSB";
  EXPECT_NE(winusb.err.find(missing), std::string::npos) << winusb.err;
  EXPECT_FALSE(fs::exists(install / "mark")) << "libusb-1.0.dll was loaded from outside the "
                                                "program's folder";
  EXPECT_EQ(vendor.exitCode, 0) << vendor.err;
  EXPECT_EQ(vendor.out, "USB-Bootloader  1. 1 2 detected \n");
  EXPECT_EQ(vendor.err.find("libusb-1.0.dll"), std::string::npos) << vendor.err;

  // Beside the program the same file is loaded: it leaves its mark, and lacks libusb.
  fs::copy_file(KORVANE_PLANTED_LIBUSB_DLL, install / "program" / "libusb-1.0.dll");
  const CliResult planted = install.Run({"detect", "--usb", "winusb"}, {mark});
  EXPECT_EQ(planted.exitCode, 3) << planted.err;
  EXPECT_TRUE(fs::exists(install / "mark"));
  EXPECT_NE(planted.err.find("libusb-1.0.dll lacks the functions libusb_bulk_transfer, "),
            std::string::npos)
      << planted.err;
}

// Ctrl+C, pressed twice at the console, is counted twice and never ends the process: a run
// would stop after its packet in flight and end as it always does. (The C runtime's signal()
// forgets its handler after the first Ctrl+C, so the second would kill.) Wine delivers Ctrl+C to
// the processes of the console it is generated on, this one included; it cannot generate
// Ctrl+Break.
TEST(CliConsoleEvents, ASecondCtrlCIsCountedAndNeverKills) {
  FreeConsole();
  ASSERT_TRUE(AllocConsole());
  {
    const InterruptGuard guard;
    for (int press = 1; press <= 2; ++press) {
      ASSERT_TRUE(GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0));
      const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
      while (Interruptions() < press && std::chrono::steady_clock::now() < end) {
        Sleep(5);
      }
      EXPECT_EQ(Interruptions(), press);
    }
  }
  FreeConsole();
}

// The backend in this process, on the two stand-ins loaded by full path.
TEST(MpusbDllLibrary, ExchangesThroughTheLibraryAndTellsAnIncompleteOneOnce) {
  class Messages final : public link::LinkMessages {
   public:
    void ShowLinkMessage(std::string_view text) override { shown.emplace_back(text); }
    std::vector<std::string> shown;
  };

  link::MpusbDllLibrary incomplete(fs::path(KORVANE_INCOMPLETE_DLL).wstring());
  EXPECT_EQ(incomplete.MPUSBGetDeviceCount(link::kDeviceIdentity), 0);
  const std::string notice = incomplete.TakeUserNotice();
  EXPECT_NE(notice.find("vbmpusbapi-incomplete.dll lacks the operation MPUSBRead,"),
            std::string::npos)
      << notice;
  EXPECT_EQ(incomplete.MPUSBGetDeviceCount(link::kDeviceIdentity), 0);
  EXPECT_EQ(incomplete.TakeUserNotice(), "");
  EXPECT_EQ(incomplete.MPUSBOpen(0, link::kDeviceIdentity, link::kPipeName, 0, 0),
            link::kInvalidPipe);

  // Packet 0 is answered; packet 1 times out, and its code is kept for the link to read.
  ASSERT_NE(_putenv("KORVANE_STANDIN_FAULTS=timeout@1"), -1);
  ASSERT_NE(_putenv("KORVANE_STANDIN_STATE="), -1);
  link::MpusbDllLibrary standIn(fs::path(KORVANE_STANDIN_DLL).wstring());
  Messages messages;
  link::UsbPipeLink pipes(standIn, messages);
  pipes.InitPipes();
  const std::uint8_t versionQuery[] = {0x00, 0x02};
  std::uint8_t reply[65] = {};
  std::int32_t replyLength = 4;
  const link::PacketOutcome found = pipes.SendPacket(versionQuery, 2, reply, replyLength);
  EXPECT_TRUE(found.sent);
  EXPECT_EQ(found.result, link::ExchangeResult::Complete);
  EXPECT_EQ(replyLength, 4);
  EXPECT_EQ(reply[3], 1);
  EXPECT_EQ(reply[2], 0x12);
  EXPECT_FALSE(pipes.PipesOpen());

  replyLength = 4;
  const link::PacketOutcome timedOut = pipes.SendPacket(versionQuery, 2, reply, replyLength);
  EXPECT_EQ(timedOut.result, link::ExchangeResult::Failed);
  EXPECT_EQ(standIn.GetLastError(), link::kErrorTimeout);
  EXPECT_EQ(messages.shown, (std::vector<std::string>{"Error Code :  121"}));
  EXPECT_EQ(standIn.TakeUserNotice(), "");
}

// Sets one of the stand-in's controls for the rest of the test program ("" removes it).
void SetControl(const std::string& name, const std::string& value) {
  ASSERT_EQ(_putenv((name + "=" + value).c_str()), 0);
}

TEST(MpusbDllLibrary, KeepsTheReasonOfAFailedOpenAndBelievesNoImpossibleCount) {
  SetControl("KORVANE_STANDIN_FAULTS", "");
  link::MpusbDllLibrary library(fs::path(KORVANE_STANDIN_DLL).wstring());
  const auto open = [&library] {
    return library.MPUSBOpen(0, link::kDeviceIdentity, link::kPipeName, 0, 0);
  };
  SetControl("KORVANE_STANDIN_OPEN_ERROR", "5");
  EXPECT_EQ(open(), link::kInvalidPipe);
  EXPECT_EQ(library.GetLastError(), link::kErrorAccessDenied);
  // A library that gives no reason: the open failed all the same.
  SetControl("KORVANE_STANDIN_OPEN_ERROR", "0");
  EXPECT_EQ(open(), link::kInvalidPipe);
  EXPECT_NE(library.GetLastError(), 0u);
  SetControl("KORVANE_STANDIN_OPEN_ERROR", "");

  SetControl("KORVANE_STANDIN_COUNT", "2147483647");
  EXPECT_EQ(library.MPUSBGetDeviceCount(link::kDeviceIdentity), 127);
  EXPECT_EQ(library.ListDevices(link::kDeviceIdentity).size(), 127u);
  SetControl("KORVANE_STANDIN_COUNT", "-5");
  EXPECT_EQ(library.MPUSBGetDeviceCount(link::kDeviceIdentity), 0);
  SetControl("KORVANE_STANDIN_COUNT", "");
}

// Several devices served at once, each through a library object of its own: the library gets
// one call at a time.
TEST(MpusbDllLibrary, CallsFromSeveralThreadsReachTheLibraryOneAtATime) {
  SetControl("KORVANE_STANDIN_FAULTS", "");
  SetControl("KORVANE_STANDIN_ONE_CALLER", "1");
  std::atomic<int> wrongCounts{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&wrongCounts] {
      link::MpusbDllLibrary library(fs::path(KORVANE_STANDIN_DLL).wstring());
      for (int i = 0; i < 50; ++i) {
        if (library.MPUSBGetDeviceCount(link::kDeviceIdentity) != 1) {
          ++wrongCounts;
        }
      }
    });
  }
  for (std::thread& thread : threads) {
    thread.join();
  }
  SetControl("KORVANE_STANDIN_ONE_CALLER", "");
  EXPECT_EQ(wrongCounts.load(), 0);
}

}  // namespace
}  // namespace korvane::cli::test
