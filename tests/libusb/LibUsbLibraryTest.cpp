// The libusb backend against emulated bootloader devices on a umockdev testbed: the real libusb
// code runs, and every answer comes from the emulated bootloader.

#include <gtest/gtest.h>
#include <libusb.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "link/AccessAdvice.h"
#include "link/LibUsbLibrary.h"
#include "link/UsbPipeLink.h"
#include "tests/libusb/UmockdevBootloader.h"

namespace korvane::link {
namespace {

using testsupport::EmulatedDeviceOptions;
using testsupport::EndpointKind;
using testsupport::UmockdevTestbed;

// Every test here runs inside umockdev's preload library: re-execute before main when not.
[[maybe_unused]] const bool kUnderPreload = (testsupport::RunUnderUmockdevPreload(), true);

TEST(LibUsbNames, IdentityIsVendorAndProductInAnyCase) {
  for (const std::string_view text :
       {"vid_04d8&pid_a5e2", "VID_04D8&PID_A5E2", "Vid_04D8&pId_a5E2"}) {
    const auto identity = ParseUsbIdentity(text);
    ASSERT_TRUE(identity) << text;
    EXPECT_EQ(identity->vendor, 0x04d8) << text;
    EXPECT_EQ(identity->product, 0xa5e2) << text;
  }
  for (const std::string_view text :
       {"", "vid_04d8&pid_a5e", "vid_04d8&pid_a5e2x", "vid_04g8&pid_a5e2", "vid_04d8_pid_a5e2",
        "pid_a5e2&vid_04d8", " vid_04d8&pid_a5e", "vid_+4d8&pid_a5e2"}) {
    EXPECT_FALSE(ParseUsbIdentity(text)) << text;
  }
}

TEST(LibUsbNames, PipeNameGivesEndpointNumber) {
  EXPECT_EQ(ParsePipeEndpoint("\\MCHP_EP1"), 1);
  EXPECT_EQ(ParsePipeEndpoint("\\mchp_ep1"), 1);
  EXPECT_EQ(ParsePipeEndpoint("\\MCHP_EP15"), 15);
  for (const std::string_view text :
       {"", "\\MCHP_EP", "MCHP_EP1", "\\MCHP_EP16", "\\MCHP_EP1x", "\\MCHP_EP-1", "\\MCHP_EP001"}) {
    EXPECT_FALSE(ParsePipeEndpoint(text)) << text;
  }
}

TEST(LibUsbNames, OnlyAVanishedDeviceReadsAsInvalidHandleAndOnlyATimeoutAsTimeout) {
  EXPECT_EQ(WindowsErrorFor(LIBUSB_ERROR_NO_DEVICE), kErrorInvalidHandle);
  EXPECT_EQ(WindowsErrorFor(LIBUSB_ERROR_TIMEOUT), kErrorTimeout);
  EXPECT_EQ(WindowsErrorFor(LIBUSB_ERROR_ACCESS), kErrorAccessDenied);
  EXPECT_EQ(WindowsErrorFor(LIBUSB_ERROR_OVERFLOW), kErrorMoreData);
  // The link closes silently on 6; a stall or an I/O error must still reach the user.
  for (const int error : std::initializer_list<int>{
           LIBUSB_ERROR_IO, LIBUSB_ERROR_INVALID_PARAM, LIBUSB_ERROR_ACCESS, LIBUSB_ERROR_NOT_FOUND,
           LIBUSB_ERROR_BUSY, LIBUSB_ERROR_OVERFLOW, LIBUSB_ERROR_PIPE, LIBUSB_ERROR_INTERRUPTED,
           LIBUSB_ERROR_NO_MEM, LIBUSB_ERROR_NOT_SUPPORTED, LIBUSB_ERROR_OTHER, -1234}) {
    EXPECT_NE(WindowsErrorFor(error), kErrorInvalidHandle) << libusb_error_name(error);
    EXPECT_NE(WindowsErrorFor(error), kErrorTimeout) << libusb_error_name(error);
    EXPECT_NE(WindowsErrorFor(error), 0u) << libusb_error_name(error);
  }
}

// The advice for a refused user follows what the system shows: the rule's place and group,
// and whether this is the active local session.
TEST(AccessAdvice, NamesTheRuleWhereItIsAndTheStepThatFits) {
  const std::filesystem::path root =
      std::filesystem::temp_directory_path() / ("korvane-access-" + std::to_string(getpid()));
  std::filesystem::remove_all(root);
  const auto write = [&root](const std::string& path, const std::string& text) {
    std::filesystem::create_directories((root / path.substr(1)).parent_path());
    std::ofstream(root / path.substr(1)) << text;
  };
  const std::string rule = "/usr/lib/udev/rules.d/70-korvane.rules";

  struct Case {
    std::string name;
    std::function<void()> arrange;
    std::string session;
    std::vector<std::string> says;
    std::vector<std::string> saysNot;
  };
  const std::vector<Case> cases = {
      {"no rule",
       [] {},
       "",
       {"not installed", "install the korvane package", "/etc/udev/rules.d/",
        "unplug the device and plug it in again"},
       {"packaging/"}},
      {"rule, active local session",
       [&] {
         write(rule, "SUBSYSTEM==\"usb\", TAG+=\"uaccess\"\n");
         write("/run/systemd/sessions/4", "ACTIVE=1\nREMOTE=0\n");
       },
       "4",
       {"installed as /usr/lib/udev/rules.d/70-korvane.rules",
        "unplug the device and plug "
        "it in again"},
       {"not installed", "group", "packaging/"}},
      {"rule, remote session, no group",
       [&] { write("/run/systemd/sessions/7", "ACTIVE=1\nREMOTE=1\n"); },
       "7",
       {"installed as", "is not that one", "log in at the computer"},
       {"unplug"}},
      {"rule with a group, background session",
       [&] {
         write(rule, "# GROUP=\"comment\"\nSUBSYSTEM==\"usb\", GROUP=\"plugdev\", MODE=\"0660\"\n");
         write("/run/systemd/sessions/8", "ACTIVE=0\nREMOTE=0\n");
       },
       "8",
       {"is not that one", "the group plugdev", "log in again"},
       {"comment", "unplug"}},
      {"rule with a group, no session, not a member",
       [&] { write("/etc/group", "root:x:0:\nplugdev:x:4000000:\n"); },
       "",
       {"lets the group plugdev", "is not in it", "usermod -aG plugdev USER"},
       {"unplug", "session"}},
      {"rule with a group, no session, a member",
       [&] { write("/etc/group", "plugdev:x:" + std::to_string(getegid()) + ":\n"); },
       "",
       {"unplug the device and plug it in again"},
       {"usermod"}},
      {"rule in /etc wins",
       [&] { write("/etc/udev/rules.d/70-korvane.rules", "TAG+=\"uaccess\"\n"); },
       "",
       {"installed as /etc/udev/rules.d/70-korvane.rules", "unplug"},
       {"group"}},
  };
  for (const Case& c : cases) {
    c.arrange();
    const std::string advice = AccessDeniedAdvice(GatherAccessFacts(root, c.session));
    EXPECT_TRUE(advice.starts_with("Access to the USB device was denied: ")) << advice;
    EXPECT_TRUE(advice.ends_with('.')) << advice;
    EXPECT_EQ(advice.find(". "), std::string::npos) << c.name << ": one sentence: " << advice;
    for (const std::string& part : c.says) {
      EXPECT_NE(advice.find(part), std::string::npos) << c.name << ": " << advice;
    }
    for (const std::string& part : c.saysNot) {
      EXPECT_EQ(advice.find(part), std::string::npos) << c.name << ": " << advice;
    }
  }
  std::filesystem::remove_all(root);
}

struct RecordedMessages final : LinkMessages {
  void ShowLinkMessage(std::string_view text) override { texts.emplace_back(text); }
  std::vector<std::string> texts;
};

// A 65-byte request / reply pair as every caller of the link holds it.
struct Packet {
  std::array<std::uint8_t, 65> request{};
  std::array<std::uint8_t, 65> reply{};
  std::int32_t replyLength = 0;
  PacketOutcome Send(UsbPipeLink& link, std::int32_t requestLength, std::int32_t expected) {
    replyLength = expected;
    return link.SendPacket(request, requestLength, reply, replyLength);
  }
};

class LibUsbOnUmockdev : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const std::string why = testsupport::UmockdevUnavailableReason(); !why.empty()) {
      GTEST_SKIP() << "umockdev tests skipped: " << why;
    }
    testbed_.emplace();
  }
  void TearDown() override {
    link_.reset();
    library_.reset();
    testbed_.reset();
  }

  UmockdevTestbed& Testbed() { return *testbed_; }
  // Created on first use, after the test has attached its devices.
  LibUsbLibrary& Library() {
    if (!library_) {
      library_.emplace();
    }
    return *library_;
  }
  UsbPipeLink& Link() {
    if (!link_) {
      link_.emplace(Library(), messages_);
      link_->InitPipes();
    }
    return *link_;
  }

  PacketOutcome VersionQuery(Packet& packet) {
    packet.request[0] = 0x00;
    packet.request[1] = 0x02;
    return packet.Send(Link(), 2, 4);
  }

  RecordedMessages messages_;

 private:
  std::optional<UmockdevTestbed> testbed_;
  std::optional<LibUsbLibrary> library_;
  std::optional<UsbPipeLink> link_;
};

