#include "app/Application.h"

#include <utility>

#include "app/Designs.h"
#include "app/Texts.h"
#include "update/UpdateRun.h"

namespace korvane::app {

namespace {

template <typename Control>
constexpr int Id(Control control) {
  return static_cast<int>(control);
}

using A = Application;
constexpr A::ControlHandler kControlHandlers[] = {
    {FormId::Main, Id(MainControl::OK), &A::OK_Click},
    {FormId::Main, Id(MainControl::AutoDetectCmd), &A::AutoDetectCmd_Click},
    {FormId::Main, Id(MainControl::ResetPIC), &A::ResetPIC_Click},
    {FormId::AutoDetect, Id(AutoDetectControl::AbortCmd), &A::AutoDetect_AbortCmd_Click},
    {FormId::AutoDetect, Id(AutoDetectControl::OKCmd), &A::AutoDetect_OKCmd_Click},
    {FormId::Updating, Id(UpdatingControl::AbortCmd), &A::Updating_AbortCmd_Click},
    {FormId::UpdatingComplete, Id(CompleteControl::OKCmd), &A::UpdatingComplete_OKCmd_Click},
    {FormId::Info, Id(InfoControl::cmdOK), &A::Info_cmdOK_Click},
    {FormId::Info, Id(InfoControl::Label3), &A::Info_Label3_Click},
};

constexpr A::MenuHandler kMenuHandlers[] = {
    {MenuCommand::Open, &A::mnu_Open_Click},       {MenuCommand::Exit, &A::mnu_Exit_Click},
    {MenuCommand::FLASH, &A::mnu_FLASH_Click},     {MenuCommand::EEDATA, &A::mnu_EEDATA_Click},
    {MenuCommand::CONFIG, &A::mnu_CONFIG_Click},   {MenuCommand::USERID, &A::mnu_USERID_Click},
    {MenuCommand::Repeate, &A::mnu_Repeate_Click}, {MenuCommand::About, &A::mnu_About_Click},
};

// Runs `f` on each check-mark item of the main window's menus.
template <typename F>
void ForEachCheckItem(F f) {
  for (const MenuDesign& menu : DesignOf(FormId::Main).menus) {
    for (const MenuItemDesign& item : menu.items) {
      if (item.kind == MenuItemDesign::Kind::Check) {
        f(item);
      }
    }
  }
}

}  // namespace

// Runs a handler that must not nest. While it runs, another such handler is refused, and an
// unload asked for meanwhile waits: it takes effect when this handler returns, so that every
// window the handler works with, and every box it shows, still has its owner.
class Application::Exclusive {
 public:
  explicit Exclusive(Application& app) : app_(app), entered_(!app.busy_ && !app.ended_) {
    if (entered_) {
      app_.busy_ = true;
    }
  }
  ~Exclusive() {
    if (!entered_) {
      return;
    }
    app_.busy_ = false;
    if (std::exchange(app_.unloadPending_, false)) {
      app_.UnloadEverything();
    }
  }
  Exclusive(const Exclusive&) = delete;
  Exclusive& operator=(const Exclusive&) = delete;

  explicit operator bool() const { return entered_; }

 private:
  Application& app_;
  bool entered_;
};

namespace {

// The progress bar's colour in each stage: yellow while erasing, blue while writing, green while
// reading.
constexpr Colour kBarYellow = 0x0000FFFF;
constexpr Colour kBarBlue = 0x00ED9564;
constexpr Colour kBarGreen = 0x00238E6B;

Colour BarColour(update::Stage stage) {
  switch (stage) {
    case update::Stage::ProgramErase:
      return kBarYellow;
    case update::Stage::ProgramWrite:
    case update::Stage::EepromWrite:
      return kBarBlue;
    default:
      return kBarGreen;
  }
}

}  // namespace

// The progress and result windows, drawn from what the update run reports.
class Application::RunWindows final : public update::UpdateObserver {
 public:
  explicit RunWindows(Application& app) : app_(app) {}

