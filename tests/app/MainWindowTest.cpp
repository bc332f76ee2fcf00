// The main window and the search window: start-up, opening files, detection, reset, the check
// marks and closing the application.

#include "app/Texts.h"
#include "image/UpdateFileLoader.h"
#include "tests/app/AppTestSupport.h"

namespace korvane::app::test {
namespace {

using C = MainControl;
using S = AutoDetectControl;

constexpr MenuCommand kCheckItems[] = {MenuCommand::FLASH, MenuCommand::EEDATA, MenuCommand::CONFIG,
                                       MenuCommand::USERID, MenuCommand::Repeate};

class MainWindowTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    folder_ = std::make_unique<TempFolder>();
    plain_ = folder_->Write("device.hex", FirmwareHex(0x0FFF, false));
    second_ = folder_->Write("second.HEX", FirmwareHex(0x0BFF, true, 7));
    scrambled_ = folder_->Write("device.elc", image::Scramble(FirmwareHex(0x0FFF, false)));
  }
  static void TearDownTestSuite() { folder_.reset(); }

  static std::unique_ptr<TempFolder> folder_;
  static std::string plain_;      // program bytes 0x800 to 0x0FFF
  static std::string second_;     // different bytes, EEPROM too
  static std::string scrambled_;  // the first file's text scrambled
};
std::unique_ptr<TempFolder> MainWindowTest::folder_;
std::string MainWindowTest::plain_;
std::string MainWindowTest::second_;
std::string MainWindowTest::scrambled_;

TEST_F(MainWindowTest, StartUpShowsTheInitialStates) {
  AppFixture f;
  FakeMain& m = f.Main();
  EXPECT_TRUE(m.IsVisible());
  EXPECT_FALSE(m[C::OK].enabled);
  EXPECT_FALSE(m[C::ResetPIC].enabled);
  EXPECT_TRUE(m[C::AutoDetectCmd].enabled);
  EXPECT_EQ(m.Text(C::Label1), "Update File not loaded!");
  EXPECT_EQ(m[C::Label1].colour, kRed);
  EXPECT_TRUE(m[C::Label1].bold);
  EXPECT_EQ(m.Text(C::Label0),
            "- Select an Update-File\r\n"
            "- Connect your Dextrel product to an USB port\r\n"
            "   and press the \"Auto Detect...\" button.");
  EXPECT_EQ(m.focus, C::AutoDetectCmd);
  // FLASH and Repeate checked, the others not.
  for (const MenuCommand item : kCheckItems) {
    const bool designed = item == MenuCommand::FLASH || item == MenuCommand::Repeate;
    EXPECT_EQ(m.Checked(item), designed);
    EXPECT_EQ(f.app->Checked(item), designed);
  }
  // Centred on the work area (1280 x 1024) for the window's size (350 x 105).
  EXPECT_EQ(m.position, (ScreenPoint{640 - 175, 512 - 52}));
  EXPECT_FALSE(f.app->FileLoaded());
  EXPECT_FALSE(f.app->DeviceConnected());
  EXPECT_TRUE(f.ui.boxes.empty());
  // Nothing is sent at start-up.
  EXPECT_EQ(f.device->PacketsBegun(), 0u);
}

TEST_F(MainWindowTest, CheckItemsToggleAndChangeNothingElse) {
  AppFixture f;
  FakeMain& m = f.Main();
  for (const MenuCommand item : kCheckItems) {
    const bool before = f.app->Checked(item);
    f.app->OnMenu(item);
    EXPECT_EQ(f.app->Checked(item), !before);
    EXPECT_EQ(m.Checked(item), !before);
    f.app->OnMenu(item);
    EXPECT_EQ(f.app->Checked(item), before);
    EXPECT_EQ(m.Checked(item), before);
  }
  f.app->mnu_CONFIG_Click();
  f.app->mnu_USERID_Click();
  EXPECT_FALSE(m[C::OK].enabled);
  EXPECT_FALSE(m[C::ResetPIC].enabled);
  EXPECT_EQ(m.Text(C::Label0), text::kStartText);
  EXPECT_EQ(f.device->PacketsBegun(), 0u);
}

