// The bench and the board's run without a program around them: faults for the emulated
// devices, waiting for a device, the names of several boards' backups, a verify that never
// writes, and the hash the production record names files and images by.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "emulator/EmulatedUsbLibrary.h"
#include "link/BootloaderPacket.h"
#include "station/Bench.h"
#include "station/Board.h"
#include "station/Session.h"
#include "station/Sha256.h"

namespace korvane::station {
namespace {

TEST(StationFaults, KindAtIndexParsesAndNothingElseDoes) {
  const auto fault = ParseFault("long-count@42");
  ASSERT_TRUE(fault.has_value());
  EXPECT_EQ(fault->fault.kind, emulator::FaultKind::LongCount);
  EXPECT_EQ(fault->fault.packetIndex, 42u);
  EXPECT_FALSE(fault->device.has_value());
  EXPECT_EQ(ParseFault("write-error@0")->fault.kind, emulator::FaultKind::WriteError);
  EXPECT_EQ(ParseFault("arrive@7")->fault.kind, emulator::FaultKind::Arrival);
  // Bound to one emulated device.
  const auto bound = ParseFault("1:timeout@5");
  ASSERT_TRUE(bound.has_value());
  EXPECT_EQ(bound->device, 1);
  EXPECT_EQ(bound->fault.kind, emulator::FaultKind::Timeout);
  EXPECT_EQ(bound->fault.packetIndex, 5u);
  for (const char* bad :
       {"", "timeout", "@3", "timeout@", "timeout@3x", "timeout@-1", "Timeout@1",
        "timeout@99999999999", "flood@1", ":timeout@1", "x:timeout@1", "-1:timeout@1"}) {
    EXPECT_FALSE(ParseFault(bad).has_value()) << bad;
  }
}

// A bench whose device appears after a number of looks and whose opens are refused a number
// of times, as right after a device was plugged in.
class ScriptedBench final : public DeviceBench {
 public:
  int absentLooks = 0;   // List() finds nothing this many times
  int refusedOpens = 0;  // ProbeOpen() answers "access denied" this many times
  int looks = 0;
  int probes = 0;
  std::vector<link::AttachedDevice> devices{{0, "1-1"}, {1, "1-2"}};