TEST_F(LibUsbOnUmockdev, CountsOnlyAttachedDevicesOfTheIdentity) {
  EXPECT_EQ(Library().MPUSBGetDeviceCount(kDeviceIdentity), 0);
  EXPECT_EQ(Library().TakeUserNotice(), "");

  Testbed().AddDevice(EmulatedDeviceOptions{.product = 0x000c});
  EXPECT_EQ(Library().MPUSBGetDeviceCount(kDeviceIdentity), 0);
  EXPECT_EQ(Library().MPUSBGetDeviceCount("vid_04d8&pid_000c"), 1);

  Testbed().AddDevice();
  EXPECT_EQ(Library().MPUSBGetDeviceCount(kDeviceIdentity), 1);
  EXPECT_EQ(Library().MPUSBGetDeviceCount("VID_04D8&PID_A5E2"), 1);
  EXPECT_EQ(Library().MPUSBGetDeviceCount("vid_04d8"), 0);

  Testbed().AddDevice();
  EXPECT_EQ(Library().MPUSBGetDeviceCount(kDeviceIdentity), 2);
  // Counting reads device descriptors only: nothing was opened or sent.
  EXPECT_EQ(Testbed().RequestsReceived(1) + Testbed().RequestsReceived(2), 0u);
}

TEST_F(LibUsbOnUmockdev, NoDeviceMeansNoPipeAndNoMessage) {
  Packet packet;
  const PacketOutcome outcome = VersionQuery(packet);
  EXPECT_FALSE(outcome.sent);
  EXPECT_TRUE(messages_.texts.empty());
  EXPECT_EQ(Library().MPUSBOpen(0, kDeviceIdentity, kPipeName, 0, 0), kInvalidPipe);
}