TEST_F(MainWindowTest, CancelledOpenDialogChangesNothing) {
  AppFixture f;
  FakeMain& m = f.Main();
  f.app->mnu_Open_Click();
  ASSERT_EQ(f.ui.dialogs.size(), 1u);
  EXPECT_EQ(f.ui.dialogs[0].title, "Open an Uploader-File");
  EXPECT_EQ(f.ui.dialogs[0].filterName, "Korvane-Files (*.HEX; *.ELC)");
  EXPECT_EQ(f.ui.dialogs[0].patterns, "*.hex;*.elc");
  EXPECT_TRUE(f.ui.dialogs[0].directory.empty());
  EXPECT_EQ(m.Text(C::Label1), text::kNotLoaded);
  EXPECT_EQ(m.Text(C::Label0), text::kStartText);
  EXPECT_FALSE(f.app->FileLoaded());

  // After a load, a cancel leaves the loaded file's state alone.
  f.Open(plain_);
  const std::string status = m.Text(C::Label1);
  const auto flash = f.app->Image().FlashImage;
  f.app->mnu_Open_Click();
  EXPECT_EQ(m.Text(C::Label1), status);
  EXPECT_EQ(m.Text(C::Label0), text::kFileOpenedText);
  EXPECT_TRUE(f.app->FileLoaded());
  EXPECT_EQ(f.app->Image().FlashImage, flash);
}

TEST_F(MainWindowTest, OpeningFilesBeforeAnyDetection) {
  AppFixture f;
  FakeMain& m = f.Main();
  f.Open(plain_);
  EXPECT_TRUE(f.app->FileLoaded());
  EXPECT_EQ(m.Text(C::Label1), image::ShortenPath(plain_, 40));
  EXPECT_EQ(m[C::Label1].colour, kGreen);
  EXPECT_TRUE(m[C::Label1].bold);
  EXPECT_EQ(m.Text(C::Label0),
            "- Connect your Dextrel product to an USB port\r\n"
            "   and press the \"Auto Detect...\" button.");
  EXPECT_FALSE(m[C::OK].enabled);
  EXPECT_EQ(f.app->Image().FlashImage[0x800], std::uint8_t(0x800 * 3 + 1));
  EXPECT_EQ(f.app->Image().HighestFlashAddress, 0x0FFF);

  // A second file replaces the image; the same rule applies.
  f.Open(second_);
  EXPECT_TRUE(f.app->FileLoaded());
  EXPECT_EQ(f.app->Image().FlashImage[0x800], std::uint8_t(0x800 * 3 + 7));
  EXPECT_EQ(f.app->Image().FlashImage[0xC00], std::uint8_t(0xFF));
  EXPECT_EQ(f.app->Image().EepromImage[0], std::uint8_t(7));
  EXPECT_FALSE(m[C::OK].enabled);

  // A scrambled file loads the same bytes as its plain text; while it is decoded, the status
  // line says so (an event pass paints it).
  std::string duringDecoding;
  f.ui.onEvents = [&] { duringDecoding = m.Text(C::Label1); };
  f.Open(scrambled_);
  f.ui.onEvents = nullptr;
  EXPECT_EQ(duringDecoding, "Please wait, file is loading..");
  EXPECT_EQ(f.app->Image().FlashImage[0xC00], std::uint8_t(0xC00 * 3 + 1));
  EXPECT_EQ(m[C::Label1].colour, kGreen);
  EXPECT_TRUE(f.ui.boxes.empty());
}

TEST_F(MainWindowTest, AFileThatCannotBeReadChangesNothing) {
  AppFixture f;
  FakeMain& m = f.Main();
  f.Open(folder_->PathOf("missing.hex"));
  ASSERT_EQ(f.ui.boxes.size(), 1u);
  EXPECT_NE(f.ui.boxes[0].text.find("missing.hex"), std::string::npos);
  EXPECT_EQ(f.ui.boxes[0].title, "USB_Korvane");
  EXPECT_FALSE(f.app->FileLoaded());
  EXPECT_EQ(m.Text(C::Label1), text::kNotLoaded);
  EXPECT_EQ(m[C::Label1].colour, kRed);
  EXPECT_EQ(m.Text(C::Label0), text::kStartText);

  // Also after a good file and a detection: "Data Update" keeps its state.
  f.Open(plain_);
  f.Detect();
  EXPECT_TRUE(m[C::OK].enabled);
  const std::string status = m.Text(C::Label1);
  f.Open(folder_->PathOf("gone.elc"));
  EXPECT_EQ(m.Text(C::Label1), status);
  EXPECT_EQ(m.Text(C::Label0), text::kReadyText);
  EXPECT_TRUE(m[C::OK].enabled);
  EXPECT_EQ(f.app->Image().FlashImage[0x800], std::uint8_t(0x800 * 3 + 1));
}

