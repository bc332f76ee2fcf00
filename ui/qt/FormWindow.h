#pragma once

#include <QDialog>
#include <QLabel>
#include <cstdint>

class QCloseEvent;

namespace korvane::ui {

// Sets a label's text colour from a Windows colour value (0x00BBGGRR).
void SetTextColour(QWidget* widget, std::uint32_t colour);
// The label's text colour as a Windows colour value.
std::uint32_t TextColour(const QWidget* widget);

// A fixed-size window with a title bar and a close box but no minimise or maximise box. It never
// closes itself: the close box and Esc are handed to the application as signals.
class FormWindow : public QDialog {
  Q_OBJECT
 public:
  explicit FormWindow(const QString& objectName, const QString& caption, const QIcon& icon,
                      int clientWidth, int clientHeight, QWidget* parent = nullptr);

 signals:
  void closeRequested();
  void escapePressed();

 protected:
  void closeEvent(QCloseEvent* event) override;
  void reject() override;

  // A label at its designed place, text at the top left as the window designer draws it.
  QLabel* AddLabel(const QString& name, const QRect& rect, const QString& text = {});
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