  void OnRunStarted() override {
    app_.ShowProgressWindow();
    if (UpdatingView* form = app_.updating_.get()) {
      form->SetText(UpdatingControl::Label1, text::kDeviceLine);
      form->SetText(UpdatingControl::Label2, "");
      form->SetBarValue(0.0F);
    }
  }
  void OnStageStarted(update::Stage stage) override {
    if (UpdatingView* form = app_.updating_.get()) {
      form->SetText(UpdatingControl::Label2, text::StageText(stage));
      form->SetBarColour(BarColour(stage));
    }
  }
  void OnProgress(update::Stage, update::Progress progress) override {
    if (UpdatingView* form = app_.updating_.get()) {
      form->SetBarValue(progress.Percent());
    }
    // Where an Abort click gets in.
    app_.desktop_.ProcessPendingEvents();
  }
  void OnFinished(const update::UpdateOutcome&) override {
    app_.ShowOutcome(text::kSuccessText, kGreen);
  }
  void OnFailed(const update::UpdateOutcome& outcome) override {
    if (outcome.failure == update::Failure::Mismatch) {
      if (UpdatingView* form = app_.updating_.get()) {
        form->SetTextColour(UpdatingControl::Label2, kRed);
        form->SetText(UpdatingControl::Label2, outcome.stage == update::Stage::EepromVerify
                                                   ? text::kEepromErrorText
                                                   : text::kProgramErrorText);
      }
    }
    app_.ShowOutcome(text::kFailureText, kRed);
  }

