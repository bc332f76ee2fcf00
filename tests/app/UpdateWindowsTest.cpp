// The progress, result and About windows around an update run and the About menu command.

#include <set>
#include <utility>

#include "app/Texts.h"
#include "tests/app/AppTestSupport.h"

namespace korvane::app::test {
namespace {

using U = UpdatingControl;
using R = CompleteControl;
using I = InfoControl;

constexpr Colour kYellowBar = 0x00FFFF;
constexpr Colour kBlueBar = 0xED9564;
constexpr Colour kGreenBar = 0x238E6B;

class UpdateWindowsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    folder_ = std::make_unique<TempFolder>();
    file_ = folder_->Write("firmware.hex", FirmwareHex(0x0FFF, true));
  }
  static void TearDownTestSuite() { folder_.reset(); }

  // A loaded file and a detected device, ready for "Data Update".
  static std::unique_ptr<AppFixture> Ready() {
    auto f = std::make_unique<AppFixture>();
    f->Open(file_);
    f->Detect();
    return f;
  }

  static std::unique_ptr<TempFolder> folder_;
  static std::string file_;  // program bytes 0x800 to 0x0FFF and the whole EEPROM
};
std::unique_ptr<TempFolder> UpdateWindowsTest::folder_;
std::string UpdateWindowsTest::file_;

TEST_F(UpdateWindowsTest, UpdateRunsToSuccessInThePlaceOfTheMainWindow) {
  auto f = Ready();
  FakeMain& m = f->Main();
  f->app->mnu_EEDATA_Click();
  const ScreenPoint mainPos = m.position;

  std::set<std::pair<std::string, Colour>> stages;
  bool mainHidden = true;
  bool placed = true;
  bool abortFocused = true;
  std::string deviceLine;
  float lastValue = -1;
  f->ui.onEvents = [&] {
    FakeUpdating& p = f->ui.Updating();
    stages.insert({p.Text(U::Label2), p.barColour});
    mainHidden = mainHidden && !m.IsVisible();
    placed = placed && p.position == mainPos && p.IsVisible();
    abortFocused = abortFocused && p.focus == U::AbortCmd;
    deviceLine = p.Text(U::Label1);
    lastValue = p.barValue;
  };
  f->app->OK_Click();

  EXPECT_TRUE(mainHidden);
  EXPECT_TRUE(placed);
  EXPECT_TRUE(abortFocused);
  EXPECT_EQ(deviceLine, "Dextrel Device");
  const std::set<std::pair<std::string, Colour>> expected = {{"Erasing Flash...", kYellowBar},
                                                             {"Writing program data...", kBlueBar},
                                                             {"Verify program data...", kGreenBar},
                                                             {"Write EEPROM...", kBlueBar},
                                                             {"Verify EEPROM data...", kGreenBar}};
  EXPECT_EQ(stages, expected);
  EXPECT_TRUE(lastValue > 80 && lastValue < 100);  // the EEPROM stages never reach the end

  // The progress window is gone; the result window stands where the main window was.
  EXPECT_FALSE(f->ui.Updating().loaded);
  EXPECT_EQ(f->app->Updating(), nullptr);
  FakeComplete& r = f->ui.Complete();
  EXPECT_TRUE(r.IsVisible());
  EXPECT_FALSE(m.IsVisible());
  EXPECT_EQ(r.position, mainPos);
  EXPECT_EQ(r.Text(R::Label1), "The update was successful.");
  EXPECT_EQ(r[R::Label1].colour, kGreen);
  EXPECT_TRUE(r.Text(R::Label2).empty());
  EXPECT_EQ(r.focus, R::OKCmd);

  // The device holds the file.
  const auto flash = f->device->Device().Flash();
  const image::MemoryImage& image = f->app->Image();
  EXPECT_TRUE(
      std::equal(flash.begin() + 0x800, flash.begin() + 0x1000, image.FlashImage.begin() + 0x800));
  const auto eeprom = f->device->Device().Eeprom();
  EXPECT_TRUE(std::equal(eeprom.begin(), eeprom.end(), image.EepromImage.begin()));
}

// Windows gives the foreground only to a program that has it: each window shows before the one
// it replaces is hidden, so that one of the program's windows is always in front.
TEST_F(UpdateWindowsTest, AWindowShowsBeforeTheOneItReplacesIsHidden) {
  auto f = Ready();
  f->app->mnu_About_Click();
  f->app->Info_cmdOK_Click();
  f->app->OK_Click();
  f->app->UpdatingComplete_OKCmd_Click();
  EXPECT_TRUE(f->Main().IsVisible());
  EXPECT_EQ(f->ui.screen.blanks, 0);
}