// An empty file, an unrelated one or one scrambled with another key stores nothing. "Data
// Update" must not stay armed for the emptied image: it would erase the application area, write
// 0xFF over it and call that a success.
TEST_F(MainWindowTest, AFileWithoutDataDisarmsDataUpdate) {
  const std::string wrongKey = folder_->Write("wrong-key.elc", [] {
    std::string text = FirmwareHex(0x0FFF, false);
    for (std::size_t i = 0; i < text.size(); ++i) {
      text[i] = static_cast<char>(text[i] ^ "918273645501"[i % 12]);
    }
    return text;
  }());
  for (const std::string& file : {folder_->Write("empty.hex", ""),
                                  folder_->Write("notes.hex", "firmware notes\r\n"), wrongKey}) {
    AppFixture f;
    FakeMain& m = f.Main();
    f.Open(plain_);
    f.Detect();
    ASSERT_TRUE(m[C::OK].enabled);
    f.ui.boxes.clear();

    f.Open(file);
    EXPECT_FALSE(f.app->FileLoaded()) << file;
    EXPECT_FALSE(m[C::OK].enabled) << file;
    EXPECT_EQ(m.Text(C::Label1), "Update File not loaded!") << file;
    EXPECT_EQ(m[C::Label1].colour, kRed) << file;
    EXPECT_EQ(m.Text(C::Label0), text::kDeviceFoundText) << file;
    // The loader's own report that the file held no data is still shown.
    ASSERT_FALSE(f.ui.boxes.empty()) << file;
    EXPECT_NE(f.ui.boxes.back().text.find("no data"), std::string::npos) << f.ui.boxes.back().text;

    // A file with data arms it again.
    f.Open(plain_);
    EXPECT_TRUE(f.app->FileLoaded());
    EXPECT_TRUE(m[C::OK].enabled);
  }
}

TEST_F(MainWindowTest, DetectionWithoutADevice) {
  AppFixture f;
  f.device->Unplug();
  FakeMain& m = f.Main();
  const ScreenPoint mainPos = m.position;
  f.app->AutoDetectCmd_Click();
  FakeAutoDetect& s = f.ui.AutoDetect();
  EXPECT_TRUE(s.IsVisible());
  EXPECT_FALSE(m.IsVisible());
  EXPECT_EQ(s.position, mainPos);
  EXPECT_EQ(s.Text(S::Label1), "not connected.");
  EXPECT_EQ(s.Text(S::Label2), "Unable to find an Dextrel device.");
  EXPECT_TRUE(s[S::OKCmd].visible);
  EXPECT_FALSE(s[S::AbortCmd].visible);
  EXPECT_EQ(s.focus, S::OKCmd);
  EXPECT_FALSE(m[C::OK].enabled);
  EXPECT_FALSE(m[C::ResetPIC].enabled);
  EXPECT_FALSE(f.app->DeviceConnected());
  EXPECT_TRUE(f.ui.boxes.empty());

  // OK brings the main window back where it was, even when the search window was moved.
  s.position = {mainPos.x + 120, mainPos.y + 80};
  f.app->AutoDetect_OKCmd_Click();
  EXPECT_FALSE(s.loaded);
  EXPECT_EQ(f.app->AutoDetect(), nullptr);
  EXPECT_TRUE(m.IsVisible());
  EXPECT_EQ(m.position, mainPos);
}

TEST_F(MainWindowTest, DetectionWithADeviceBeforeAndAfterAFile) {
  AppFixture f;
  FakeMain& m = f.Main();
  f.app->AutoDetectCmd_Click();
  FakeAutoDetect& s = f.ui.AutoDetect();
  EXPECT_EQ(s.Text(S::Label1), "Successfully connected to USB");
  // Version 1.12: major from byte 3, then the two digits of byte 2.
  EXPECT_EQ(s.Text(S::Label2), "USB-Bootloader  1. 1 2 detected ");
  EXPECT_TRUE(f.app->DeviceConnected());
  EXPECT_TRUE(m[C::ResetPIC].enabled);
  EXPECT_FALSE(m[C::OK].enabled);
  EXPECT_EQ(m.Text(C::Label0), "- Select an Update-File");
  f.app->AutoDetect_OKCmd_Click();

  // Opening a file now enables "Data Update".
  f.Open(plain_);
  EXPECT_TRUE(m[C::OK].enabled);
  EXPECT_EQ(m.Text(C::Label0), "- press the \"Data Update\" button.");
}

