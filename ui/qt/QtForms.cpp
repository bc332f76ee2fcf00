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

// Clicks on the window's buttons and link labels go to the application.
template <typename Form>
void ForwardClicks(Form* form, app::Application& app) {
  const app::FormDesign& design = Form::Design();
  for (const app::ControlDesign& control : design.controls) {
    const auto click = [&app, window = design.id, id = control.id] { app.OnControl(window, id); };
    QWidget* widget = form->Widget(control.id);
    if (auto* button = qobject_cast<QPushButton*>(widget)) {
      QObject::connect(button, &QPushButton::clicked, form, click);
    } else if (auto* link = qobject_cast<ClickableLabel*>(widget)) {
      QObject::connect(link, &ClickableLabel::clicked, form, click);
    }
  }
}

// A top-level window owns itself: it is freed through the event loop when it is unloaded.
template <typename Form, typename View>
app::FormPtr<View> LoadDialog(const QFont& font, const QIcon& icon, app::Application& app) {
  auto* form = new Form(icon);
  form->setFont(font);
  ForwardClicks(form, app);
  const app::FormDesign& design = Form::Design();
  QObject::connect(form, &FormWindow::closeRequested, form,
                   [&app, window = design.id] { app.OnClose(window); });
  if (const std::optional<int> cancel = design.cancelButton) {
    QObject::connect(form, &FormWindow::escapePressed, form,
                     [&app, window = design.id, id = *cancel] { app.OnControl(window, id); });
  }
  return app::FormPtr<View>(form);
}

}  // namespace

QtForms::QtForms()
    : font_(FitWindowFont(QApplication::font(), WindowTextBoxes())),
      appIcon_(LoadIcon(QStringLiteral("korvane"))),
      updateIcon_(LoadIcon(QStringLiteral("korvane-update"))) {}

const QIcon& QtForms::Icon(const app::FormDesign& design) const {
  return design.icon == app::FormIcon::Update ? updateIcon_ : appIcon_;
}

app::FormPtr<app::MainView> QtForms::LoadMainForm(app::Application& app) {
  auto* form = new MainForm(Icon(MainForm::Design()), font_);
  form->setFont(font_);
  ForwardClicks(form, app);
  for (int i = 0; i < app::kMenuCommandCount; ++i) {
    const auto command = static_cast<app::MenuCommand>(i);
    if (QAction* item = form->Item(command)) {
      QObject::connect(item, &QAction::triggered, form, [&app, command] { app.OnMenu(command); });
    }
  }
  QObject::connect(form, &MainForm::closeRequested, form,
                   [&app] { app.OnClose(app::FormId::Main); });
  return app::FormPtr<app::MainView>(form);
}

app::FormPtr<app::AutoDetectView> QtForms::LoadAutoDetectForm(app::Application& app) {
  return LoadDialog<AutoDetectForm, app::AutoDetectView>(font_, Icon(AutoDetectForm::Design()),
                                                         app);
}

app::FormPtr<app::UpdatingView> QtForms::LoadUpdatingForm(app::Application& app) {
  return LoadDialog<UpdatingForm, app::UpdatingView>(font_, Icon(UpdatingForm::Design()), app);
}

app::FormPtr<app::CompleteView> QtForms::LoadUpdatingCompleteForm(app::Application& app) {
  return LoadDialog<UpdatingCompleteForm, app::CompleteView>(
      font_, Icon(UpdatingCompleteForm::Design()), app);
}

app::FormPtr<app::InfoView> QtForms::LoadInfoForm(app::Application& app) {
  return LoadDialog<InfoForm, app::InfoView>(font_, Icon(InfoForm::Design()), app);
}

}  // namespace korvane::ui