  std::vector<link::AttachedDevice> List() override {
    return looks++ < absentLooks ? std::vector<link::AttachedDevice>{} : devices;
  }
  DeviceTarget Target(const std::optional<link::AttachedDevice>&) override { return {}; }
  void WaitForChange(std::chrono::milliseconds) override {}
  std::vector<std::string> Diagnostics() override { return {}; }
  std::string LibraryName() const override { return "scripted"; }
  std::uint32_t ProbeOpen(const link::AttachedDevice&) override {
    return probes++ < refusedOpens ? link::kErrorAccessDenied : 0;
  }
};

TEST(StationWait, WaitsForTheSelectedDeviceAndRetriesARefusedOpenForAWhile) {
  struct Case {
    std::string selector;
    int absentLooks;
    int refusedOpens;
    std::optional<std::string> found;
    int probes;  // opens tried
  };
  const std::vector<Case> cases = {
      {"", 0, 0, "1-1", 1},           {"", 5, 0, "1-1", 1},  // found on the sixth look
      {"1-2", 3, 0, "1-2", 1},                               // by place
      {"1", 0, 0, "1-2", 1},                                 // by instance
      {"", 0, 3, "1-1", 4},                                  // refused three times, then opened
      {"2-7", 0, 0, std::nullopt, 0},
  };
  for (const Case& c : cases) {
    ScriptedBench bench;
    bench.absentLooks = c.absentLooks;
    bench.refusedOpens = c.refusedOpens;
    const auto device = bench.WaitFor(ParseDeviceSelector(c.selector),
                                      std::chrono::milliseconds(c.found ? 60000 : 0), {});
    ASSERT_EQ(device.has_value(), c.found.has_value()) << c.selector;
    if (device) {
      EXPECT_EQ(device->location, *c.found) << c.selector;
    }
    EXPECT_EQ(bench.probes, c.probes) << c.selector;
  }

  // A refusal that lasts is reported in the end: the wait returns the device after its 2 s.
  ScriptedBench refusing;
  refusing.refusedOpens = 1000000;
  EXPECT_TRUE(refusing.WaitFor({}, std::nullopt, {}));
  EXPECT_LT(refusing.probes, 1000000);

  // Ctrl+C ends a wait for ever.
  ScriptedBench empty;
  empty.absentLooks = 1000000;
  int polls = 0;
  EXPECT_FALSE(empty.WaitFor({}, std::nullopt, [&polls] { return ++polls == 3; }));

  // Ctrl+C while a found device is still refusing opens: it is not handed over.
  ScriptedBench settling;
  settling.refusedOpens = 1000000;
  bool pressed = false;
  EXPECT_FALSE(settling.WaitFor({}, std::nullopt, [&] {
    pressed = pressed || settling.probes >= 3;
    return pressed;
  }));
}

// No --expect, a wait shorter than the 2 s a fixture is given to settle: the devices there when
// the time is up are taken, and the list is looked at at least once.
TEST(StationWait, AllDevicesSettleForAtMostTheTimeLeft) {
  for (const int waitMs : {0, 300}) {
    ScriptedBench bench;
    const auto devices = bench.WaitForDevices(std::nullopt, std::chrono::milliseconds(waitMs), {});
    ASSERT_TRUE(devices.has_value()) << waitMs;
    EXPECT_EQ(devices->size(), 2u);
    EXPECT_GE(bench.looks, 1);
  }
  ScriptedBench empty;
  empty.absentLooks = 1000000;
  EXPECT_FALSE(empty.WaitForDevices(std::nullopt, std::chrono::milliseconds(0), {}));
}

TEST(StationBackupNames, EveryBoardAndEveryStartGetsANameOfItsOwn) {
  using namespace std::chrono;
  const system_clock::time_point morning = sys_days{2026y / 12 / 7} + hours(10) + minutes(45);
  EXPECT_EQ(BackupNameFor("before.hex", "1-3", 2, morning), "before-1-3-2-20261207T104500Z.hex");
  EXPECT_EQ(BackupNameFor("saved/before.hex", "instance 0", 1, morning),
            (std::filesystem::path("saved") / "before-instance-0-1-20261207T104500Z.hex").string());
  // A loop started again a second later meets no old name, even for the same count.
  EXPECT_NE(BackupNameFor("b.hex", "1-3", 1, morning),
            BackupNameFor("b.hex", "1-3", 1, morning + seconds(1)));
  EXPECT_EQ(BackupNameFor("", "1-3", 1, morning), "");
}

// Follows nothing: the tests look at the report.
using NoView = BoardView;

class Messages final : public link::LinkMessages {
 public:
  void ShowLinkMessage(std::string_view) override {}
};

TEST(StationVerify, ComparesWithoutWritingAndCountsEveryDifference) {
  image::MemoryImage image;
  image.Clear();
  for (std::size_t a = 0x800; a <= 0x9FF; ++a) {
    image.FlashImage[a] = static_cast<std::uint8_t>(a * 5);
  }
  image.HighestFlashAddress = 0x9FF;
  image.EepromImage[7] = 0x42;

  emulator::EmulatedUsbLibrary usb;
  Messages messages;
  NoView view;
  const auto run = [&](BoardAction action) {
    BoardJob job;
    job.action = action;
    job.image = &image;
    job.eeprom = true;
    DeviceTarget target;
    target.library = &usb;
    return RunBoard(std::move(target), job, messages, nullptr, view, update::StopToken());
  };
  ASSERT_EQ(run(BoardAction::Update).verdict, Verdict::Success);
  const std::uint32_t written = usb.Device().ErasesAndWrites();

  const BoardReport match = run(BoardAction::Verify);
  EXPECT_EQ(match.verdict, Verdict::Success);
  EXPECT_EQ(match.result, BoardResult::Matches);

  // Two program bytes and one EEPROM byte changed behind the file's back; the boot block and
  // the flash above the file's highest address are not compared.
  usb.Device().MutableFlash()[0x900] ^= 0xFF;
  usb.Device().MutableFlash()[0x9FF] ^= 0x01;
  usb.Device().MutableFlash()[0xA00] ^= 0xFF;
  usb.Device().MutableFlash()[0x100] ^= 0xFF;
  usb.Device().MutableEeprom()[7] = 0;
  const BoardReport differs = run(BoardAction::Verify);
  EXPECT_EQ(differs.verdict, Verdict::Failed);
  EXPECT_EQ(differs.result, BoardResult::DoesNotMatch);
  EXPECT_EQ(differs.differing, 3u);
  EXPECT_EQ(differs.outcome.mismatchAddress, 0x900);
  EXPECT_NE(differs.reason.find("0x0900"), std::string::npos) << differs.reason;
  EXPECT_NE(differs.reason.find("3 bytes differ"), std::string::npos) << differs.reason;

  EXPECT_EQ(usb.Device().ErasesAndWrites(), written);
}

// A name made for one of several boards that a file has taken meanwhile (a loop restarted
// within the second, say) gets a number added; a name the user chose is never taken over.
TEST(StationBackupNames, AMadeNameThatIsTakenGetsANumberAndNeverFailsTheBoard) {
  const std::filesystem::path folder = std::filesystem::temp_directory_path() /
                                       ("korvane-station-" + std::to_string(platform::ProcessId()));
  std::filesystem::create_directories(folder);
  const std::string taken = platform::Utf8FromPath(folder / "before-1-1-1-20261207T104500Z.hex");
  platform::WriteFileAtomically(taken, std::string_view("an earlier board"),
                                platform::Replace::Never);
  platform::WriteFileAtomically(
      platform::Utf8FromPath(folder / "before-1-1-1-20261207T104500Z-2.hex"),
      std::string_view("another"), platform::Replace::Never);
  emulator::EmulatedUsbLibrary usb;
  Messages messages;
  NoView view;
  const auto backUp = [&](bool made) {
    BoardJob job;
    job.action = BoardAction::Backup;
    job.backupFile = taken;
    job.backupNameMade = made;
    DeviceTarget target;
    target.library = &usb;
    return RunBoard(std::move(target), job, messages, nullptr, view, update::StopToken());
  };
  const BoardReport made = backUp(true);
  EXPECT_EQ(made.verdict, Verdict::Success) << made.reason;
  EXPECT_EQ(made.backupWritten,
            platform::Utf8FromPath(folder / "before-1-1-1-20261207T104500Z-3.hex"));
  const BoardReport chosen = backUp(false);
  EXPECT_EQ(chosen.verdict, Verdict::FileProblem);
  EXPECT_TRUE(chosen.backupWritten.empty());
  EXPECT_EQ(platform::ReadFile(taken), "an earlier board");
  std::filesystem::remove_all(folder);
}

// Sets an environment variable of this process ("" removes it).
void SetEnvironment(const char* name, const std::string& value) {
#ifdef _WIN32
  _putenv_s(name, value.c_str());
#else
  if (value.empty()) {
    unsetenv(name);
  } else {
    setenv(name, value.c_str(), 1);
  }
#endif
}

// The windows' library: a packet goes out only under the device's lock.
TEST(StationLocks, TheWindowsLibrarySendsNothingToADeviceAnotherRunHolds) {
  const std::filesystem::path folder = std::filesystem::temp_directory_path() /
                                       ("korvane-locks-" + std::to_string(platform::ProcessId()));
  std::filesystem::create_directories(folder);
  SetEnvironment("KORVANE_LOCK_DIR", platform::Utf8FromPath(folder));
  auto emulated = std::make_unique<emulator::EmulatedUsbLibrary>();
  emulator::EmulatedUsbLibrary& device = *emulated;
  device.SetRecording(true);
  const std::unique_ptr<link::UsbLibrary> library = WithDeviceLocks(std::move(emulated));
  class Shown final : public link::LinkMessages {
   public:
    void ShowLinkMessage(std::string_view text) override { texts += std::string(text) + "\n"; }
    std::string texts;
  } shown;
  link::UsbPipeLink link(*library, shown);
  const auto query = [&link] {
    link::PacketBuffer request{};
    link::PacketBuffer reply{};
    std::int32_t replyLength = link::kVersionReplyLength;
    return link.SendPacket(request, link::BuildVersionQuery(request), reply, replyLength).sent;
  };
  {
    const auto held =
        platform::FileLock::TryLock(platform::Utf8FromPath(folder / "korvane-usb-instance-0.lock"));
    ASSERT_TRUE(held.has_value());
    EXPECT_FALSE(query());
    EXPECT_TRUE(device.Recorded().empty());
    EXPECT_NE(shown.texts.find("Failed to open data pipes.\nThe device is in use by another "
                               "Korvane run (process " +
                               std::to_string(platform::ProcessId()) + ")"),
              std::string::npos)
        << shown.texts;
  }
  EXPECT_TRUE(query());
  EXPECT_EQ(device.Recorded().size(), 1u);
  SetEnvironment("KORVANE_LOCK_DIR", "");
  std::filesystem::remove_all(folder);
}

TEST(StationSha256, KnownDigests) {
  EXPECT_EQ(Sha256Hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(Sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(Sha256Hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  // Fed in pieces that straddle blocks, the digest is the same.
  Sha256 pieces;
  const std::string million(1000000, 'a');
  for (std::size_t at = 0; at < million.size(); at += 997) {
    pieces.Add(std::string_view(million).substr(at, 997));
  }
  EXPECT_EQ(pieces.HexDigest(), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

}  // namespace
}  // namespace korvane::station