TEST_F(LibUsbOnUmockdev, VersionQueryAndFlashReadGoThroughTheRealLibrary) {
  Testbed().AddDevice();
  Testbed().WithDevice(0, [](emulator::BootloaderDevice& device) {
    device.SetVersion(2, 0x34);
    for (std::size_t i = 0; i < 56; ++i) {
      device.MutableFlash()[0x0800 + i] = static_cast<std::uint8_t>(0x40 + i);
    }
  });

  Packet version;
  const PacketOutcome outcome = VersionQuery(version);
  ASSERT_TRUE(outcome.sent);
  EXPECT_EQ(outcome.result, ExchangeResult::Complete);
  EXPECT_EQ(version.replyLength, 4);
  EXPECT_EQ(version.reply[3], 2);
  EXPECT_EQ(version.reply[2], 0x34);

  Packet read;
  read.request = {0x01, 0x38, 0x00, 0x08, 0x00};
  EXPECT_EQ(read.Send(Link(), 5, 61).result, ExchangeResult::Complete);
  EXPECT_EQ(read.replyLength, 61);
  EXPECT_EQ(read.reply[1], 56);
  for (std::size_t i = 0; i < 56; ++i) {
    EXPECT_EQ(read.reply[5 + i], 0x40 + i) << "byte " << i;
  }
  EXPECT_TRUE(messages_.texts.empty());
  EXPECT_EQ(Testbed().RequestsReceived(0), 2u);
  // Every bracket closed what it opened.
  EXPECT_EQ(Library().OpenPipeCount(), 0u);
  EXPECT_EQ(Library().OpenDeviceCount(), 0u);
}

