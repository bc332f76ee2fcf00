#include "ui/Application.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDate>
#include <QEvent>
#include <QFile>
#include <QGuiApplication>
#include <QScreen>
#include <QUrl>

#include "ui/Texts.h"
#include "ui/WindowFont.h"
#include "update/UpdateRun.h"

namespace korvane::ui {

namespace {

QIcon LoadIcon(const QString& name) {
  QIcon icon;
  for (int size : {16, 32, 48, 256}) {
    const QString file = QStringLiteral(":/icons/%1-%2.png").arg(name).arg(size);
    if (QFile::exists(file)) {
      icon.addFile(file, QSize(size, size));
    }
  }
  return icon;
}

QString ToQString(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

template <typename T>
void Unload(WindowPtr<T>& window) {
  if (window) {
    window->hide();
    window.reset();
  }
}

}  // namespace

// The progress and result windows as the update run sees them.
class Application::RunWindows final : public update::UpdateObserver {
 public:
  explicit RunWindows(Application& app) : app_(app) {}

  void ShowProgress() override {
    if (!app_.updating_) {
      app_.LoadUpdatingForm();
    }
    app_.updating_->show();
    app_.updating_->AbortCmd->setFocus();
  }
  void SetDeviceLine(std::string_view text) override {
    if (auto* form = app_.updating_.get()) {
      form->Label1->setText(ToQString(text));
    }
  }
  void SetStageText(std::string_view text) override {
    if (auto* form = app_.updating_.get()) {
      form->Label2->setText(ToQString(text));
    }
  }
  void SetStageColour(std::uint32_t colour) override {
    if (auto* form = app_.updating_.get()) {
      SetTextColour(form->Label2, colour);
    }
  }
  void SetProgressBarColor(std::uint32_t colour) override {
    if (auto* form = app_.updating_.get()) {
      form->SetProgressBarColor(colour);
    }
  }
  void SetBarValue(float value) override {
    if (auto* form = app_.updating_.get()) {
      form->SetBarValue(value);
    }
  }
  void ProcessPendingEvents() override { QCoreApplication::processEvents(); }
  void ShowOutcome(std::string_view text, std::uint32_t colour) override {
    Unload(app_.updating_);
    if (app_.ended_) {
      return;  // the application was closed while the run went on
    }
    // The result window stays loaded between runs: only its first showing loads and places it.
    if (!app_.complete_) {
      app_.LoadUpdatingCompleteForm();
    }
    app_.complete_->show();
    app_.complete_->OKCmd->setFocus();
    SetTextColour(app_.complete_->Label1, colour);
    app_.complete_->Label1->setText(ToQString(text));
  }

