#pragma once

// What the application tests share: an in-memory front end (five windows that remember what the
// handlers set, and a desktop that answers dialogs and records boxes), update files written for
// the occasion, and an application on the emulated device.

#include <gtest/gtest.h>

#include <array>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "app/Application.h"
#include "emulator/EmulatedUsbLibrary.h"
#include "tests/cli/HexWriter.h"

namespace korvane::app::test {

struct ControlState {
  std::string text;
  Colour colour = 0;
  bool bold = false;
  bool enabled = true;
  bool visible = true;
};

// How many of the program's windows show, and how often none showed while it ran.
struct Screen {
  int showing = 0;
  int blanks = 0;
};

// A window that keeps what the handlers set. It stays in memory after it is unloaded, so a test
// can still look at it.
template <typename View>
class FakeForm : public View {
 public:
  using Control = typename View::Control;

  FakeForm(std::string formName, std::vector<std::string>& unloadLog, Screen& screen)
      : name(std::move(formName)), unloads_(unloadLog), screen_(screen) {}

  void Show() override {
    if (!shown) {
      ++screen_.showing;
    }
    shown = true;
  }
  void Hide() override { Leave(); }
  bool IsVisible() const override { return loaded && shown; }
  ScreenPoint Position() const override { return position; }
  void MoveTo(ScreenPoint corner) override { position = corner; }
  ScreenSize Size() const override { return size; }
  void Unload() override {
    loaded = false;
    Leave();
    unloads_.push_back(name);
  }

  void SetText(Control c, std::string_view text) override { controls[c].text = text; }
  void SetTextColour(Control c, Colour colour) override { controls[c].colour = colour; }
  void SetBold(Control c, bool bold) override { controls[c].bold = bold; }
  void SetEnabled(Control c, bool enabled) override { controls[c].enabled = enabled; }
  void SetVisible(Control c, bool visible) override { controls[c].visible = visible; }
  void Focus(Control c) override { focus = c; }

  const ControlState& operator[](Control c) { return controls[c]; }
  const std::string& Text(Control c) { return controls[c].text; }

  std::string name;
  bool loaded = true;
  bool shown = false;
  ScreenPoint position;
  ScreenSize size{350, 105};
  std::map<Control, ControlState> controls;
  std::optional<Control> focus;

 private:
  void Leave() {
    if (shown && --screen_.showing == 0) {
      ++screen_.blanks;
    }
    shown = false;
  }

  std::vector<std::string>& unloads_;
  Screen& screen_;
};

class FakeMain final : public FakeForm<MainView> {
 public:
  using FakeForm::FakeForm;
  void SetChecked(MenuCommand item, bool checked) override {
    checks[static_cast<std::size_t>(item)] = checked;
  }
  bool Checked(MenuCommand item) const { return checks[static_cast<std::size_t>(item)]; }
  std::array<bool, kMenuCommandCount> checks{};
};

class FakeUpdating final : public FakeForm<UpdatingView> {
 public:
  using FakeForm::FakeForm;
  void SetBarColour(Colour colour) override { barColour = colour; }
  void SetBarValue(float value) override { barValue = value; }
  Colour barColour = 0;
  float barValue = 0;
};

using FakeAutoDetect = FakeForm<AutoDetectView>;
using FakeComplete = FakeForm<CompleteView>;
using FakeInfo = FakeForm<InfoView>;

struct Box {
  std::string text;
  std::string title;
  MessageIcon icon = MessageIcon::None;
  Window* owner = nullptr;
  bool ownerShowing = false;  // the owner was loaded and showing when the box came up
};

struct Dialog {
  std::string title;
  std::string filterName;
  std::string patterns;
  std::string directory;
};

// The front end of the tests: the windows and the desktop in memory. Every window ever loaded is
// kept, the newest of each kind last.
class FakeFrontEnd final : public Desktop, public FormFactory {
 public:
  FormPtr<MainView> LoadMainForm(Application&) override {
    return Keep<MainView>(mains, "MainForm");
  }
  FormPtr<AutoDetectView> LoadAutoDetectForm(Application&) override {
    return Keep<AutoDetectView>(autoDetects, "AutoDetectForm");
  }
  FormPtr<UpdatingView> LoadUpdatingForm(Application&) override {
    return Keep<UpdatingView>(updatings, "UpdatingForm");
  }
  FormPtr<CompleteView> LoadUpdatingCompleteForm(Application&) override {
    return Keep<CompleteView>(completes, "UpdatingCompleteForm");
  }
  FormPtr<InfoView> LoadInfoForm(Application&) override {
    return Keep<InfoView>(infos, "InfoForm");
  }

