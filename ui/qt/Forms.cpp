#include "ui/qt/Forms.h"

namespace korvane::ui {

void UpdatingForm::SetBarColour(app::Colour colour) {
  barColour_ = colour;
  const QColor c = WindowsColour(colour);
  Bar()->setStyleSheet(
      QStringLiteral("QProgressBar { border: 1px solid palette(mid); background: palette(base); }"
                     " QProgressBar::chunk { background-color: %1; }")
          .arg(c.name()));
}

void UpdatingForm::SetBarValue(float value) {
  barValue_ = value;
  Bar()->setValue(qRound(value));
}

}  // namespace korvane::ui
