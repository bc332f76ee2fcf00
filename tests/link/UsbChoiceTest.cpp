// The choice between vbmpusbapi.dll and libusb, and the driver diagnosis, against fake libraries
// and device lists.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "link/DriverDiagnosis.h"
#include "link/UsbChoice.h"
#include "link/UsbPipeLink.h"

namespace korvane::link {
namespace {

using Availability = UsbLibrary::Availability;

// What a fake library answers, shared by every instance of its kind.
struct Fake {
  int count = 0;
  Availability availability = Availability::Usable;
  std::string notice;
  bool places = false;
  PipeHandle handle = 0;  // what its opens return, to tell the kinds apart
  int made = 0;
  int counts = 0;  // device counts asked (the vendor's library treats each as a packet)
};

class FakeLibrary final : public UsbLibrary {
 public:
  explicit FakeLibrary(Fake& fake) : fake_(fake) { ++fake_.made; }
  std::int32_t MPUSBGetDeviceCount(std::string_view) override {
    ++fake_.counts;
    return fake_.availability == Availability::Usable ? fake_.count : 0;
  }
  std::vector<AttachedDevice> ListDevices(std::string_view identity) override {
    std::vector<AttachedDevice> devices = UsbLibrary::ListDevices(identity);
    for (AttachedDevice& device : devices) {
      device.location = fake_.places ? "1-" + std::to_string(device.instance + 1) : "";
    }
    return devices;
  }
  PipeHandle MPUSBOpen(std::uint32_t, std::string_view, std::string_view, std::uint32_t,
                       std::uint32_t) override {
    return fake_.handle;
  }
  std::int32_t MPUSBWrite(PipeHandle, std::span<const std::uint8_t>, std::uint32_t&,
                          std::uint32_t) override {
    return 1;
  }
  std::int32_t MPUSBRead(PipeHandle, std::span<std::uint8_t>, std::uint32_t&,
                         std::uint32_t) override {
    return 1;
  }
  std::int32_t MPUSBClose(PipeHandle) override { return 1; }
  std::uint32_t GetLastError() override { return 0; }
  bool KnowsPlaces() const override { return fake_.places; }
  bool PinLocation(std::string_view) override { return fake_.places; }
  Availability Available() override { return fake_.availability; }
  std::string TakeUserNotice() override { return std::exchange(fake_.notice, {}); }

 private:
  Fake& fake_;
};

struct Bench {
  Bench() {
    dll.handle = 10;
    libusb.handle = 20;
    libusb.places = true;
  }
  Fake dll;
  Fake libusb;
  std::vector<PresentUsbDevice> present;

