// The pieces of korvane-cli's output that the end-to-end tests cannot reach easily: JSON string
// escaping and the progress bar a terminal gets.

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <sstream>
#include <string>

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

// Ctrl+C pressed during packet N stops the run after it; pressed before the run (during the
// version query, the backup or the serial number's claim) it lets no packet out.
TEST(CliProgress, InterruptStopsTheRunAfterThePacketInFlightAndBeforeTheFirst) {
  image::MemoryImage image;
  image.Clear();
  image.HighestFlashAddress = 0x7FFF;
  for (const std::uint32_t pressedAt : {3u, 0u}) {
    for (const bool quiet : {false, true}) {
      emulator::EmulatedUsbLibrary device;
      std::ostringstream ignored;
      StreamLinkMessages messages(ignored);
      link::UsbPipeLink pipeLink(device, messages);
      std::ostringstream out;
      bool abortRequested = false;
      const auto interrupted = [&device, pressedAt] { return device.PacketsBegun() >= pressedAt; };
      std::unique_ptr<RunView> view;
      if (quiet) {
        view = std::make_unique<QuietView>(abortRequested, interrupted);
      } else {
        view = std::make_unique<ProgressPrinter>(out, false, abortRequested, interrupted);
      }
      const update::UpdateOutcome outcome = update::RunUpdate(
          image, pipeLink, {[] { return true; }, [] { return true; }}, abortRequested, *view);
      EXPECT_EQ(outcome.failure, update::Failure::Aborted) << pressedAt;
      EXPECT_EQ(outcome.packetsSent, pressedAt);
      EXPECT_EQ(device.PacketsBegun(), pressedAt);
      EXPECT_EQ(out.str(), quiet ? "" : "Erasing Flash...\nThe update was not successful.\n");
    }
  }
}

}  // namespace
}  // namespace korvane::cli
