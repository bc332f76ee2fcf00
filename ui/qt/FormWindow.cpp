#include "ui/qt/FormWindow.h"

#include <QCloseEvent>
#include <QMouseEvent>
#include <QProgressBar>
#include <QPushButton>

#include "ui/qt/Geometry.h"
#include "ui/qt/QtForm.h"

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

std::vector<QWidget*> BuildControls(QWidget* client, const app::FormDesign& design,
                                    const QIcon& icon) {
  std::vector<QWidget*> controls(static_cast<std::size_t>(design.ControlSlots()), nullptr);
  for (const app::ControlDesign& control : design.controls) {
    QWidget* widget = nullptr;
    switch (control.kind) {
      case app::ControlKind::Label: {
        // Text at the top left, as the window designer draws it.
        QLabel* label = control.link ? new ClickableLabel(client) : new QLabel(client);
        label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        label->setTextFormat(Qt::PlainText);
        label->setText(ToQString(control.text));
        if (control.link) {
          label->setCursor(Qt::PointingHandCursor);
        }
        widget = label;
        break;
      }
      case app::ControlKind::Button: {
        auto* button = new QPushButton(ToQString(control.text), client);
        // Enter presses the button that has the focus, and the default button.
        button->setAutoDefault(true);
        button->setDefault(design.defaultButton == control.id);
        widget = button;
        break;
      }
      case app::ControlKind::ProgressBar: {
        auto* bar = new QProgressBar(client);
        bar->setRange(0, 100);
        bar->setValue(0);
        bar->setTextVisible(false);
        bar->setFocusPolicy(Qt::NoFocus);
        widget = bar;
        break;
      }
      case app::ControlKind::Picture: {
        auto* picture = new QLabel(client);
        picture->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        picture->setPixmap(icon.pixmap(ToRect(control.rect).size()));
        widget = picture;
        break;
      }
    }
    widget->setObjectName(ToQString(control.name));
    widget->setGeometry(ToRect(control.rect));
    if (!control.visible) {
      widget->setVisible(false);
    }
    if (!control.enabled) {
      widget->setEnabled(false);
    }
    if (control.bold) {
      QFont font = widget->font();
      font.setBold(true);
      widget->setFont(font);
    }
    if (control.colour) {
      SetTextColour(widget, *control.colour);
    }
    controls[static_cast<std::size_t>(control.id)] = widget;
  }
  return controls;
}

FormWindow::FormWindow(const app::FormDesign& design, const QIcon& icon, QWidget* parent)
    : QDialog(parent, Qt::Window | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                          Qt::CustomizeWindowHint) {
  setObjectName(ToQString(design.name));
  setWindowTitle(ToQString(design.caption));
  setWindowIcon(icon);
  setFixedSize(Px(design.clientWidth), Px(design.clientHeight));
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

void ClickableLabel::mouseReleaseEvent(QMouseEvent* event) {
  QLabel::mouseReleaseEvent(event);
  if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint())) {
    emit clicked();
  }
}

}  // namespace korvane::ui