 private:
  Application& app_;
};

Application::Application(Platform& platform, std::unique_ptr<link::UsbLibrary> library,
                         QString openDirectory, QObject* parent)
    : QObject(parent),
      platform_(platform),
      library_(std::move(library)),
      openDirectory_(std::move(openDirectory)),
      link_(*library_, *this),
      font_(FitWindowFont(QApplication::font(), WindowTextBoxes())),
      appIcon_(LoadIcon(QStringLiteral("korvane"))),
      updateIcon_(LoadIcon(QStringLiteral("korvane-update"))) {}

Application::~Application() {
  abortRequested_ = true;
  main_.reset();
  autoDetect_.reset();
  updating_.reset();
  complete_.reset();
  info_.reset();
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

bool Application::Start() {
  // A second copy says so and ends before anything else happens.
  if (!platform_.ClaimSingleInstance()) {
    platform_.ShowMessageBox(nullptr, text::kAlreadyRunning, text::kAlreadyRunningTitle,
                             MessageIcon::Warning);
    ended_ = true;
    return false;
  }

  main_ = MakeWindow<MainForm>(platform_, appIcon_, font_);
  MainForm& form = *main_;

  // Centred on the screen.
  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    const QRect area = screen->availableGeometry();
    form.move(area.x() + area.width() / 2 - form.width() / 2,
              area.y() + area.height() / 2 - form.height() / 2);
  }

  link_.InitPipes();
  form.OK->setEnabled(false);
  form.ResetPIC->setEnabled(false);
  form.SetStatusLabel(text::kNotLoaded.toStdString(), image::kColourRed, true);
  form.AutoDetectCmd->setEnabled(true);
  fileLoaded_ = false;
  deviceConnected_ = false;
  form.Label0->setText(text::kStartText);

  connect(form.mnu_Open, &QAction::triggered, this, &Application::mnu_Open_Click);
  connect(form.mnu_Exit, &QAction::triggered, this, &Application::Form_Unload);
  connect(form.mnu_About, &QAction::triggered, this, &Application::mnu_About_Click);
  connect(form.AutoDetectCmd, &QPushButton::clicked, this, &Application::AutoDetectCmd_Click);
  connect(form.ResetPIC, &QPushButton::clicked, this, &Application::ResetPIC_Click);
  connect(form.OK, &QPushButton::clicked, this, &Application::OK_Click);
  connect(&form, &MainForm::closeRequested, this, &Application::Form_Unload);

  form.show();
  form.AutoDetectCmd->setFocus();
  return true;
}

void Application::ShowLinkMessage(std::string_view text) {
  platform_.ShowMessageBox(MessageOwner(), ToQString(text), text::kAppTitle, MessageIcon::None);
}

QWidget* Application::MessageOwner() const {
  for (QWidget* window :
       {static_cast<QWidget*>(autoDetect_.get()), static_cast<QWidget*>(updating_.get()),
        static_cast<QWidget*>(complete_.get()), static_cast<QWidget*>(info_.get()),
        static_cast<QWidget*>(main_.get())}) {
    if (window && window->isVisible()) {
      return window;
    }
  }
  return nullptr;
}

// ---- Main window ----------------------------------------------------------------------------

void Application::mnu_Open_Click() {
  const QString path =
      platform_.GetOpenFileName(main_.get(), text::kOpenTitle, text::kOpenFilter, openDirectory_);
  if (path.isEmpty() || !main_) {
    return;  // cancelled: nothing changes
  }
  updateFilePath_ = path;
  image::UpdateFileLoader loader(image_, *main_);
  const image::LoadResult result = loader.LoadUpdateFile(updateFilePath_.toStdString());
  if (!main_ || !result.loaded) {
    // The file could not be read: the loader has said why, and the image, the status line and
    // the flags stay as they were.
    return;
  }
  fileLoaded_ = true;
  main_->Label0->setText(text::kFileOpenedText);
  EnableUpdateIfReady();
}

void Application::EnableUpdateIfReady() {
  if (fileLoaded_ && deviceConnected_) {
    main_->OK->setEnabled(true);
    main_->Label0->setText(text::kReadyText);
  }
}

void Application::mnu_About_Click() {
  LoadInfoForm();
  info_->show();
  info_->cmdOK->setFocus();
}

bool Application::QueryVersion(link::PacketBuffer& reply) {
  link::PacketBuffer request{};
  const std::int32_t requestLength = link::BuildVersionQuery(request);
  std::int32_t replyLength = link::kVersionReplyLength;
  const link::PacketOutcome outcome = link_.SendPacket(request, requestLength, reply, replyLength);
  return outcome.sent && outcome.result == link::ExchangeResult::Complete;
}

void Application::AutoDetectCmd_Click() {
  // The whole search runs here, without letting other events in: the search window shows its
  // final texts and its OK button by the time the user can act on it.
  LoadAutoDetectForm();
  autoDetect_->show();
  autoDetect_->AbortCmd->setVisible(true);
  autoDetect_->OKCmd->setVisible(false);
  main_->OK->setEnabled(false);
  main_->ResetPIC->setEnabled(false);
  abortRequested_ = false;

  QString stateText = text::kNotConnected;
  QString deviceText = text::kNoDevice;
  link::PacketBuffer reply{};
  if (QueryVersion(reply) && main_) {
    stateText = text::kConnected;
    deviceText = QString::fromStdString(link::VersionText(reply));
    deviceConnected_ = true;
    main_->ResetPIC->setEnabled(true);
    main_->Label0->setText(text::kDeviceFoundText);
    EnableUpdateIfReady();
  }

  if (!autoDetect_) {
    return;  // everything was closed while a link message was open
  }
  autoDetect_->Label1->setText(stateText);
  autoDetect_->Label2->setText(deviceText);
  autoDetect_->AbortCmd->setVisible(false);
  autoDetect_->OKCmd->setVisible(true);
  autoDetect_->OKCmd->setDefault(true);
  autoDetect_->OKCmd->setFocus();
}

void Application::ResetPIC_Click() {
  link::PacketBuffer request{};
  link::PacketBuffer reply{};
  const std::int32_t requestLength = link::BuildDeviceReset(request);
  std::int32_t replyLength = link::kResetReplyLength;
  link_.SendPacket(request, requestLength, reply, replyLength);  // the result does not matter

  if (!main_) {
    return;
  }
  if (main_->mnu_Repeate->isChecked()) {
    // Ready for the next device.
    deviceConnected_ = false;
    main_->OK->setEnabled(false);
    main_->ResetPIC->setEnabled(false);
  } else {
    Form_Unload();
  }
}

void Application::OK_Click() {
  RunWindows windows(*this);
  const update::UpdateSelections selections{
      [this] { return main_ && main_->mnu_FLASH->isChecked(); },
      [this] { return main_ && main_->mnu_EEDATA->isChecked(); }};
  update::RunUpdate(image_, link_, selections, abortRequested_, windows);
}

void Application::Form_Unload() {
  if (unloading_ || ended_) {
    return;
  }
  unloading_ = true;
  abortRequested_ = true;  // an update run still going stops after its packet
  Unload(autoDetect_);
  Unload(updating_);
  Unload(complete_);
  Unload(info_);
  Unload(main_);
  ended_ = true;
  emit ended();
}

void Application::ShowMain() {
  if (main_) {
    main_->show();
  }
}

void Application::PlaceOverMain(QWidget* window) {
  window->setFont(font_);
  if (main_) {
    const QPoint corner = main_->pos();  // the frame's top-left corner
    main_->hide();
    window->move(corner);
  }
}

// ---- Search window --------------------------------------------------------------------------

void Application::LoadAutoDetectForm() {
  Unload(autoDetect_);
  autoDetect_ = MakeWindow<AutoDetectForm>(appIcon_);
  PlaceOverMain(autoDetect_.get());
  AutoDetectForm* form = autoDetect_.get();
  connect(form->OKCmd, &QPushButton::clicked, this, &Application::AutoDetect_OKCmd_Click);
  connect(form->AbortCmd, &QPushButton::clicked, this, [this] { abortRequested_ = true; });
  // The close box acts like whichever of the two buttons is showing.
  connect(form, &FormWindow::closeRequested, this,
          [form] { (form->OKCmd->isVisible() ? form->OKCmd : form->AbortCmd)->click(); });
}

void Application::AutoDetect_OKCmd_Click() {
  Unload(autoDetect_);
  ShowMain();
}

// ---- Progress window ------------------------------------------------------------------------

void Application::LoadUpdatingForm() {
  updating_ = MakeWindow<UpdatingForm>(updateIcon_);
  PlaceOverMain(updating_.get());
  abortRequested_ = false;
  connect(updating_->AbortCmd, &QPushButton::clicked, this, &Application::Updating_AbortCmd_Click);
  // Closing the progress window asks the run to stop, as Abort does; the run unloads it.
  connect(updating_.get(), &FormWindow::closeRequested, this,
          &Application::Updating_AbortCmd_Click);
}

void Application::Updating_AbortCmd_Click() {
  abortRequested_ = true;
}

// ---- Result window --------------------------------------------------------------------------

void Application::LoadUpdatingCompleteForm() {
  complete_ = MakeWindow<UpdatingCompleteForm>(updateIcon_);
  PlaceOverMain(complete_.get());
  complete_->Label1->setText(QString());
  complete_->Label2->setText(QString());
  connect(complete_->OKCmd, &QPushButton::clicked, this,
          &Application::UpdatingComplete_OKCmd_Click);
  // Its close box ends the application.
  connect(complete_.get(), &FormWindow::closeRequested, this, &Application::Form_Unload);
}

void Application::UpdatingComplete_OKCmd_Click() {
  // Kept loaded for the next run.
  complete_->hide();
  ShowMain();
  deviceConnected_ = false;
  if (!main_) {
    return;
  }
  main_->OK->setEnabled(false);
  main_->ResetPIC->setEnabled(false);
  link::PacketBuffer reply{};
  if (QueryVersion(reply) && main_) {
    main_->ResetPIC->setEnabled(true);
  }
}

// ---- About window ---------------------------------------------------------------------------

void Application::LoadInfoForm() {
  Unload(info_);
  info_ = MakeWindow<InfoForm>(appIcon_);
  PlaceOverMain(info_.get());
  info_->Label1->setText(text::kVersionLine);
  info_->Label2->setText(text::kRightsNotice +
                         ToQString(link::NumberText(QDate::currentDate().year())));
  connect(info_->cmdOK, &QPushButton::clicked, this, &Application::Info_cmdOK_Click);
  connect(info_->Label3, &ClickableLabel::clicked, this, &Application::Info_Label3_Click);
  // Esc and the close box act like the OK button.
  connect(info_.get(), &FormWindow::escapePressed, info_->cmdOK, &QPushButton::click);
  connect(info_.get(), &FormWindow::closeRequested, info_->cmdOK, &QPushButton::click);
}

void Application::Info_cmdOK_Click() {
  Unload(info_);
  ShowMain();
}

void Application::Info_Label3_Click() {
  platform_.OpenUrl(info_.get(), QUrl(text::kShopAddress));
}

}  // namespace korvane::ui