TEST_F(LibUsbOnUmockdev, EraseAndWriteReachTheDeviceMemory) {
  Testbed().AddDevice();
  Packet packet;
  packet.request = {0x03, 0x01, 0x40, 0x08, 0x00};
  packet.Send(Link(), 5, 1);
  packet.request = {0x02, 0x10, 0x50, 0x08, 0x00};
  for (std::uint8_t i = 0; i < 16; ++i) {
    packet.request[5 + i] = static_cast<std::uint8_t>(0xA0 + i);
  }
  EXPECT_EQ(packet.Send(Link(), 21, 1).result, ExchangeResult::Complete);

  Testbed().WithDevice(0, [](emulator::BootloaderDevice& device) {
    for (std::uint32_t a = 0x0840; a < 0x0880; ++a) {
      const std::uint8_t expected =
          a >= 0x0850 && a < 0x0860 ? static_cast<std::uint8_t>(0xA0 + a - 0x0850) : 0xFF;
      EXPECT_EQ(device.Flash()[a], expected) << std::hex << a;
    }
    EXPECT_EQ(device.BootBlockWriteAttempts(), 0u);
  });
  EXPECT_TRUE(messages_.texts.empty());
}

TEST_F(LibUsbOnUmockdev, InstancesFollowBusAndPortAndAPinnedLibrarySeesOneDevice) {
  // Attached in an order unlike their places; each answers with its own version.
  Testbed().AddDevice(EmulatedDeviceOptions{.bus = 2, .port = 1});
  Testbed().AddDevice(EmulatedDeviceOptions{.bus = 1, .port = 3});
  Testbed().AddDevice(EmulatedDeviceOptions{.bus = 1, .port = 2});
  for (std::size_t i = 0; i < 3; ++i) {
    Testbed().WithDevice(i, [i](emulator::BootloaderDevice& device) {
      device.SetVersion(static_cast<std::uint8_t>(10 + i), 0);
    });
  }
  const std::vector<AttachedDevice> listed = Library().ListDevices(kDeviceIdentity);
  ASSERT_EQ(listed.size(), 3u);
  const std::vector<std::string> places{"1-2", "1-3", "2-1"};
  for (std::uint32_t i = 0; i < 3; ++i) {
    EXPECT_EQ(listed[i].instance, i);
    EXPECT_EQ(listed[i].location, places[i]);
  }

  // The link of instance n reaches the n-th device in that order, and only it.
  const std::uint8_t majorAt[3] = {12, 11, 10};
  for (std::uint32_t instance = 0; instance < 3; ++instance) {
    UsbPipeLink link(Library(), messages_, instance);
    Packet packet;
    packet.request[0] = 0x00;
    packet.request[1] = 0x02;
    EXPECT_EQ(packet.Send(link, 2, 4).result, ExchangeResult::Complete);
    EXPECT_EQ(packet.reply[3], majorAt[instance]) << "instance " << instance;
  }
  EXPECT_EQ(Testbed().RequestsReceived(0), 1u);
  EXPECT_EQ(Testbed().RequestsReceived(1), 1u);
  EXPECT_EQ(Testbed().RequestsReceived(2), 1u);
  UsbPipeLink beyond(Library(), messages_, 3);
  Packet none;
  EXPECT_FALSE(none.Send(beyond, 2, 4).sent);

  // Pinned to 1-3: that device is instance 0 and the only one counted.
  LibUsbLibrary pinned;
  ASSERT_TRUE(pinned.PinLocation("1-3"));
  EXPECT_EQ(pinned.MPUSBGetDeviceCount(kDeviceIdentity), 1);
  UsbPipeLink pinnedLink(pinned, messages_);
  Packet packet;
  packet.request[0] = 0x00;
  packet.request[1] = 0x02;
  EXPECT_EQ(packet.Send(pinnedLink, 2, 4).result, ExchangeResult::Complete);
  EXPECT_EQ(packet.reply[3], 11);
  // A place with nothing plugged in counts no device.
  LibUsbLibrary empty;
  empty.PinLocation("1-9");
  EXPECT_EQ(empty.MPUSBGetDeviceCount(kDeviceIdentity), 0);
  EXPECT_TRUE(messages_.texts.empty());
}