  void ShowMessageBox(Window* owner, std::string_view text, std::string_view title,
                      MessageIcon icon) override {
    boxes.push_back({std::string(text), std::string(title), icon, owner,
                     owner != nullptr && owner->IsVisible()});
    if (onBox) {
      onBox();
    }
  }
  std::string GetOpenFileName(Window*, std::string_view title, std::string_view filterName,
                              std::string_view patterns, std::string_view directory) override {
    dialogs.push_back({std::string(title), std::string(filterName), std::string(patterns),
                       std::string(directory)});
    if (answers.empty()) {
      return {};
    }
    std::string answer = answers.front();
    answers.pop_front();
    return answer;
  }
  void OpenAddress(Window* owner, std::string_view address) override {
    addresses.emplace_back(address);
    addressOwners.push_back(owner);
  }
  InstanceClaim ClaimSingleInstance() override { return claim; }
  void ProcessPendingEvents() override {
    ++eventPasses;
    if (onEvents) {
      onEvents();
    }
  }
  int CurrentYear() override { return 2031; }
  ScreenRect WorkArea() override { return {0, 0, 1280, 1024}; }
  void Quit() override { ++quits; }

  FakeMain& Main() { return *mains.back(); }
  FakeAutoDetect& AutoDetect() { return *autoDetects.back(); }
  FakeUpdating& Updating() { return *updatings.back(); }
  FakeComplete& Complete() { return *completes.back(); }
  FakeInfo& Info() { return *infos.back(); }

  std::vector<std::unique_ptr<FakeMain>> mains;
  std::vector<std::unique_ptr<FakeAutoDetect>> autoDetects;
  std::vector<std::unique_ptr<FakeUpdating>> updatings;
  std::vector<std::unique_ptr<FakeComplete>> completes;
  std::vector<std::unique_ptr<FakeInfo>> infos;
  std::vector<std::string> unloads;  // window names in unload order
  Screen screen;

  std::vector<Box> boxes;
  std::function<void()> onBox;  // runs while a box is open
  std::vector<Dialog> dialogs;
  std::deque<std::string> answers;  // what the next open dialogs return; none left means cancel
  std::vector<std::string> addresses;
  std::vector<Window*> addressOwners;
  InstanceClaim claim;
  int eventPasses = 0;
  std::function<void()> onEvents;  // input that arrives in an event pass
  int quits = 0;

 private:
  template <typename View, typename Fake>
  FormPtr<View> Keep(std::vector<std::unique_ptr<Fake>>& kept, const char* name) {
    kept.push_back(std::make_unique<Fake>(name, unloads, screen));
    return FormPtr<View>(kept.back().get());
  }
};

// A fresh folder under the system's temporary folder, removed again at the end.
class TempFolder {
 public:
  TempFolder() {
    std::random_device random;
    path_ = std::filesystem::temp_directory_path() /
            ("korvane-app-" + std::to_string(random()) + "-" + std::to_string(random()));
    std::filesystem::create_directories(path_);
  }
  ~TempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  // Writes `content` into the folder and returns the file's full path.
  std::string Write(const std::string& name, const std::string& content) const {
    const std::filesystem::path path = path_ / name;
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
    return path.string();
  }
  std::string PathOf(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

using cli::test::FirmwareHex;

// An application on the emulated device (timing model off), started.
struct AppFixture {
  FakeFrontEnd ui;
  emulator::EmulatedUsbLibrary* device = nullptr;
  std::unique_ptr<Application> app;

  explicit AppFixture(bool start = true) {
    auto library = std::make_unique<emulator::EmulatedUsbLibrary>();
    device = library.get();
    device->SetRecording(true);
    app = std::make_unique<Application>(ui, ui, std::move(library));
    if (start) {
      app->Start();
    }
  }

  FakeMain& Main() { return ui.Main(); }

  // File > Open... answered with `path`.
  void Open(const std::string& path) {
    ui.answers.push_back(path);
    app->mnu_Open_Click();
  }
  // Auto Detect... and the search window's OK.
  void Detect() {
    app->AutoDetectCmd_Click();
    app->AutoDetect_OKCmd_Click();
  }
};

}  // namespace korvane::app::test
