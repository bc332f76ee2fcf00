#pragma once

#include <QDialog>
#include <QLabel>
#include <cstdint>

#include "app/Designs.h"

class QCloseEvent;

namespace korvane::ui {

// Sets a label's text colour from a Windows colour value (0x00BBGGRR).
void SetTextColour(QWidget* widget, std::uint32_t colour);
// The label's text colour as a Windows colour value.
std::uint32_t TextColour(const QWidget* widget);

// A fixed-size window with a title bar and a close box but no minimise or maximise box, named,
// captioned and sized as designed. It never closes itself: the close box and Esc are handed to
// the application as signals.
class FormWindow : public QDialog {
  Q_OBJECT
 public:
  FormWindow(const app::FormDesign& design, const QIcon& icon, QWidget* parent = nullptr);

 signals:
  void closeRequested();
  void escapePressed();

 protected:
  void closeEvent(QCloseEvent* event) override;
  void reject() override;
};

// A label that reports a click of the left mouse button.
class ClickableLabel : public QLabel {
  Q_OBJECT
 public:
  using QLabel::QLabel;

 signals:
  void clicked();

 protected:
  void mouseReleaseEvent(QMouseEvent* event) override;
};

}  // namespace korvane::ui