TEST_F(UpdateWindowsTest, TheExampleFilesUpdateTheEmulatedDevice) {
  for (const char* name : {"demo-firmware.hex", "demo-firmware.elc"}) {
    AppFixture f;
    f.Open(std::string(KORVANE_SOURCE_DIR "/examples/") + name);
    EXPECT_TRUE(f.app->FileLoaded()) << name;
    EXPECT_TRUE(f.ui.boxes.empty()) << name;
    f.app->mnu_EEDATA_Click();
    f.Detect();
    f.app->OK_Click();
    EXPECT_EQ(f.ui.Complete().Text(R::Label1), "The update was successful.") << name;
    const auto flash = f.device->Device().Flash();
    const image::MemoryImage& image = f.app->Image();
    ASSERT_GT(image.HighestFlashAddress, 0x800);
    EXPECT_TRUE(std::equal(flash.begin() + 0x800, flash.begin() + image.HighestFlashAddress + 1,
                           image.FlashImage.begin() + 0x800))
        << name;
  }
}

// The result window's second line says why a run failed, from the same outcome the command-line
// tool prints; after a successful run it is empty again.
TEST_F(UpdateWindowsTest, AFailedRunNamesItsReasonInTheResultWindow) {
  struct Case {
    emulator::FaultKind kind;
    std::uint32_t packet;  // counted from the first packet of the run
    std::string reason;
  };
  const std::vector<Case> cases = {
      // The 40th packet of the run is a program write; one bit of it goes wrong in the device.
      {emulator::FaultKind::BitFlip, 40, "Verify at 0x0"},
      {emulator::FaultKind::Timeout, 3, "Erase at 0x08C0: the device did not answer in time."},
      {emulator::FaultKind::ShortReply, 33, "Write at 0x0810: the reply was short."},
      {emulator::FaultKind::Unplug, 0, "Erase at 0x0800: no device answered."},
  };
  for (const Case& c : cases) {
    auto f = Ready();
    emulator::Fault fault;
    fault.kind = c.kind;
    fault.packetIndex = f->device->PacketsBegun() + c.packet;
    fault.byteIndex = 3;
    f->device->AddFault(fault);
    f->app->OK_Click();
    FakeComplete& r = f->ui.Complete();
    EXPECT_TRUE(r.IsVisible());
    EXPECT_EQ(r.Text(R::Label1), "The update was not successful.");
    EXPECT_EQ(r[R::Label1].colour, kRed);
    EXPECT_TRUE(r.Text(R::Label2).starts_with(c.reason)) << r.Text(R::Label2);
    EXPECT_EQ(f->app->Updating(), nullptr);
    if (c.kind == emulator::FaultKind::BitFlip) {
      // The verify stage said so in the progress window, in red, before it went.
      FakeUpdating& p = f->ui.Updating();
      EXPECT_EQ(p.Text(U::Label2), "Error in program data found...");
      EXPECT_EQ(p[U::Label2].colour, kRed);
    }
  }
}

TEST_F(UpdateWindowsTest, AbortStopsTheRunAfterThePacketInFlight) {
  for (const bool closeBox : {false, true}) {
    auto f = Ready();
    const std::uint32_t before = f->device->PacketsBegun();
    int clicks = 0;
    f->ui.onEvents = [&] {
      if (clicks == 0 && f->device->PacketsBegun() - before == 5) {
        ++clicks;
        // The progress window's close box is wired to the same handler as its Abort button.
        f->app->Updating_AbortCmd_Click();
        // The window stays until the run takes it down.
        EXPECT_NE(f->app->Updating(), nullptr);
        EXPECT_TRUE(f->app->AbortRequested());
      }
    };
    f->app->OK_Click();
    EXPECT_EQ(clicks, 1) << closeBox;
    EXPECT_EQ(f->device->PacketsBegun() - before, 5u);
    EXPECT_EQ(f->app->Updating(), nullptr);
    FakeComplete& r = f->ui.Complete();
    EXPECT_EQ(r.Text(R::Label1), "The update was not successful.");
    EXPECT_EQ(r.Text(R::Label2), "Erase at 0x0900: stopped by the user.");
    EXPECT_FALSE(f->app->Ended());
  }
}