TEST_F(LibUsbOnUmockdev, WaitingForArrivalReturnsWhenADeviceIsPluggedIn) {
  LibUsbLibrary& library = Library();
  EXPECT_EQ(library.MPUSBGetDeviceCount(kDeviceIdentity), 0);
  // Nothing arrives: the wait takes its time and finds nothing.
  library.WaitForArrival(kDeviceIdentity, std::chrono::milliseconds(50));
  EXPECT_EQ(library.MPUSBGetDeviceCount(kDeviceIdentity), 0);

  std::thread plug([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    Testbed().AddDevice();
  });
  const auto start = std::chrono::steady_clock::now();
  while (library.MPUSBGetDeviceCount(kDeviceIdentity) == 0 &&
         std::chrono::steady_clock::now() - start < std::chrono::seconds(20)) {
    library.WaitForArrival(kDeviceIdentity, std::chrono::seconds(10));
  }
  plug.join();
  EXPECT_EQ(library.MPUSBGetDeviceCount(kDeviceIdentity), 1);
  Packet packet;
  EXPECT_EQ(VersionQuery(packet).result, ExchangeResult::Complete);
}

TEST_F(LibUsbOnUmockdev, EndpointsOfAnAlternateSettingSelectThatSetting) {
  Testbed().AddDevice(EmulatedDeviceOptions{.endpointsInAlternateSetting = true});
  Packet packet;
  EXPECT_EQ(VersionQuery(packet).result, ExchangeResult::Complete);
  EXPECT_TRUE(messages_.texts.empty());
  // Selected once per opening of the device, for interface 0, setting 1.
  const auto selected = Testbed().SettingsSelected(0);
  ASSERT_FALSE(selected.empty());
  for (const auto& [interface, setting] : selected) {
    EXPECT_EQ(interface, 0u);
    EXPECT_EQ(setting, 1u);
  }
  // A device whose endpoints are in the default setting is left in it.
  Testbed().AddDevice();
  LibUsbLibrary plain;
  plain.PinLocation("1-2");
  UsbPipeLink link(plain, messages_);
  EXPECT_EQ(packet.Send(link, 2, 4).result, ExchangeResult::Complete);
  EXPECT_TRUE(Testbed().SettingsSelected(1).empty());
}

TEST_F(LibUsbOnUmockdev, PipeHandlesStayPositiveWhenTheirNumbersRunOut) {
  Testbed().AddDevice();
  LibUsbLibrary library(std::numeric_limits<PipeHandle>::max() - 2);
  UsbPipeLink link(library, messages_);
  std::vector<PipeHandle> handles;
  for (int i = 0; i < 4; ++i) {
    link.OpenPipes();
    ASSERT_TRUE(link.PipesOpen());
    handles.push_back(link.WritePipeHandle());
    handles.push_back(link.ReadPipeHandle());
    EXPECT_NE(link.WritePipeHandle(), link.ReadPipeHandle());
    link.ClosePipes();
  }
  for (const PipeHandle handle : handles) {
    EXPECT_GT(handle, 0);
  }
  EXPECT_EQ(handles[0], std::numeric_limits<PipeHandle>::max() - 2);
  EXPECT_EQ(handles[3], 1);
}

TEST_F(LibUsbOnUmockdev, BothPipesOfADeviceShareOneHandle) {
  Testbed().AddDevice();
  LibUsbLibrary& library = Library();
  const PipeHandle out = library.MPUSBOpen(0, kDeviceIdentity, kPipeName, 0, 0);
  const PipeHandle in = library.MPUSBOpen(0, kDeviceIdentity, kPipeName, 1, 0);
  ASSERT_NE(out, kInvalidPipe);
  ASSERT_NE(in, kInvalidPipe);
  EXPECT_NE(out, in);
  EXPECT_EQ(library.OpenPipeCount(), 2u);
  EXPECT_EQ(library.OpenDeviceCount(), 1u);

  // A pipe is used only in its own direction.
  std::array<std::uint8_t, 4> buffer{};
  std::uint32_t count = 0;
  EXPECT_NE(library.MPUSBRead(out, buffer, count, 100), 1);
  EXPECT_EQ(library.GetLastError(), kErrorInvalidHandle);

  // Closing one pipe keeps the device open for the other; the next open reuses it.
  EXPECT_EQ(library.MPUSBClose(out), 1);
  EXPECT_EQ(library.OpenDeviceCount(), 1u);
  EXPECT_NE(library.MPUSBClose(out), 1);
  EXPECT_EQ(library.GetLastError(), kErrorInvalidHandle);
  const std::array<std::uint8_t, 2> query{0x00, 0x02};
  EXPECT_NE(library.MPUSBWrite(out, query, count, 100), 1);
  EXPECT_EQ(library.GetLastError(), kErrorInvalidHandle);

  const PipeHandle again = library.MPUSBOpen(0, kDeviceIdentity, kPipeName, 0, 0);
  ASSERT_NE(again, kInvalidPipe);
  EXPECT_EQ(library.OpenDeviceCount(), 1u);
  ASSERT_EQ(library.MPUSBWrite(again, query, count, 1000), 1);
  EXPECT_EQ(count, 2u);
  ASSERT_EQ(library.MPUSBRead(in, buffer, count, 1000), 1);
  EXPECT_EQ(count, 4u);

  library.MPUSBClose(again);
  library.MPUSBClose(in);
  EXPECT_EQ(library.OpenPipeCount(), 0u);
  EXPECT_EQ(library.OpenDeviceCount(), 0u);
}

