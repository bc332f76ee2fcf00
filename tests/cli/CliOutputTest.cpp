// The pieces of korvane-cli's output that the end-to-end tests cannot reach easily: JSON string
// escaping, fault parsing and the progress bar a terminal gets.

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <sstream>
#include <string>

#include "cli/DeviceSession.h"
#include "cli/Devices.h"
#include "cli/Output.h"
#include "cli/ProgressPrinter.h"
#include "emulator/EmulatedUsbLibrary.h"
#include "link/UsbPipeLink.h"
#include "update/UpdateRun.h"

namespace korvane::cli {
namespace {

TEST(CliJson, StringsAreEscapedAndAlwaysValid) {
  EXPECT_EQ(JsonString("plain.hex"), "\"plain.hex\"");
  EXPECT_EQ(JsonString("a\"b\\c"), "\"a\\\"b\\\\c\"");
  EXPECT_EQ(JsonString("tab\there\nline\r"), "\"tab\\there\\nline\\r\"");
  EXPECT_EQ(JsonString(std::string("nul\0bell\x07", 9)), "\"nul\\u0000bell\\u0007\"");
  // Valid UTF-8 passes unchanged; stray bytes, overlong forms and surrogates do not.
  EXPECT_EQ(JsonString("Gr\xC3\xBC\xC3\x9F"
                       "e \xE2\x82\xAC"),
            "\"Gr\xC3\xBC\xC3\x9F"
            "e \xE2\x82\xAC\"");
  EXPECT_EQ(JsonString("bad\xFFz"), "\"bad\\uFFFDz\"");
  EXPECT_EQ(JsonString("cut\xE2\x82"), "\"cut\\uFFFD\\uFFFD\"");
  EXPECT_EQ(JsonString("\xC0\xAF"), "\"\\uFFFD\\uFFFD\"");
  EXPECT_EQ(JsonString("\xED\xA0\x80"), "\"\\uFFFD\\uFFFD\\uFFFD\"");
}

TEST(CliFaults, KindAtIndexParsesAndNothingElseDoes) {
  const auto fault = ParseFault("long-count@42");
  ASSERT_TRUE(fault.has_value());
  EXPECT_EQ(fault->kind, emulator::FaultKind::LongCount);
  EXPECT_EQ(fault->packetIndex, 42u);
  EXPECT_EQ(ParseFault("write-error@0")->kind, emulator::FaultKind::WriteError);
  EXPECT_EQ(ParseFault("open-fail@7")->kind, emulator::FaultKind::OpenFail);
  for (const char* bad : {"", "timeout", "@3", "timeout@", "timeout@3x", "timeout@-1", "Timeout@1",
                          "timeout@99999999999", "flood@1"}) {
    EXPECT_FALSE(ParseFault(bad).has_value()) << bad;
  }
}

TEST(CliProgress, TerminalGetsOneRedrawnBarLinePerStageAndAFinishedStageReads100) {
  image::MemoryImage image;
  image.Clear();
  for (std::size_t a = 0x800; a < 0x1000; ++a) {
    image.FlashImage[a] = static_cast<std::uint8_t>(a);
  }
  image.HighestFlashAddress = 0xFFF;

  struct Case {
    std::optional<emulator::Fault> fault;
    std::vector<std::string> lines;  // each line's text and its last percent; then the outcome
  };
  // The windows' arithmetic ends these stages at 98 %, 99 % and 99 %; a stage that ran to its
  // end reads 100 %. A bit flipped by the first write makes the verify fail at its first block.
  const std::vector<Case> cases = {
      {std::nullopt,
       {"Erasing Flash...|] 100% ", "Writing program data...|] 100% ",
        "Verify program data...|] 100% ", "The update was successful."}},
      {emulator::Fault{.kind = emulator::FaultKind::BitFlip, .packetIndex = 32},
       {"Erasing Flash...|] 100% ", "Writing program data...|] 100% ",
        "Verify program data...|]   0% ", "Error in program data found...",
        "The update was not successful."}},
  };
  for (const Case& c : cases) {
    emulator::EmulatedUsbLibrary device;
    if (c.fault) {
      device.AddFault(*c.fault);
    }
    std::ostringstream messagesText;
    StreamLinkMessages messages(messagesText);
    link::UsbPipeLink pipeLink(device, messages);
    std::ostringstream out;
    bool abortRequested = false;
    ProgressPrinter printer(out, true, abortRequested);
    const update::UpdateOutcome outcome = update::RunUpdate(
        image, pipeLink, {[] { return true; }, [] { return false; }}, abortRequested, printer);
    EXPECT_EQ(outcome.success, !c.fault);

    std::vector<std::string> lines;
    std::istringstream in(out.str());
    for (std::string line; std::getline(in, line);)
      lines.push_back(line);
    ASSERT_EQ(lines.size(), c.lines.size()) << out.str();
    for (std::size_t i = 0; i < lines.size(); ++i) {
      const std::size_t bar = c.lines[i].find('|');
      if (bar == std::string::npos) {
        EXPECT_EQ(lines[i], c.lines[i]);
        continue;
      }
      // Redrawn in place: the last drawing counts.
      EXPECT_GE(std::count(lines[i].begin(), lines[i].end(), '\r'), 1) << lines[i];
      const std::string last = lines[i].substr(lines[i].rfind('\r') + 1);
      EXPECT_EQ(last.rfind(c.lines[i].substr(0, bar), 0), 0u) << last;
      EXPECT_NE(last.find(c.lines[i].substr(bar + 1)), std::string::npos) << last;
      EXPECT_NE(last.find(" s"), std::string::npos) << last;
    }
    EXPECT_EQ(messagesText.str(), "");
  }
}

TEST(CliProgress, InterruptStopsTheRunAfterThePacketInFlight) {
  image::MemoryImage image;
  image.Clear();
  image.HighestFlashAddress = 0x7FFF;
  emulator::EmulatedUsbLibrary device;
  std::ostringstream ignored;
  StreamLinkMessages messages(ignored);
  link::UsbPipeLink pipeLink(device, messages);
  std::ostringstream out;
  bool abortRequested = false;
  int polls = 0;
  ProgressPrinter printer(out, false, abortRequested, [&polls] { return ++polls == 3; });
  const update::UpdateOutcome outcome = update::RunUpdate(
      image, pipeLink, {[] { return true; }, [] { return true; }}, abortRequested, printer);
  EXPECT_FALSE(outcome.success);
  EXPECT_EQ(outcome.failure, update::Failure::Aborted);
  EXPECT_EQ(outcome.packetsSent, 3u);
  EXPECT_EQ(out.str(), "Erasing Flash...\nThe update was not successful.\n");
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
  std::uint32_t ProbeOpen(const link::AttachedDevice&) override {
    return probes++ < refusedOpens ? link::kErrorAccessDenied : 0;
  }
};

TEST(CliWait, WaitsForTheSelectedDeviceAndRetriesARefusedOpenForAWhile) {
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
}

}  // namespace
}  // namespace korvane::cli
