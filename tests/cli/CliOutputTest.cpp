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

// The link's messages, one a line.
class StreamLinkMessages final : public link::LinkMessages {
 public:
  explicit StreamLinkMessages(std::ostream& out) : out_(out) {}
  void ShowLinkMessage(std::string_view text) override { out_ << text << '\n'; }

 private:
  std::ostream& out_;
};

TEST(CliJson, LinesAlwaysParseAndKeepTheirFixedDecimals) {
  // A file name from another system may hold bytes that are not UTF-8: the line still parses,
  // with U+FFFD in their place, and valid UTF-8 passes unchanged.
  const std::string names[] = {
      "Gr\xC3\xBC\xC3\x9F"
      "e \xE2\x82\xAC\"\\\t",
      "bad\xFFz", "cut\xE2\x82", "\xC0\xAF", "\xED\xA0\x80"};
  for (const std::string& name : names) {
    const std::string line = JsonFields().Add("file", name).AddFixed("percent", 100, 2).Object();
    const Json parsed = Json::parse(line);
    const std::string back = parsed.at("file").get<std::string>();
    if (name.front() == 'G') {
      EXPECT_EQ(back, name);
    } else {
      EXPECT_NE(back.find("\xEF\xBF\xBD"), std::string::npos) << line;
    }
    EXPECT_NE(line.find("\"percent\":100.00}"), std::string::npos) << line;
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
    ProgressPrinter printer(out, true);
    const update::UpdateOutcome outcome = update::RunUpdate(
        image, pipeLink, {[] { return true; }, [] { return false; }}, update::StopToken(), printer);
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
    emulator::EmulatedUsbLibrary device;
    std::ostringstream ignored;
    StreamLinkMessages messages(ignored);
    link::UsbPipeLink pipeLink(device, messages);
    std::ostringstream out;
    const auto interrupted = [&device, pressedAt] { return device.PacketsBegun() >= pressedAt; };
    ProgressPrinter printer(out, false);
    const update::UpdateOutcome outcome =
        update::RunUpdate(image, pipeLink, {[] { return true; }, [] { return true; }},
                          update::StopToken(interrupted), printer);
    EXPECT_EQ(outcome.failure, update::Failure::Aborted) << pressedAt;
    EXPECT_EQ(outcome.packetsSent, pressedAt);
    EXPECT_EQ(device.PacketsBegun(), pressedAt);
    EXPECT_EQ(out.str(), "Erasing Flash...\nThe update was not successful.\n");
  }
}

}  // namespace
}  // namespace korvane::cli