TEST_F(LibUsbOnUmockdev, OpenRejectsWhatItCannotServe) {
  Testbed().AddDevice();
  LibUsbLibrary& library = Library();
  EXPECT_EQ(library.MPUSBOpen(1, kDeviceIdentity, kPipeName, 0, 0), kInvalidPipe);
  EXPECT_EQ(library.GetLastError(), kErrorFileNotFound);
  EXPECT_EQ(library.MPUSBOpen(0, kDeviceIdentity, "\\MCHP_EP2", 0, 0), kInvalidPipe);
  EXPECT_EQ(library.GetLastError(), kErrorFileNotFound);
  EXPECT_EQ(library.MPUSBOpen(0, kDeviceIdentity, kPipeName, 2, 0), kInvalidPipe);
  EXPECT_EQ(library.GetLastError(), kErrorInvalidParameter);
  EXPECT_EQ(library.MPUSBOpen(0, "vid_04d8", kPipeName, 0, 0), kInvalidPipe);
  EXPECT_EQ(library.GetLastError(), kErrorInvalidParameter);
  EXPECT_EQ(library.OpenDeviceCount(), 0u);
}

TEST_F(LibUsbOnUmockdev, AReplyThatNeverComesTimesOutWith121) {
  Testbed().AddDevice();
  Testbed().WithholdReplies(0, true);

  Packet packet;
  const PacketOutcome outcome = VersionQuery(packet);
  EXPECT_TRUE(outcome.sent);
  EXPECT_EQ(outcome.result, ExchangeResult::Failed);
  ASSERT_EQ(messages_.texts.size(), 1u);
  EXPECT_EQ(messages_.texts[0], "Error Code :  121");
  EXPECT_FALSE(Link().PipesOpen());
  EXPECT_EQ(Library().OpenDeviceCount(), 0u);

  // A time-out of 0 is the shortest wait, not an endless one.
  LibUsbLibrary& library = Library();
  const PipeHandle in = library.MPUSBOpen(0, kDeviceIdentity, kPipeName, 1, 0);
  ASSERT_NE(in, kInvalidPipe);
  std::array<std::uint8_t, 4> buffer{};
  std::uint32_t count = 99;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_NE(library.MPUSBRead(in, buffer, count, 0), 1);
  EXPECT_EQ(library.GetLastError(), kErrorTimeout);
  EXPECT_EQ(count, 0u);
  // Not a speed figure: only that the call came back rather than waiting for ever.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  library.MPUSBClose(in);

  // Replies flow again once the device answers.
  Testbed().WithholdReplies(0, false);
  Packet next;
  EXPECT_EQ(VersionQuery(next).result, ExchangeResult::Complete);
}