TEST_F(UpdateWindowsTest, ResultOKRechecksTheDevice) {
  for (const bool stillThere : {true, false}) {
    auto f = Ready();
    FakeMain& m = f->Main();
    const std::string label0 = m.Text(MainControl::Label0);
    f->app->OK_Click();
    if (!stillThere) {
      f->device->Unplug();
    }
    const std::uint32_t before = f->device->PacketsBegun();
    f->app->UpdatingComplete_OKCmd_Click();
    EXPECT_EQ(f->device->PacketsBegun() - before, 1u);
    // The result window is only hidden; the main window is back with "Data Update" off.
    EXPECT_NE(f->app->UpdatingComplete(), nullptr);
    EXPECT_FALSE(f->ui.Complete().IsVisible());
    EXPECT_TRUE(m.IsVisible());
    EXPECT_FALSE(f->app->DeviceConnected());
    EXPECT_FALSE(m[MainControl::OK].enabled);
    EXPECT_EQ(m[MainControl::ResetPIC].enabled, stillThere);
    EXPECT_EQ(m.Text(MainControl::Label0), label0);
    // Only a new detection enables "Data Update" again.
    if (stillThere) {
      f->Detect();
      EXPECT_TRUE(m[MainControl::OK].enabled);
    }
  }
}

TEST_F(UpdateWindowsTest, ASecondRunReusesTheHiddenResultWindow) {
  auto f = Ready();
  FakeMain& m = f->Main();
  emulator::Fault flip;
  flip.kind = emulator::FaultKind::BitFlip;
  flip.packetIndex = f->device->PacketsBegun() + 40;
  f->device->AddFault(flip);
  f->app->OK_Click();
  FakeComplete& first = f->ui.Complete();
  const ScreenPoint firstPos = first.position;
  EXPECT_EQ(first.Text(R::Label1), "The update was not successful.");
  EXPECT_FALSE(first.Text(R::Label2).empty());
  f->app->UpdatingComplete_OKCmd_Click();

  // The main window moves; the result window stays where it was first placed.
  m.position = {m.position.x + 40, m.position.y + 30};
  f->device->ClearFaults();
  f->Detect();
  f->app->OK_Click();
  EXPECT_EQ(f->ui.completes.size(), 1u);
  EXPECT_TRUE(first.IsVisible());
  EXPECT_EQ(first.position, firstPos);
  EXPECT_EQ(first.Text(R::Label1), "The update was successful.");
  EXPECT_EQ(first[R::Label1].colour, kGreen);
  EXPECT_TRUE(first.Text(R::Label2).empty());
}

TEST_F(UpdateWindowsTest, NothingSelectedSendsNothingAndSucceeds) {
  auto f = Ready();
  f->app->mnu_FLASH_Click();
  const std::uint32_t before = f->device->PacketsBegun();
  f->app->OK_Click();
  EXPECT_EQ(f->device->PacketsBegun(), before);
  EXPECT_EQ(f->ui.Complete().Text(R::Label1), "The update was successful.");
}

TEST_F(UpdateWindowsTest, ResultCloseBoxEndsTheApplication) {
  auto f = Ready();
  f->app->OK_Click();
  f->app->UpdatingComplete_Form_Unload();
  EXPECT_EQ(f->ui.quits, 1);
  EXPECT_TRUE(f->app->Ended());
  EXPECT_EQ(f->app->Main(), nullptr);
  EXPECT_EQ(f->app->UpdatingComplete(), nullptr);
  EXPECT_FALSE(f->ui.Complete().loaded);
}

TEST_F(UpdateWindowsTest, AboutWindowShowsVersionRightsAndLink) {
  AppFixture f;
  FakeMain& m = f.Main();
  const ScreenPoint mainPos = m.position;
  f.app->mnu_About_Click();
  FakeInfo& a = f.ui.Info();
  EXPECT_TRUE(a.IsVisible());
  EXPECT_FALSE(m.IsVisible());
  EXPECT_EQ(a.position, mainPos);
  EXPECT_EQ(a.focus, I::cmdOK);
  EXPECT_EQ(a.Text(I::Label1), "Korvane Ver. 2.0b");
  // The rights notice ends in a blank, and the year comes in number-text form: two blanks.
  EXPECT_EQ(a.Text(I::Label2), std::string(text::kRightsNotice) + " 2031");
  EXPECT_TRUE(a.Text(I::Label2).ends_with("  2031"));

  // The link opens the shop's address and leaves the About window open.
  f.app->Info_Label3_Click();
  EXPECT_EQ(f.ui.addresses, (std::vector<std::string>{"https://shop.example.com/korvane"}));
  EXPECT_EQ(f.ui.addressOwners, (std::vector<Window*>{f.app->Info()}));
  EXPECT_TRUE(a.IsVisible());
  EXPECT_FALSE(m.IsVisible());

  // OK unloads it and brings the main window back; every opening loads it afresh.
  f.app->Info_cmdOK_Click();
  EXPECT_FALSE(a.loaded);
  EXPECT_TRUE(m.IsVisible());
  f.app->mnu_About_Click();
  EXPECT_EQ(f.ui.infos.size(), 2u);
  EXPECT_TRUE(f.ui.Info().IsVisible());
}

}  // namespace
}  // namespace korvane::app::test