TEST_F(MainWindowTest, DetectionAfterAFileEnablesDataUpdate) {
  AppFixture f;
  FakeMain& m = f.Main();
  f.device->Device().SetVersion(2, 0x05);
  f.Open(plain_);
  f.app->AutoDetectCmd_Click();
  EXPECT_EQ(f.ui.AutoDetect().Text(S::Label2), "USB-Bootloader  2. 0 5 detected ");
  EXPECT_TRUE(m[C::OK].enabled);
  EXPECT_TRUE(m[C::ResetPIC].enabled);
  EXPECT_EQ(m.Text(C::Label0), text::kReadyText);
  // One version query, nothing else.
  ASSERT_EQ(f.device->Recorded().size(), 1u);
  EXPECT_EQ(f.device->Recorded()[0].request, (std::vector<std::uint8_t>{0x00, 0x02}));
}

TEST_F(MainWindowTest, SuccessfulThenFailedDetection) {
  AppFixture f;
  FakeMain& m = f.Main();
  f.Detect();
  f.device->Unplug();
  f.app->AutoDetectCmd_Click();
  EXPECT_EQ(f.ui.AutoDetect().Text(S::Label1), text::kNotConnected);
  f.app->AutoDetect_OKCmd_Click();
  // The flag stays; both buttons are off.
  EXPECT_TRUE(f.app->DeviceConnected());
  EXPECT_FALSE(m[C::OK].enabled);
  EXPECT_FALSE(m[C::ResetPIC].enabled);
  EXPECT_EQ(m.Text(C::Label0), text::kDeviceFoundText);
  // A file opened now enables "Data Update" on the strength of the earlier answer.
  f.Open(plain_);
  EXPECT_TRUE(m[C::OK].enabled);
}

TEST_F(MainWindowTest, AShortVersionReplyCountsAsNotFound) {
  AppFixture f;
  emulator::Fault cut;
  cut.kind = emulator::FaultKind::ShortReply;
  cut.packetIndex = f.device->PacketsBegun();
  f.device->AddFault(cut);
  f.app->AutoDetectCmd_Click();
  EXPECT_EQ(f.ui.AutoDetect().Text(S::Label2), text::kNoDevice);
  EXPECT_FALSE(f.app->DeviceConnected());
  EXPECT_TRUE(f.ui.boxes.empty());
}

TEST_F(MainWindowTest, PipesThatFailToOpenAreReportedInABoxOverTheSearchWindow) {
  AppFixture f;
  emulator::Fault fail;
  fail.kind = emulator::FaultKind::OpenFail;
  fail.packetIndex = f.device->PacketsBegun();
  f.device->AddFault(fail);
  f.app->AutoDetectCmd_Click();
  ASSERT_EQ(f.ui.boxes.size(), 1u);
  const Box& box = f.ui.boxes[0];
  EXPECT_TRUE(box.text.ends_with("Failed to open data pipes.")) << box.text;
  EXPECT_EQ(box.title, "USB_Korvane");
  EXPECT_EQ(box.icon, MessageIcon::None);
  EXPECT_EQ(box.owner, f.app->AutoDetect());
  EXPECT_TRUE(box.ownerShowing);
  EXPECT_EQ(f.ui.AutoDetect().Text(S::Label1), text::kNotConnected);
  EXPECT_FALSE(f.Main()[C::ResetPIC].enabled);
}

TEST_F(MainWindowTest, SearchWindowCloseBoxActsLikeOK) {
  AppFixture f;
  f.app->AutoDetectCmd_Click();
  f.app->AutoDetect_CloseBox();
  EXPECT_EQ(f.app->AutoDetect(), nullptr);
  EXPECT_TRUE(f.Main().IsVisible());
  EXPECT_FALSE(f.app->Ended());
}

TEST_F(MainWindowTest, ResetWithRepeateStaysReady) {
  AppFixture f;
  FakeMain& m = f.Main();
  f.Open(plain_);
  f.Detect();
  ASSERT_TRUE(m[C::OK].enabled);
  const std::string label0 = m.Text(C::Label0);
  f.app->ResetPIC_Click();
  EXPECT_EQ(f.device->Recorded().back().request, (std::vector<std::uint8_t>{0xFF, 0x02}));
  EXPECT_FALSE(f.device->Device().InBootloader());
  EXPECT_FALSE(f.app->Ended());
  EXPECT_TRUE(m.IsVisible());
  EXPECT_FALSE(f.app->DeviceConnected());
  EXPECT_FALSE(m[C::OK].enabled);
  EXPECT_FALSE(m[C::ResetPIC].enabled);
  EXPECT_EQ(m.Text(C::Label0), label0);
  // The device runs its firmware now: a new search does not find it until it comes back.
  f.Detect();
  EXPECT_FALSE(m[C::ResetPIC].enabled);
  f.device->PlugIn();
  f.Detect();
  EXPECT_TRUE(m[C::ResetPIC].enabled);
}