TEST_F(LibUsbOnUmockdev, AReplyLongerThanExpectedFailsWithoutAMessageAndWithoutOverrunning) {
  Testbed().AddDevice();
  LibUsbLibrary& library = Library();
  const PipeHandle out = library.MPUSBOpen(0, kDeviceIdentity, kPipeName, 0, 0);
  const PipeHandle in = library.MPUSBOpen(0, kDeviceIdentity, kPipeName, 1, 0);
  ASSERT_NE(out, kInvalidPipe);
  ASSERT_NE(in, kInvalidPipe);
  const std::array<std::uint8_t, 2> query{0x00, 0x02};
  std::uint32_t count = 0;
  ASSERT_EQ(library.MPUSBWrite(out, query, count, 1000), 1);
  std::array<std::uint8_t, 4> buffer{0x55, 0x55, 0x55, 0x55};
  // Only two bytes asked for: the read succeeds with the true count, and only two bytes land.
  EXPECT_EQ(library.MPUSBRead(in, std::span(buffer).first(2), count, 1000), 1);
  EXPECT_EQ(count, 4u);
  EXPECT_EQ(buffer[0], 0x00);
  EXPECT_EQ(buffer[2], 0x55);
  EXPECT_EQ(buffer[3], 0x55);
  library.MPUSBClose(out);
  library.MPUSBClose(in);

  // So the link's rule holds: more than expected is a failure, and nothing is shown.
  Packet packet;
  packet.request = {0x00, 0x02};
  packet.reply.fill(0x66);
  const PacketOutcome outcome = packet.Send(Link(), 2, 2);
  EXPECT_TRUE(outcome.sent);
  EXPECT_EQ(outcome.result, ExchangeResult::Failed);
  EXPECT_EQ(outcome.errorCode, 0u);
  EXPECT_EQ(packet.replyLength, 4);
  EXPECT_EQ(packet.reply[2], 0x66);
  EXPECT_TRUE(messages_.texts.empty()) << messages_.texts.front();
}

TEST_F(LibUsbOnUmockdev, ADevicePulledOutDuringATransferClosesSilentlyAsGone) {
  Testbed().AddDevice();
  Testbed().PullOutDuringNextRead(0);
  Packet packet;
  const PacketOutcome outcome = VersionQuery(packet);
  EXPECT_TRUE(outcome.sent);
  EXPECT_EQ(outcome.result, ExchangeResult::Failed);
  EXPECT_EQ(outcome.errorCode, kErrorInvalidHandle);
  EXPECT_TRUE(messages_.texts.empty()) << messages_.texts.front();
  EXPECT_EQ(Library().OpenDeviceCount(), 0u);
}

TEST_F(LibUsbOnUmockdev, AnUnpluggedDeviceGivesInvalidHandleAndIsNoLongerCounted) {
  Testbed().AddDevice();
  UsbPipeLink& link = Link();
  link.OpenPipes();
  ASSERT_TRUE(link.PipesOpen());
  Testbed().Unplug(0);

  Packet packet;
  packet.request = {0x00, 0x02};
  packet.replyLength = 4;
  EXPECT_EQ(link.ExchangePacket(packet.request, 2, packet.reply, packet.replyLength, kTimeoutMs,
                                kTimeoutMs),
            ExchangeResult::Failed);
  EXPECT_EQ(Library().GetLastError(), kErrorInvalidHandle);
  // Error 6: the link closes the pipes without a message.
  EXPECT_TRUE(messages_.texts.empty());
  EXPECT_FALSE(link.PipesOpen());
  EXPECT_EQ(Library().OpenDeviceCount(), 0u);
  EXPECT_EQ(Library().MPUSBGetDeviceCount(kDeviceIdentity), 0);
}

TEST_F(LibUsbOnUmockdev, AResetDeviceLeavesTheBusQuietly) {
  Testbed().AddDevice();
  Packet packet;
  packet.request = {0xFF, 0x02};
  const PacketOutcome outcome = packet.Send(Link(), 2, 0);
  EXPECT_TRUE(outcome.sent);
  // No reply is expected, so none is waited for.
  EXPECT_EQ(outcome.result, ExchangeResult::Complete);
  EXPECT_TRUE(messages_.texts.empty());
  EXPECT_EQ(Testbed().Transfers(0).bulk, 1u);
  Testbed().WithDevice(
      0, [](emulator::BootloaderDevice& device) { EXPECT_FALSE(device.InBootloader()); });
  EXPECT_EQ(Library().MPUSBGetDeviceCount(kDeviceIdentity), 0);
}

