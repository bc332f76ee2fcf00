#include "ui/qt/QtForms.h"

#include <QApplication>
#include <QFile>

#include "ui/qt/WindowFont.h"

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

// A top-level window owns itself: it is freed through the event loop when it is unloaded.
template <typename Form, typename View, typename... Args>
app::FormPtr<View> MakeForm(const QFont& font, Args&&... args) {
  auto* form = new Form(std::forward<Args>(args)...);
  form->setFont(font);
  return app::FormPtr<View>(form);
}

}  // namespace

QtForms::QtForms()
    : font_(FitWindowFont(QApplication::font(), WindowTextBoxes())),
      appIcon_(LoadIcon(QStringLiteral("korvane"))),
      updateIcon_(LoadIcon(QStringLiteral("korvane-update"))) {}

app::FormPtr<app::MainView> QtForms::LoadMainForm(app::Application& app) {
  auto view = MakeForm<MainForm, app::MainView>(font_, appIcon_, font_);
  MainForm* form = QtWindow(view.get());
  const auto on = [form, &app](QAction* action, void (app::Application::*handler)()) {
    QObject::connect(action, &QAction::triggered, form, [&app, handler] { (app.*handler)(); });
  };
  on(form->mnu_Open, &app::Application::mnu_Open_Click);
  on(form->mnu_Exit, &app::Application::mnu_Exit_Click);
  on(form->mnu_About, &app::Application::mnu_About_Click);
  on(form->mnu_FLASH, &app::Application::mnu_FLASH_Click);
  on(form->mnu_EEDATA, &app::Application::mnu_EEDATA_Click);
  on(form->mnu_CONFIG, &app::Application::mnu_CONFIG_Click);
  on(form->mnu_USERID, &app::Application::mnu_USERID_Click);
  on(form->mnu_Repeate, &app::Application::mnu_Repeate_Click);
  QObject::connect(form->AutoDetectCmd, &QPushButton::clicked, form,
                   [&app] { app.AutoDetectCmd_Click(); });
  QObject::connect(form->ResetPIC, &QPushButton::clicked, form, [&app] { app.ResetPIC_Click(); });
  QObject::connect(form->OK, &QPushButton::clicked, form, [&app] { app.OK_Click(); });
  QObject::connect(form, &MainForm::closeRequested, form, [&app] { app.Form_Unload(); });
  return view;
}

app::FormPtr<app::AutoDetectView> QtForms::LoadAutoDetectForm(app::Application& app) {
  auto view = MakeForm<AutoDetectForm, app::AutoDetectView>(font_, appIcon_);
  AutoDetectForm* form = QtWindow(view.get());
  QObject::connect(form->OKCmd, &QPushButton::clicked, form,
                   [&app] { app.AutoDetect_OKCmd_Click(); });
  QObject::connect(form->AbortCmd, &QPushButton::clicked, form,
                   [&app] { app.AutoDetect_AbortCmd_Click(); });
  QObject::connect(form, &FormWindow::closeRequested, form, [&app] { app.AutoDetect_CloseBox(); });
  return view;
}

app::FormPtr<app::UpdatingView> QtForms::LoadUpdatingForm(app::Application& app) {
  auto view = MakeForm<UpdatingForm, app::UpdatingView>(font_, updateIcon_);
  UpdatingForm* form = QtWindow(view.get());
  QObject::connect(form->AbortCmd, &QPushButton::clicked, form,
                   [&app] { app.Updating_AbortCmd_Click(); });
  QObject::connect(form, &FormWindow::closeRequested, form,
                   [&app] { app.Updating_AbortCmd_Click(); });
  return view;
}

app::FormPtr<app::CompleteView> QtForms::LoadUpdatingCompleteForm(app::Application& app) {
  auto view = MakeForm<UpdatingCompleteForm, app::CompleteView>(font_, updateIcon_);
  UpdatingCompleteForm* form = QtWindow(view.get());
  QObject::connect(form->OKCmd, &QPushButton::clicked, form,
                   [&app] { app.UpdatingComplete_OKCmd_Click(); });
  QObject::connect(form, &FormWindow::closeRequested, form,
                   [&app] { app.UpdatingComplete_Form_Unload(); });
  return view;
}

app::FormPtr<app::InfoView> QtForms::LoadInfoForm(app::Application& app) {
  auto view = MakeForm<InfoForm, app::InfoView>(font_, appIcon_);
  InfoForm* form = QtWindow(view.get());
  QObject::connect(form->cmdOK, &QPushButton::clicked, form, [&app] { app.Info_cmdOK_Click(); });
  QObject::connect(form->Label3, &ClickableLabel::clicked, form,
                   [&app] { app.Info_Label3_Click(); });
  // Esc and the close box act like the OK button.
  QObject::connect(form, &FormWindow::escapePressed, form, [&app] { app.Info_cmdOK_Click(); });
  QObject::connect(form, &FormWindow::closeRequested, form, [&app] { app.Info_cmdOK_Click(); });
  return view;
}

}  // namespace korvane::ui
