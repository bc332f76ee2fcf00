// The bench and the board's run without a program around them: faults for the emulated
// devices, waiting for a device, and the names of several boards' backups.

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "station/Bench.h"
#include "station/Board.h"
#include "station/Session.h"

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

TEST(StationBackupNames, EveryBoardAndEveryStartGetsANameOfItsOwn) {
  using namespace std::chrono;
  const system_clock::time_point morning = sys_days{2026y / 12 / 7} + hours(10) + minutes(45);
  EXPECT_EQ(BackupNameFor("before.hex", "1-3", 2, morning), "before-1-3-2-20261207T104500Z.hex");
  EXPECT_EQ(BackupNameFor("saved/before.hex", "instance 0", 1, morning),
            "saved/before-instance-0-1-20261207T104500Z.hex");
  // A loop started again a second later meets no old name, even for the same count.
  EXPECT_NE(BackupNameFor("b.hex", "1-3", 1, morning),
            BackupNameFor("b.hex", "1-3", 1, morning + seconds(1)));
  EXPECT_EQ(BackupNameFor("", "1-3", 1, morning), "");
}

}  // namespace
}  // namespace korvane::station