TEST_F(LibUsbOnUmockdev, DeniedAccessFailsTheOpenAndNamesTheUdevRule) {
  Testbed().AddDevice();
  Testbed().DenyAccess(0);
  const testsupport::WithoutPermissionOverride asUser;
  if (!asUser.Active()) {
    GTEST_SKIP() << "running as root and cannot give up the override of file permissions";
  }

  EXPECT_EQ(Library().MPUSBGetDeviceCount(kDeviceIdentity), 1);
  Packet packet;
  const PacketOutcome outcome = VersionQuery(packet);
  EXPECT_FALSE(outcome.sent);
  ASSERT_EQ(messages_.texts.size(), 2u);
  EXPECT_EQ(messages_.texts[0], "-1-1Failed to open data pipes.");
  const std::string& notice = messages_.texts[1];
  EXPECT_EQ(notice, AccessDeniedAdviceHere());
  // One plain sentence: no line break, no second sentence.
  EXPECT_TRUE(notice.ends_with('.')) << notice;
  EXPECT_EQ(notice.find(". "), std::string::npos) << notice;
  EXPECT_EQ(notice.find('\n'), std::string::npos) << notice;
  EXPECT_EQ(Library().TakeUserNotice(), "");

  EXPECT_EQ(Library().MPUSBOpen(0, kDeviceIdentity, kPipeName, 0, 0), kInvalidPipe);
  EXPECT_EQ(Library().GetLastError(), kErrorAccessDenied);
  EXPECT_EQ(Library().TakeUserNotice(), notice);
  EXPECT_EQ(Testbed().RequestsReceived(0), 0u);
}

TEST_F(LibUsbOnUmockdev, TransfersFollowTheEndpointType) {
  Testbed().AddDevice(EmulatedDeviceOptions{.endpoints = EndpointKind::Interrupt});
  Packet packet;
  EXPECT_EQ(VersionQuery(packet).result, ExchangeResult::Complete);
  EXPECT_EQ(packet.reply[3], 1);
  EXPECT_GE(Testbed().Transfers(0).interrupt, 2u);
  EXPECT_EQ(Testbed().Transfers(0).bulk, 0u);
}

TEST_F(LibUsbOnUmockdev, BulkEndpointsGetBulkTransfers) {
  Testbed().AddDevice();
  Packet packet;
  EXPECT_EQ(VersionQuery(packet).result, ExchangeResult::Complete);
  EXPECT_GE(Testbed().Transfers(0).bulk, 2u);
  EXPECT_EQ(Testbed().Transfers(0).interrupt, 0u);
}

TEST_F(LibUsbOnUmockdev, AChildProcessReachesTheDeviceOfItsParent) {
  const std::string program = KORVANE_BINARY_DIR "/bin/korvane_umockdev_bracket_timing";
  const auto none = Testbed().RunChild({program, "--once"}, std::chrono::seconds(60));
  EXPECT_EQ(none.exitCode, 1) << none.out << none.err;
  EXPECT_NE(none.out.find("no bootloader answered"), std::string::npos) << none.out;

  Testbed().AddDevice();
  Testbed().WithDevice(0, [](emulator::BootloaderDevice& device) { device.SetVersion(3, 0x45); });
  const auto child = Testbed().RunChild({program, "--once"}, std::chrono::seconds(60));
  EXPECT_FALSE(child.timedOut);
  EXPECT_EQ(child.exitCode, 0) << child.out << child.err;
  EXPECT_EQ(child.out, "bootloader version 3.4.5\n") << child.err;
  EXPECT_EQ(Testbed().RequestsReceived(0), 1u);
}

// libusb that cannot start (here: no file descriptor left for its event handling) leaves the
// tool as with no device attached, and the user is told once.
TEST(LibUsbStart, AFailedStartIsToldOnceAndCountsNoDevice) {
  std::fflush(nullptr);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    {
      // In a sanitizer build the first type check on a class needs a pipe: let it happen
      // while descriptors are still free.
      const LibUsbLibrary warmUp;
      (void)warmUp.OpenPipeCount();
    }
    const int lowestFree = dup(0);
    close(lowestFree);
    const rlimit limit{static_cast<rlim_t>(lowestFree), static_cast<rlim_t>(lowestFree)};
    setrlimit(RLIMIT_NOFILE, &limit);
    int failures = 0;
    LibUsbLibrary first;
    failures += first.MPUSBGetDeviceCount(kDeviceIdentity) != 0;
    const std::string notice = first.TakeUserNotice();
    failures += notice.find("could not be started") == std::string::npos;
    failures += first.MPUSBOpen(0, kDeviceIdentity, kPipeName, 0, 0) != kInvalidPipe;
    failures += first.TakeUserNotice() != "";
    LibUsbLibrary second;
    failures += second.MPUSBGetDeviceCount(kDeviceIdentity) != 0;
    failures += second.TakeUserNotice() != "";
    std::fprintf(stderr, "notice: %s\n", notice.c_str());
    _exit(failures);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "checks failed in the child";
}

}  // namespace
}  // namespace korvane::link