  std::shared_ptr<UsbChoice> Choice(UsbRoute route) {
    UsbSystem system;
    system.dll = [this] { return std::make_unique<FakeLibrary>(dll); };
    system.libusb = [this] { return std::make_unique<FakeLibrary>(libusb); };
    system.presentDevices = [this](const UsbIdentity&) { return std::optional(present); };
    return UsbChoice::Create(route, std::move(system));
  }
};

PipeHandle OpenThrough(UsbChoice& choice) {
  return choice.MakeLibrary()->MPUSBOpen(0, kDeviceIdentity, kPipeName, 0, 0);
}

TEST(UsbChoice, AutoTakesTheLibraryThatFirstCountsADeviceAndKeepsIt) {
  Bench bench;
  bench.dll.count = 1;
  bench.libusb.count = 1;
  auto choice = bench.Choice(UsbRoute::Auto);
  auto scanner = choice->MakeLibrary();
  EXPECT_EQ(scanner->ListDevices(kDeviceIdentity).size(), 1u);
  EXPECT_EQ(choice->Chosen(), UsbChoice::Kind::Dll);
  // One count for the look that chose: the library's packets are numbered from its first count.
  EXPECT_EQ(bench.dll.counts, 1);
  EXPECT_EQ(OpenThrough(*choice), 10);
  EXPECT_FALSE(scanner->KnowsPlaces());

  // Neither counts a device yet: nothing is chosen, nothing opens; the device that arrives
  // decides, and the choice then holds.
  for (const bool libusbFirst : {false, true}) {
    Bench later;
    auto open = later.Choice(UsbRoute::Auto);
    auto look = open->MakeLibrary();
    EXPECT_EQ(look->MPUSBGetDeviceCount(kDeviceIdentity), 0);
    EXPECT_FALSE(open->Chosen());
    EXPECT_EQ(OpenThrough(*open), kInvalidPipe);
    (libusbFirst ? later.libusb : later.dll).count = 1;
    EXPECT_EQ(look->MPUSBGetDeviceCount(kDeviceIdentity), 1);
    (libusbFirst ? later.dll : later.libusb).count = 2;
    EXPECT_EQ(look->MPUSBGetDeviceCount(kDeviceIdentity), 1);
    EXPECT_EQ(OpenThrough(*open), libusbFirst ? 20 : 10) << libusbFirst;
    EXPECT_EQ(look->KnowsPlaces(), libusbFirst);
    EXPECT_EQ(open->MakeLibrary()->PinLocation("1-1"), libusbFirst);
  }
}

TEST(UsbChoice, AMissingDllIsPassedOverSilentlyABrokenOneIsTold) {
  for (const Availability availability : {Availability::Missing, Availability::Broken}) {
    const std::string notice = "The USB library vbmpusbapi.dll could not be loaded.";
    Bench bench;
    bench.dll.availability = availability;
    bench.dll.notice = notice;
    auto choice = bench.Choice(UsbRoute::Auto);
    auto scanner = choice->MakeLibrary();
    EXPECT_EQ(scanner->MPUSBGetDeviceCount(kDeviceIdentity), 0);
    EXPECT_EQ(choice->Chosen(), UsbChoice::Kind::LibUsb);
    EXPECT_TRUE(scanner->KnowsPlaces());
    const bool broken = availability == Availability::Broken;
    EXPECT_EQ(scanner->TakeUserNotice(), broken ? notice : "");
    EXPECT_EQ(scanner->Diagnostics(kDeviceIdentity).front(),
              broken ? "USB library: libusb (auto: vbmpusbapi.dll cannot be used)"
                     : "USB library: libusb (auto: vbmpusbapi.dll is not installed)");
  }
}

TEST(UsbChoice, AForcedRouteUsesOnlyItsLibraryAndOnlyWindowsHasTwo) {
  Bench bench;
  bench.dll.count = 1;
  auto winusb = bench.Choice(UsbRoute::WinUsb);
  EXPECT_EQ(winusb->MakeLibrary()->MPUSBGetDeviceCount(kDeviceIdentity), 0);
  EXPECT_EQ(OpenThrough(*winusb), 20);
  EXPECT_EQ(bench.dll.made, 0);
  Bench other;
  other.libusb.count = 1;
  auto vbmpusbapi = other.Choice(UsbRoute::Vbmpusbapi);
  EXPECT_EQ(vbmpusbapi->MakeLibrary()->Diagnostics(kDeviceIdentity).front(),
            "USB library: vbmpusbapi.dll (--usb vbmpusbapi)");
  EXPECT_EQ(OpenThrough(*vbmpusbapi), 10);
  EXPECT_EQ(other.libusb.made, 0);

  for (const UsbRoute route : {UsbRoute::Auto, UsbRoute::Vbmpusbapi, UsbRoute::WinUsb}) {
    EXPECT_EQ(ParseUsbRoute(UsbRouteName(route)), route);
    UsbSystem onlyLibusb;
    onlyLibusb.libusb = [&bench] { return std::make_unique<FakeLibrary>(bench.libusb); };
    EXPECT_EQ(UsbChoice::Refusal(route, onlyLibusb).empty(), route == UsbRoute::Auto);
    UsbSystem both = onlyLibusb;
    both.dll = onlyLibusb.libusb;
    EXPECT_EQ(UsbChoice::Refusal(route, both), "");
  }
  EXPECT_FALSE(ParseUsbRoute("WinUSB"));
}

// The advice follows the route: the chooser hands the diagnosis what its route allows.
TEST(UsbChoice, TheDriverAdviceFollowsTheRouteAndTheDll) {
  Bench bench;
  bench.present = {{"USB\\VID_04D8&PID_A5E2\\1", "", "WinUSB", 0}};
  EXPECT_NE(bench.Choice(UsbRoute::Vbmpusbapi)
                ->MakeLibrary()
                ->NoDeviceAdvice(kDeviceIdentity)
                .find("use --usb auto or --usb winusb."),
            std::string::npos);
  EXPECT_NE(bench.Choice(UsbRoute::Auto)
                ->MakeLibrary()
                ->NoDeviceAdvice(kDeviceIdentity)
                .find("which Korvane can use, yet it did not answer"),
            std::string::npos);
  bench.present[0].service = "OtherDriver";
  for (const Availability availability : {Availability::Usable, Availability::Missing}) {
    bench.dll.availability = availability;
    const std::string advice =
        bench.Choice(UsbRoute::Auto)->MakeLibrary()->NoDeviceAdvice(kDeviceIdentity);
    EXPECT_EQ(advice.find("there is no working vbmpusbapi.dll here") != std::string::npos,
              availability == Availability::Missing)
        << advice;
  }
}

DriverFacts FactsWith(std::vector<PresentUsbDevice> devices) {
  return DriverFacts{0x04D8, 0xA5E2, std::move(devices), true, true, false};
}

TEST(DriverDiagnosis, OneSentenceWithTheStepThatFits) {
  const std::string bind =
      "in Device Manager right-click the device, choose Update driver, then Browse my computer "
      "for drivers, Let me pick from a list of available drivers on my computer, Universal "
      "Serial Bus devices, WinUsb Device, Next, and confirm with Yes.";
  EXPECT_EQ(DiagnoseDrivers(FactsWith({})).advice,
            "Windows sees no USB device with VID 04D8 and PID A5E2: plug the device in in "
            "bootloader mode (see your product's manual), with a cable that carries data, and "
            "try again.");
  EXPECT_EQ(DiagnoseDrivers(FactsWith({{"USB\\VID_04D8&PID_A5E2\\7", "Boot", "", 28}})).advice,
            "The device \"Boot\" has no driver: install the device's driver package (Korvane then "
            "uses vbmpusbapi.dll), or give it Microsoft's WinUSB driver (Korvane then uses "
            "libusb): " +
                bind);
  DriverFacts winusbOnly = FactsWith({{"USB\\VID_04D8&PID_A5E2\\7", "", "", 0}});
  winusbOnly.dllAllowed = false;
  EXPECT_EQ(DiagnoseDrivers(winusbOnly).advice,
            "The device USB\\VID_04D8&PID_A5E2\\7 has no driver: give it Microsoft's WinUSB "
            "driver: " +
                bind);

  struct Case {
    PresentUsbDevice device;
    std::string inAdvice;
  };
  const std::vector<Case> cases = {
      {{"i", "Boot", "WinUSB", 52},
       "Windows does not run the driver of the device \"Boot\" (Device Manager code 52: Windows "
       "cannot verify the signature of its driver): give it Microsoft's WinUSB driver: in "
       "Device Manager"},
      {{"i", "Boot", "libusbK", 22},
       "is disabled (Device Manager code 22: it is disabled): in "
       "Device Manager right-click it and choose Enable device."},
      {{"i", "Boot", "WinUSB", 43}, "unplug it and plug it in again"},
      {{"i", "Boot", "WinUSB", 77}, "(Device Manager code 77): give it"},
      {{"i", "Boot", "OtherDriver", 0},
       "has the driver OtherDriver, which Korvane reaches only "
       "through vbmpusbapi.dll"},
      {{"i", "Boot", "libusb0", 0}, "has the driver libusb0, which Korvane can use"},
  };
  for (const Case& c : cases) {
    const std::string advice = DiagnoseDrivers(FactsWith({c.device})).advice;
    EXPECT_NE(advice.find(c.inAdvice), std::string::npos) << advice;
  }

  // Several devices: a line each, and the sentence about the one in the worst state.
  const DriverDiagnosis several = DiagnoseDrivers(FactsWith(
      {{"USB\\VID_04D8&PID_A5E2\\1", "", "WinUSB", 0}, {"USB\\VID_04D8&PID_A5E2\\2", "", "", 0}}));
  EXPECT_EQ(several.lines,
            (std::vector<std::string>{"Windows has USB\\VID_04D8&PID_A5E2\\1: driver WinUSB",
                                      "Windows has USB\\VID_04D8&PID_A5E2\\2: no driver"}));
  EXPECT_NE(several.advice.find("USB\\VID_04D8&PID_A5E2\\2 has no driver"), std::string::npos);
}

}  // namespace
}  // namespace korvane::link
