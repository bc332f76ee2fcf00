#include "ui/qt/Forms.h"

#include "app/Texts.h"

namespace korvane::ui {

namespace {

namespace text = app::text;
namespace layout = app::layout;

QPushButton* AddButton(QWidget* parent, const QString& name, std::string_view caption,
                       const app::TwipRect& rect) {
  auto* button = new QPushButton(ToQString(caption), parent);
  button->setObjectName(name);
  button->setGeometry(ToRect(rect));
  return button;
}

void MakeBold(QLabel* label) {
  QFont font = label->font();
  font.setBold(true);
  label->setFont(font);
}

const int kFormWidth = Px(layout::kFormWidth);
const int kFormHeight = Px(layout::kFormHeight);

}  // namespace

AutoDetectForm::AutoDetectForm(const QIcon& icon, QWidget* parent)
    : QtForm(QStringLiteral("AutoDetectForm"), ToQString(text::kAutoDetectCaption), icon,
             kFormWidth, kFormHeight, parent) {
  using C = app::AutoDetectControl;
  Label1 = AddLabel(QStringLiteral("Label1"), ToRect(layout::autodetect::Label1));
  Label2 = AddLabel(QStringLiteral("Label2"), ToRect(layout::autodetect::Label2),
                    ToQString(text::kSearching));
  AbortCmd =
      AddButton(this, QStringLiteral("AbortCmd"), text::kAbortButton, layout::autodetect::AbortCmd);
  AbortCmd->setVisible(false);
  OKCmd = AddButton(this, QStringLiteral("OKCmd"), text::kOKButton, layout::autodetect::OKCmd);
  OKCmd->setVisible(false);
  setTabOrder(AbortCmd, OKCmd);
  Bind(C::Label1, Label1);
  Bind(C::Label2, Label2);
  Bind(C::AbortCmd, AbortCmd);
  Bind(C::OKCmd, OKCmd);
}

UpdatingForm::UpdatingForm(const QIcon& icon, QWidget* parent)
    : QtForm(QStringLiteral("UpdatingForm"), ToQString(text::kUpdatingCaption), icon, kFormWidth,
             kFormHeight, parent) {
  using C = app::UpdatingControl;
  AbortCmd =
      AddButton(this, QStringLiteral("AbortCmd"), text::kAbortButton, layout::updating::AbortCmd);
  Label2 = AddLabel(QStringLiteral("Label2"), ToRect(layout::updating::Label2));
  Label1 = AddLabel(QStringLiteral("Label1"), ToRect(layout::updating::Label1));
  UpdatingBar = new QProgressBar(this);
  UpdatingBar->setObjectName(QStringLiteral("UpdatingBar"));
  UpdatingBar->setGeometry(ToRect(layout::updating::UpdatingBar));
  UpdatingBar->setRange(0, 100);
  UpdatingBar->setValue(0);
  UpdatingBar->setTextVisible(false);
  UpdatingBar->setFocusPolicy(Qt::NoFocus);
  AbortCmd->setDefault(true);
  AbortCmd->setFocus();
  Bind(C::AbortCmd, AbortCmd);
  Bind(C::Label2, Label2);
  Bind(C::Label1, Label1);
}

void UpdatingForm::SetBarColour(app::Colour colour) {
  barColour_ = colour;
  const QColor c = WindowsColour(colour);
  UpdatingBar->setStyleSheet(
      QStringLiteral("QProgressBar { border: 1px solid palette(mid); background: palette(base); }"
                     " QProgressBar::chunk { background-color: %1; }")
          .arg(c.name()));
}

void UpdatingForm::SetBarValue(float value) {
  barValue_ = value;
  UpdatingBar->setValue(qRound(value));
}

UpdatingCompleteForm::UpdatingCompleteForm(const QIcon& icon, QWidget* parent)
    : QtForm(QStringLiteral("UpdatingCompleteForm"), ToQString(text::kCompleteCaption), icon,
             kFormWidth, kFormHeight, parent) {
  using C = app::CompleteControl;
  OKCmd = AddButton(this, QStringLiteral("OKCmd"), text::kOKButton, layout::complete::OKCmd);
  Label2 = AddLabel(QStringLiteral("Label2"), ToRect(layout::complete::Label2));
  Label1 = AddLabel(QStringLiteral("Label1"), ToRect(layout::complete::Label1));
  MakeBold(Label1);
  ui::SetTextColour(Label1, app::kGreen);
  OKCmd->setDefault(true);
  OKCmd->setFocus();
  Bind(C::OKCmd, OKCmd);
  Bind(C::Label2, Label2);
  Bind(C::Label1, Label1);
}

InfoForm::InfoForm(const QIcon& icon, QWidget* parent)
    : QtForm(QStringLiteral("InfoForm"), ToQString(text::kAboutCaption), icon, kFormWidth,
             kFormHeight, parent) {
  using C = app::InfoControl;
  cmdOK = AddButton(this, QStringLiteral("cmdOK"), text::kOKButton, layout::info::cmdOK);
  // Enter presses it as the default button; Esc reaches it through escapePressed.
  cmdOK->setDefault(true);
  picIcon = AddLabel(QStringLiteral("picIcon"), ToRect(layout::info::picIcon));
  picIcon->setPixmap(icon.pixmap(ToRect(layout::info::picIcon).size()));
  Label1 = AddLabel(QStringLiteral("Label1"), ToRect(layout::info::Label1));
  Label3 = new ClickableLabel(ToQString(text::kShopAddress), this);
  Label3->setObjectName(QStringLiteral("Label3"));
  Label3->setGeometry(ToRect(layout::info::Label3));
  Label3->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  Label3->setTextFormat(Qt::PlainText);
  Label3->setCursor(Qt::PointingHandCursor);
  ui::SetTextColour(Label3, app::kLinkBlue);
  Label2 = AddLabel(QStringLiteral("Label2"), ToRect(layout::info::Label2));
  ui::SetTextColour(Label2, app::kBlack);
  cmdOK->setFocus();
  Bind(C::cmdOK, cmdOK);
  Bind(C::Label1, Label1);
  Bind(C::Label3, Label3);
  Bind(C::Label2, Label2);
}

}  // namespace korvane::ui
