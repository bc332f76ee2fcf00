#include "ui/qt/FormWindow.h"

#include <QCloseEvent>
#include <QMouseEvent>

#include "ui/qt/Geometry.h"

namespace korvane::ui {

void SetTextColour(QWidget* widget, std::uint32_t colour) {
  QPalette palette = widget->palette();
  palette.setColor(QPalette::WindowText, WindowsColour(colour));
  widget->setPalette(palette);
}

std::uint32_t TextColour(const QWidget* widget) {
  const QColor c = widget->palette().color(QPalette::WindowText);
  return static_cast<std::uint32_t>(c.red()) | (static_cast<std::uint32_t>(c.green()) << 8) |
         (static_cast<std::uint32_t>(c.blue()) << 16);
}

FormWindow::FormWindow(const QString& objectName, const QString& caption, const QIcon& icon,
                       int clientWidth, int clientHeight, QWidget* parent)
    : QDialog(parent, Qt::Window | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                          Qt::CustomizeWindowHint) {
  setObjectName(objectName);
  setWindowTitle(caption);
  setWindowIcon(icon);
  setFixedSize(clientWidth, clientHeight);
  setSizeGripEnabled(false);
}

void FormWindow::closeEvent(QCloseEvent* event) {
  // The application decides what the close box means for this window and unloads it itself.
  event->ignore();
  emit closeRequested();
}

void FormWindow::reject() {
  emit escapePressed();
}

QLabel* FormWindow::AddLabel(const QString& name, const QRect& rect, const QString& text) {
  auto* label = new QLabel(text, this);
  label->setObjectName(name);
  label->setGeometry(rect);
  label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  label->setTextFormat(Qt::PlainText);
  return label;
}

void ClickableLabel::mouseReleaseEvent(QMouseEvent* event) {
  QLabel::mouseReleaseEvent(event);
  if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint())) {
    emit clicked();
  }
}

}  // namespace korvane::ui