TEST_F(MainWindowTest, ResetWithoutRepeateEndsTheApplication) {
  AppFixture f;
  f.Detect();
  f.app->mnu_Repeate_Click();
  f.app->ResetPIC_Click();
  EXPECT_EQ(f.ui.quits, 1);
  EXPECT_TRUE(f.app->Ended());
  EXPECT_EQ(f.app->Main(), nullptr);
  EXPECT_FALSE(f.Main().loaded);
  EXPECT_FALSE(f.device->Device().InBootloader());
}

TEST_F(MainWindowTest, ResetWithoutADeviceStillFollowsRepeate) {
  AppFixture f;
  f.Detect();
  f.device->Unplug();
  f.app->ResetPIC_Click();
  EXPECT_FALSE(f.app->Ended());
  EXPECT_FALSE(f.app->DeviceConnected());
  EXPECT_TRUE(f.ui.boxes.empty());
}

TEST_F(MainWindowTest, ExitAndTheCloseBoxUnloadEveryWindowInOrder) {
  for (const bool exit : {true, false}) {
    AppFixture f;
    // Leave the result window loaded (hidden) behind an update, and the About window open.
    f.Open(plain_);
    f.Detect();
    f.app->OK_Click();
    f.app->UpdatingComplete_OKCmd_Click();
    ASSERT_NE(f.app->UpdatingComplete(), nullptr);
    f.app->mnu_About_Click();
    f.ui.unloads.clear();

    if (exit) {
      f.app->mnu_Exit_Click();
    } else {
      f.app->Form_Unload();
    }
    EXPECT_EQ(f.ui.unloads,
              (std::vector<std::string>{"UpdatingCompleteForm", "InfoForm", "MainForm"}));
    EXPECT_EQ(f.ui.quits, 1);
    EXPECT_TRUE(f.app->Ended());
    EXPECT_EQ(f.app->Main(), nullptr);
    EXPECT_EQ(f.app->UpdatingComplete(), nullptr);
    // A second request finds nothing left to do.
    f.app->Form_Unload();
    EXPECT_EQ(f.ui.quits, 1);
  }
}

TEST_F(MainWindowTest, ASecondCopyIsRefusedWithoutAWindow) {
  AppFixture f(false);
  f.ui.claim = {InstanceClaim::Result::HeldByAnother, {}};
  EXPECT_FALSE(f.app->Start());
  ASSERT_EQ(f.ui.boxes.size(), 1u);
  EXPECT_EQ(f.ui.boxes[0].text, "Korvane allready running!");
  EXPECT_EQ(f.ui.boxes[0].title, "Korvane-Error");
  EXPECT_EQ(f.ui.boxes[0].icon, MessageIcon::Warning);
  EXPECT_TRUE(f.ui.mains.empty());
  EXPECT_TRUE(f.app->Ended());
  EXPECT_EQ(f.device->PacketsBegun(), 0u);
  // Nothing was loaded, so no unload ran either.
  EXPECT_EQ(f.ui.quits, 0);
}

// Only another running copy is a reason to stop. When the claim cannot be made at all (say the
// runtime folder is not writable), the user is told what went wrong and the program carries on.
TEST_F(MainWindowTest, AClaimThatFailsIsToldAndTheProgramCarriesOn) {
  AppFixture f(false);
  f.ui.claim = {InstanceClaim::Result::Failed, "cannot write /run/user/1000/korvane.lock"};
  EXPECT_TRUE(f.app->Start());
  ASSERT_EQ(f.ui.boxes.size(), 1u);
  EXPECT_NE(f.ui.boxes[0].text.find("cannot write /run/user/1000/korvane.lock"), std::string::npos);
  EXPECT_EQ(f.ui.boxes[0].text.find("allready running"), std::string::npos);
  EXPECT_EQ(f.ui.boxes[0].icon, MessageIcon::Warning);
  EXPECT_TRUE(f.Main().IsVisible());
  EXPECT_FALSE(f.app->Ended());
}

}  // namespace
}  // namespace korvane::app::test
