#include "ui/Forms.h"

#include "image/UpdateFileLoader.h"
#include "ui/Layout.h"
#include "ui/Texts.h"

namespace korvane::ui {

namespace {

QPushButton* AddButton(QWidget* parent, const QString& name, const QString& caption,
                       const QRect& rect) {
  auto* button = new QPushButton(caption, parent);
  button->setObjectName(name);
  button->setGeometry(rect);
  return button;
}

void MakeBold(QLabel* label) {
  QFont font = label->font();
  font.setBold(true);
  label->setFont(font);
}

constexpr std::uint32_t kLinkBlue = 0x00FF0000;  // Windows colour values 0x00BBGGRR
constexpr std::uint32_t kBlack = 0x00000000;

const int kFormWidth = Px(kFormWidthTwips);
const int kFormHeight = Px(kFormHeightTwips);

}  // namespace

AutoDetectForm::AutoDetectForm(const QIcon& icon, QWidget* parent)
    : FormWindow(QStringLiteral("AutoDetectForm"), text::kAutoDetectCaption, icon, kFormWidth,
                 kFormHeight, parent) {
  Label1 = AddLabel(QStringLiteral("Label1"), layout::autodetect::Label1);
  Label2 = AddLabel(QStringLiteral("Label2"), layout::autodetect::Label2, text::kSearching);
  AbortCmd = AddButton(this, QStringLiteral("AbortCmd"), QStringLiteral("Abort"),
                       layout::autodetect::AbortCmd);
  AbortCmd->setVisible(false);
  OKCmd = AddButton(this, QStringLiteral("OKCmd"), QStringLiteral("OK"), layout::autodetect::OKCmd);
  OKCmd->setVisible(false);
  setTabOrder(AbortCmd, OKCmd);
}

UpdatingForm::UpdatingForm(const QIcon& icon, QWidget* parent)
    : FormWindow(QStringLiteral("UpdatingForm"), text::kUpdatingCaption, icon, kFormWidth,
                 kFormHeight, parent) {
  AbortCmd = AddButton(this, QStringLiteral("AbortCmd"), QStringLiteral("Abort"),
                       layout::updating::AbortCmd);
  Label2 = AddLabel(QStringLiteral("Label2"), layout::updating::Label2);
  Label1 = AddLabel(QStringLiteral("Label1"), layout::updating::Label1);
  UpdatingBar = new QProgressBar(this);
  UpdatingBar->setObjectName(QStringLiteral("UpdatingBar"));
  UpdatingBar->setGeometry(layout::updating::UpdatingBar);
  UpdatingBar->setRange(0, 100);
  UpdatingBar->setValue(0);
  UpdatingBar->setTextVisible(false);
  UpdatingBar->setFocusPolicy(Qt::NoFocus);
  AbortCmd->setDefault(true);
  AbortCmd->setFocus();
}

void UpdatingForm::SetProgressBarColor(std::uint32_t colour) {
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
    : FormWindow(QStringLiteral("UpdatingCompleteForm"), text::kCompleteCaption, icon, kFormWidth,
                 kFormHeight, parent) {
  OKCmd = AddButton(this, QStringLiteral("OKCmd"), QStringLiteral("OK"), layout::complete::OKCmd);
  Label2 = AddLabel(QStringLiteral("Label2"), layout::complete::Label2);
  Label1 = AddLabel(QStringLiteral("Label1"), layout::complete::Label1);
  MakeBold(Label1);
  SetTextColour(Label1, image::kColourGreen);
  OKCmd->setDefault(true);
  OKCmd->setFocus();
}

InfoForm::InfoForm(const QIcon& icon, QWidget* parent)
    : FormWindow(QStringLiteral("InfoForm"), text::kAboutCaption, icon, kFormWidth, kFormHeight,
                 parent) {
  cmdOK = AddButton(this, QStringLiteral("cmdOK"), QStringLiteral("OK"), layout::info::cmdOK);
  // Enter presses it as the default button; Esc reaches it through escapePressed.
  cmdOK->setDefault(true);
  picIcon = AddLabel(QStringLiteral("picIcon"), layout::info::picIcon);
  picIcon->setPixmap(icon.pixmap(layout::info::picIcon.size()));
  Label1 = AddLabel(QStringLiteral("Label1"), layout::info::Label1);
  Label3 = new ClickableLabel(text::kShopAddress, this);
  Label3->setObjectName(QStringLiteral("Label3"));
  Label3->setGeometry(layout::info::Label3);
  Label3->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  Label3->setTextFormat(Qt::PlainText);
  Label3->setCursor(Qt::PointingHandCursor);
  SetTextColour(Label3, kLinkBlue);
  Label2 = AddLabel(QStringLiteral("Label2"), layout::info::Label2);
  SetTextColour(Label2, kBlack);
  cmdOK->setFocus();
}

}  // namespace korvane::ui