 private:
  Application& app_;
};

Application::Application(Desktop& desktop, FormFactory& forms,
                         std::unique_ptr<link::UsbLibrary> library, std::string openDirectory)
    : desktop_(desktop),
      forms_(forms),
      library_(std::move(library)),
      openDirectory_(std::move(openDirectory)),
      link_(*library_, *this) {
  ForEachCheckItem([this](const MenuItemDesign& item) {
    checks_[static_cast<std::size_t>(item.command)] = item.checked;
  });
}

Application::~Application() {
  abortRequested_ = true;
  ended_ = true;
  autoDetect_.reset();
  updating_.reset();
  complete_.reset();
  info_.reset();
  main_.reset();
}

bool Application::Start() {
  // A second copy says so and ends before anything else happens.
  const InstanceClaim claim = desktop_.ClaimSingleInstance();
  if (claim.result == InstanceClaim::Result::HeldByAnother) {
    desktop_.ShowMessageBox(nullptr, text::kAlreadyRunning, text::kAlreadyRunningTitle,
                            MessageIcon::Warning);
    ended_ = true;
    return false;
  }
  if (claim.result == InstanceClaim::Result::Failed) {
    // Nothing says another copy runs: this one carries on as the only one.
    std::string message(text::kClaimFailed);
    if (!claim.reason.empty()) {
      message += ": " + claim.reason;
    }
    message += ". It starts all the same.";
    desktop_.ShowMessageBox(nullptr, message, text::kAppTitle, MessageIcon::Warning);
  }

  main_ = forms_.LoadMainForm(*this);
  MainView& form = *main_;

  // Centred on the screen's work area.
  const ScreenRect area = desktop_.WorkArea();
  const ScreenSize size = form.Size();
  form.MoveTo(
      {area.x + area.width / 2 - size.width / 2, area.y + area.height / 2 - size.height / 2});

  link_.InitPipes();
  form.SetEnabled(MainControl::OK, false);
  form.SetEnabled(MainControl::ResetPIC, false);
  SetStatusLabel(text::kNotLoaded, kRed, true);
  form.SetEnabled(MainControl::AutoDetectCmd, true);
  fileLoaded_ = false;
  deviceConnected_ = false;
  form.SetText(MainControl::Label0, text::kStartText);
  ForEachCheckItem([this, &form](const MenuItemDesign& item) {
    form.SetChecked(item.command, Checked(item.command));
  });

  form.Show();
  form.Focus(MainControl::AutoDetectCmd);
  return true;
}

// ---- What the front ends forward -----------------------------------------------------------

std::span<const Application::ControlHandler> Application::ControlHandlers() {
  return kControlHandlers;
}

std::span<const Application::MenuHandler> Application::MenuHandlers() {
  return kMenuHandlers;
}

void Application::OnControl(FormId form, int control) {
  for (const ControlHandler& handler : kControlHandlers) {
    if (handler.form == form && handler.control == control) {
      (this->*handler.click)();
      return;
    }
  }
}

void Application::OnMenu(MenuCommand command) {
  for (const MenuHandler& handler : kMenuHandlers) {
    if (handler.command == command) {
      (this->*handler.click)();
      return;
    }
  }
}

void Application::OnClose(FormId form) {
  switch (form) {
    case FormId::Main:
      Form_Unload();
      break;
    case FormId::AutoDetect:
      AutoDetect_CloseBox();
      break;
    case FormId::Updating:
      Updating_AbortCmd_Click();  // the run stops after its packet
      break;
    case FormId::UpdatingComplete:
      UpdatingComplete_Form_Unload();
      break;
    case FormId::Info:
      Info_cmdOK_Click();
      break;
  }
}

// ---- Messages and the loader's needs --------------------------------------------------------

Window* Application::MessageOwner() const {
  for (Window* window :
       {static_cast<Window*>(autoDetect_.get()), static_cast<Window*>(updating_.get()),
        static_cast<Window*>(complete_.get()), static_cast<Window*>(info_.get()),
        static_cast<Window*>(main_.get())}) {
    if (window != nullptr && window->IsVisible()) {
      return window;
    }
  }
  return nullptr;
}

void Application::ShowLinkMessage(std::string_view text) {
  desktop_.ShowMessageBox(MessageOwner(), text, text::kAppTitle, MessageIcon::None);
}

void Application::SetStatusLabel(std::string_view text, Colour colour, bool bold) {
  if (main_) {
    main_->SetBold(MainControl::Label1, bold);
    main_->SetTextColour(MainControl::Label1, colour);
    main_->SetText(MainControl::Label1, text);
  }
}

void Application::OnDecoding() {
  // Only the text changes; font and colour stay as they are.
  if (main_) {
    main_->SetText(MainControl::Label1, text::kWaitText);
  }
  desktop_.ProcessPendingEvents();
}

void Application::ShowMessage(std::string_view text) {
  desktop_.ShowMessageBox(MessageOwner(), text, text::kAppTitle, MessageIcon::None);
}

// ---- Main window ----------------------------------------------------------------------------

void Application::mnu_Open_Click() {
  const Exclusive scope(*this);
  if (!scope || !main_) {
    return;
  }
  const std::string path =
      desktop_.GetOpenFileName(main_.get(), text::kOpenTitle, text::kOpenFilterName,
                               text::kOpenFilterPatterns, openDirectory_);
  if (path.empty()) {
    return;  // cancelled: nothing changes
  }
  updateFilePath_ = path;
  image::UpdateFileLoader loader(image_, *this);
  const image::LoadResult result = loader.LoadUpdateFile(updateFilePath_);
  if (!result.loaded) {
    // The file could not be read: the loader has said why, and the image, the status line and
    // the flags stay as they were.
    return;
  }
  SetStatusLabel(result.shownPath, kGreen, true);
  if (result.report.NoData()) {
    // The image is empty now (the loader has said so): an update would only erase the
    // application area. Until a file with data is loaded there is nothing to update with.
    fileLoaded_ = false;
    main_->SetEnabled(MainControl::OK, false);
    SetStatusLabel(text::kNotLoaded, kRed, true);
    main_->SetText(MainControl::Label0,
                   deviceConnected_ ? text::kDeviceFoundText : text::kStartText);
    return;
  }
  fileLoaded_ = true;
  main_->SetText(MainControl::Label0, text::kFileOpenedText);
  EnableUpdateIfReady();
}

void Application::EnableUpdateIfReady() {
  if (fileLoaded_ && deviceConnected_ && main_) {
    main_->SetEnabled(MainControl::OK, true);
    main_->SetText(MainControl::Label0, text::kReadyText);
  }
}

void Application::mnu_Exit_Click() {
  Form_Unload();
}

void Application::mnu_About_Click() {
  const Exclusive scope(*this);
  if (!scope) {
    return;
  }
  info_ = forms_.LoadInfoForm(*this);
  PlaceOverMain(*info_);
  info_->SetText(InfoControl::Label1, text::kVersionLine);
  info_->SetText(InfoControl::Label2,
                 std::string(text::kRightsNotice) + link::NumberText(desktop_.CurrentYear()));
  info_->Show();
  HideMain();
  info_->Focus(InfoControl::cmdOK);
}

void Application::ToggleCheck(MenuCommand item) {
  bool& checked = checks_[static_cast<std::size_t>(item)];
  checked = !checked;
  if (main_) {
    main_->SetChecked(item, checked);
  }
}

void Application::mnu_FLASH_Click() {
  ToggleCheck(MenuCommand::FLASH);
}
void Application::mnu_EEDATA_Click() {
  ToggleCheck(MenuCommand::EEDATA);
}
void Application::mnu_CONFIG_Click() {
  ToggleCheck(MenuCommand::CONFIG);
}
void Application::mnu_USERID_Click() {
  ToggleCheck(MenuCommand::USERID);
}
void Application::mnu_Repeate_Click() {
  ToggleCheck(MenuCommand::Repeate);
}

void Application::AutoDetectCmd_Click() {
  const Exclusive scope(*this);
  if (!scope || !main_) {
    return;
  }
  // The whole search runs here, without letting other events in: the search window shows its
  // final texts and its OK button by the time the user can act on it.
  autoDetect_ = forms_.LoadAutoDetectForm(*this);
  PlaceOverMain(*autoDetect_);
  autoDetect_->Show();
  HideMain();
  searching_ = true;
  autoDetect_->SetVisible(AutoDetectControl::AbortCmd, true);
  autoDetect_->SetVisible(AutoDetectControl::OKCmd, false);
  main_->SetEnabled(MainControl::OK, false);
  main_->SetEnabled(MainControl::ResetPIC, false);
  abortRequested_ = false;

  std::string_view stateText = text::kNotConnected;
  std::string deviceText(text::kNoDevice);
  if (const auto answer = link::BootloaderClient(link_).Version(); answer.ok()) {
    stateText = text::kConnected;
    deviceText = link::VersionText(answer.version);
    deviceConnected_ = true;
    main_->SetEnabled(MainControl::ResetPIC, true);
    main_->SetText(MainControl::Label0, text::kDeviceFoundText);
    EnableUpdateIfReady();
  }

  autoDetect_->SetText(AutoDetectControl::Label1, stateText);
  autoDetect_->SetText(AutoDetectControl::Label2, deviceText);
  autoDetect_->SetVisible(AutoDetectControl::AbortCmd, false);
  autoDetect_->SetVisible(AutoDetectControl::OKCmd, true);
  autoDetect_->Focus(AutoDetectControl::OKCmd);
  searching_ = false;
}

void Application::ResetPIC_Click() {
  const Exclusive scope(*this);
  if (!scope || !main_) {
    return;
  }
  link::BootloaderClient(link_).Reset();  // the result does not matter

  if (Checked(MenuCommand::Repeate)) {
    // Ready for the next device.
    deviceConnected_ = false;
    main_->SetEnabled(MainControl::OK, false);
    main_->SetEnabled(MainControl::ResetPIC, false);
  } else {
    Form_Unload();  // takes effect as this handler returns
  }
}

void Application::OK_Click() {
  const Exclusive scope(*this);
  if (!scope) {
    return;
  }
  RunWindows windows(*this);
  const update::UpdateSelections selections{[this] { return Checked(MenuCommand::FLASH); },
                                            [this] { return Checked(MenuCommand::EEDATA); }};
  const update::UpdateOutcome outcome =
      update::RunUpdate(image_, link_, selections, update::StopToken(abortRequested_), windows);
  // The result window's second line says why a run failed; after a success it is empty.
  if (complete_ && !unloadPending_) {
    complete_->SetText(CompleteControl::Label2, update::FailureReason(outcome));
  }
}

void Application::Form_Unload() {
  if (ended_) {
    return;
  }
  abortRequested_ = true;  // an update run still going stops after its packet
  if (busy_) {
    unloadPending_ = true;
    return;
  }
  UnloadEverything();
}

void Application::UnloadEverything() {
  if (ended_) {
    return;
  }
  ended_ = true;
  autoDetect_.reset();
  updating_.reset();
  complete_.reset();
  info_.reset();
  main_.reset();
  desktop_.Quit();
}

void Application::ShowMain() {
  if (main_) {
    main_->Show();
  }
}

void Application::HideMain() {
  if (main_) {
    main_->Hide();
  }
}

template <typename View>
void Application::PlaceOverMain(View& window) {
  if (main_) {
    window.MoveTo(main_->Position());
  }
}

// ---- Search window --------------------------------------------------------------------------

void Application::AutoDetect_AbortCmd_Click() {
  abortRequested_ = true;  // nothing in the search reads it
}

void Application::AutoDetect_OKCmd_Click() {
  const Exclusive scope(*this);
  if (!scope || !autoDetect_) {
    return;
  }
  ShowMain();
  autoDetect_.reset();
}

void Application::AutoDetect_CloseBox() {
  if (searching_) {
    AutoDetect_AbortCmd_Click();
  } else {
    AutoDetect_OKCmd_Click();
  }
}

// ---- Progress window ------------------------------------------------------------------------

void Application::ShowProgressWindow() {
  updating_ = forms_.LoadUpdatingForm(*this);
  PlaceOverMain(*updating_);
  abortRequested_ = false;
  updating_->Show();
  HideMain();
  updating_->Focus(UpdatingControl::AbortCmd);
}

void Application::Updating_AbortCmd_Click() {
  abortRequested_ = true;
}

// ---- Result window --------------------------------------------------------------------------

void Application::ShowOutcome(std::string_view text, Colour colour) {
  if (unloadPending_ || ended_) {
    updating_.reset();
    return;  // the application is being closed
  }
  // The result window stays loaded between runs: only its first showing loads and places it.
  if (!complete_) {
    complete_ = forms_.LoadUpdatingCompleteForm(*this);
    PlaceOverMain(*complete_);
    complete_->SetText(CompleteControl::Label1, "");
    complete_->SetText(CompleteControl::Label2, "");
  }
  complete_->Show();
  updating_.reset();
  HideMain();
  complete_->Focus(CompleteControl::OKCmd);
  complete_->SetTextColour(CompleteControl::Label1, colour);
  complete_->SetText(CompleteControl::Label1, text);
}

void Application::UpdatingComplete_OKCmd_Click() {
  const Exclusive scope(*this);
  if (!scope || !complete_ || !main_) {
    return;
  }
  // Kept loaded for the next run.
  ShowMain();
  complete_->Hide();
  deviceConnected_ = false;
  main_->SetEnabled(MainControl::OK, false);
  main_->SetEnabled(MainControl::ResetPIC, false);
  if (link::BootloaderClient(link_).Version().ok()) {
    main_->SetEnabled(MainControl::ResetPIC, true);
  }
}

void Application::UpdatingComplete_Form_Unload() {
  Form_Unload();
}

// ---- About window ---------------------------------------------------------------------------

void Application::Info_cmdOK_Click() {
  const Exclusive scope(*this);
  if (!scope || !info_) {
    return;
  }
  ShowMain();
  info_.reset();
}

void Application::Info_Label3_Click() {
  const Exclusive scope(*this);
  if (!scope || !info_) {
    return;
  }
  desktop_.OpenAddress(info_.get(), text::kShopAddress);
}

}  // namespace korvane::app
