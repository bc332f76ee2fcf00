// Input that was queued for a window before a handler hid or changed it reaches its handler
// while that handler still runs: in the update run's event pass after every packet, in the
// scrambled file's event pass, and while a message box is open. Such clicks are ignored, and an
// unload waits until the running handler has returned.

#include "app/Texts.h"
#include "image/UpdateFileLoader.h"
#include "tests/app/AppTestSupport.h"

namespace korvane::app::test {
namespace {

class QueuedInputTest : public ::testing::Test {
 protected:
  void SetUp() override {
    file_ = folder_.Write("firmware.hex", FirmwareHex(0x0FFF, true));
    f_.Open(file_);
    f_.Detect();
    ASSERT_TRUE(f_.Main()[MainControl::OK].enabled);
  }

  // Packets of one whole run of the file with FLASH checked: 32 erases, 128 writes, 37 reads.
  static constexpr std::uint32_t kRunPackets = 32 + 128 + 37;

  TempFolder folder_;
  std::string file_;
  AppFixture f_;
};

// A second "Data Update" nested a second run, a queued "Auto Detect..." cleared an Abort that had
// been clicked, a queued "Reset PIC" reset the device mid-update; Open and About would open a
// dialog and a window over the running update.
TEST_F(QueuedInputTest, MainWindowClicksDuringTheRunAreIgnored) {
  const std::vector<std::pair<const char*, void (Application::*)()>> clicks = {
      {"Data Update", &Application::OK_Click},
      {"Auto Detect...", &Application::AutoDetectCmd_Click},
      {"Reset PIC", &Application::ResetPIC_Click},
      {"Open...", &Application::mnu_Open_Click},
      {"AboutKorvane", &Application::mnu_About_Click},
  };
  for (const auto& [name, click] : clicks) {
    SCOPED_TRACE(name);
    const std::uint32_t before = f_.device->PacketsBegun();
    const std::size_t dialogs = f_.ui.dialogs.size();
    int passes = 0;
    f_.ui.onEvents = [&, click = click] {
      if (++passes == 10) {
        (f_.app.get()->*click)();
      }
    };
    f_.app->OK_Click();
    f_.ui.onEvents = nullptr;
    EXPECT_EQ(f_.device->PacketsBegun() - before, kRunPackets);
    EXPECT_TRUE(f_.device->Device().InBootloader());
    EXPECT_EQ(f_.ui.dialogs.size(), dialogs);
    EXPECT_TRUE(f_.ui.infos.empty());
    EXPECT_EQ(f_.ui.Complete().Text(CompleteControl::Label1), "The update was successful.");
    f_.app->UpdatingComplete_OKCmd_Click();
    f_.Detect();
  }
}

TEST_F(QueuedInputTest, AnAbortStaysClickedWhenAQueuedSearchFollows) {
  const std::uint32_t before = f_.device->PacketsBegun();
  int passes = 0;
  f_.ui.onEvents = [&] {
    ++passes;
    if (passes == 10) {
      f_.app->Updating_AbortCmd_Click();
      f_.app->AutoDetectCmd_Click();
    }
  };
  f_.app->OK_Click();
  EXPECT_EQ(f_.device->PacketsBegun() - before, 10u);
  EXPECT_EQ(f_.ui.Complete().Text(CompleteControl::Label1), "The update was not successful.");
  EXPECT_EQ(f_.ui.autoDetects.size(), 1u);  // only the search before the run
}

// Closing the main window while a scrambled file is decoded: the load goes on to its report box,
// which needs a window that is still there and showing; the application ends afterwards.
TEST_F(QueuedInputTest, ClosingDuringTheScrambledFilesEventPassWaitsForTheLoad) {
  const std::string text = cli::test::HexRecord(3, 0, {1, 2, 3, 4}) + FirmwareHex(0x0FFF, false);
  const std::string scrambled = folder_.Write("typed.elc", image::Scramble(text));
  f_.ui.boxes.clear();
  f_.ui.onEvents = [&] { f_.app->Form_Unload(); };
  f_.Open(scrambled);
  ASSERT_FALSE(f_.ui.boxes.empty());
  for (const Box& box : f_.ui.boxes) {
    EXPECT_TRUE(box.ownerShowing) << box.text;
  }
  EXPECT_EQ(f_.ui.boxes[0].text, "## Error in Hex-File, type: 3");
  EXPECT_TRUE(f_.app->Ended());
  EXPECT_FALSE(f_.Main().loaded);
  EXPECT_EQ(f_.ui.quits, 1);
}

// The same for the run: closing (here through a reset that ends the application, as a queued
// "Reset PIC" with Repeate unchecked would) stops the run after its packet, shows no result
// window, and ends once the run has returned.
TEST_F(QueuedInputTest, AnUnloadDuringTheRunStopsItAndEndsAfterwards) {
  const std::uint32_t before = f_.device->PacketsBegun();
  int passes = 0;
  f_.ui.onEvents = [&] {
    if (++passes == 3) {
      f_.app->Form_Unload();
      EXPECT_FALSE(f_.app->Ended());  // not while the run is still going
      EXPECT_NE(f_.app->Updating(), nullptr);
    }
  };
  f_.app->OK_Click();
  EXPECT_EQ(f_.device->PacketsBegun() - before, 3u);
  EXPECT_TRUE(f_.app->Ended());
  EXPECT_TRUE(f_.ui.completes.empty());
  EXPECT_FALSE(f_.ui.Updating().loaded);
  EXPECT_EQ(f_.ui.quits, 1);
}

// A link message box is open during the search; clicks queued behind it are ignored too.
TEST_F(QueuedInputTest, ClicksWhileALinkMessageIsOpenAreIgnored) {
  emulator::Fault fail;
  fail.kind = emulator::FaultKind::OpenFail;
  fail.packetIndex = f_.device->PacketsBegun();
  f_.device->AddFault(fail);
  const std::uint32_t before = f_.device->PacketsBegun();
  f_.ui.onBox = [&] {
    f_.app->ResetPIC_Click();
    f_.app->OK_Click();
    f_.app->AutoDetect_OKCmd_Click();
  };
  f_.app->AutoDetectCmd_Click();
  EXPECT_EQ(f_.ui.boxes.size(), 1u);
  EXPECT_EQ(f_.device->PacketsBegun() - before, 1u);
  EXPECT_TRUE(f_.device->Device().InBootloader());
  EXPECT_TRUE(f_.ui.updatings.empty());
  // The search finished and shows its outcome with its OK button.
  EXPECT_TRUE(f_.ui.AutoDetect().loaded);
  EXPECT_EQ(f_.ui.AutoDetect().Text(AutoDetectControl::Label1), text::kNotConnected);
}

}  // namespace
}  // namespace korvane::app::test
