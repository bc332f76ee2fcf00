// The pieces of korvane-cli's output that the end-to-end tests cannot reach easily: JSON string
// escaping, fault parsing and the progress bar a terminal gets.

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "cli/DeviceSession.h"
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

TEST(CliProgress, TerminalGetsOneRedrawnBarLinePerStage) {
  image::MemoryImage image;
  image.Clear();
  for (std::size_t a = 0x800; a < 0x1000; ++a) {
    image.FlashImage[a] = static_cast<std::uint8_t>(a);
  }
  image.HighestFlashAddress = 0xFFF;

  emulator::EmulatedUsbLibrary device;
  std::ostringstream messagesText;
  StreamLinkMessages messages(messagesText);
  link::UsbPipeLink pipeLink(device, messages);
  std::ostringstream out;
  bool abortRequested = false;
  ProgressPrinter printer(out, true, abortRequested);
  const update::UpdateOutcome outcome = update::RunUpdate(
      image, pipeLink, {[] { return true; }, [] { return false; }}, abortRequested, printer);
  ASSERT_TRUE(outcome.success);

  const std::string text = out.str();
  // Three stage lines and the outcome, each redrawn in place with carriage returns. A stage's
  // line ends at its last block's start: 0xFC0, 0xFF0 and 0xFE0 of 0xFFF.
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    lines.push_back(line);
  ASSERT_EQ(lines.size(), 4u) << text;
  EXPECT_EQ(lines[3], "The update was successful.");
  const char* stages[] = {"Erasing Flash...", "Writing program data...", "Verify program data..."};
  const char* percents[] = {"]  98% ", "]  99% ", "]  99% "};
  for (int i = 0; i < 3; ++i) {
    EXPECT_GT(std::count(lines[i].begin(), lines[i].end(), '\r'), 1) << lines[i];
    const std::string last = lines[i].substr(lines[i].rfind('\r') + 1);
    EXPECT_EQ(last.rfind(stages[i], 0), 0u) << last;
    EXPECT_NE(last.find(percents[i]), std::string::npos) << last;
    EXPECT_NE(last.find(" s"), std::string::npos) << last;
  }
  EXPECT_EQ(messagesText.str(), "");
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

}  // namespace
}  // namespace korvane::cli
