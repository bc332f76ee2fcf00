#pragma once

#include <QAbstractButton>
#include <QDialog>
#include <QLabel>
#include <QPushButton>
#include <array>
#include <cstddef>

#include "app/Forms.h"
#include "ui/qt/FormWindow.h"
#include "ui/qt/Geometry.h"

namespace korvane::ui {

// One window as the handlers see it: `Widget` is its Qt window class, `View` the handlers'
// interface. Each control name is bound to its widget once, when the window is built; the
// requests then act on that widget.
template <typename Widget, typename View>
class QtForm : public Widget, public View {
 public:
  using Control = typename View::Control;
  using Widget::Widget;

  void Show() override { Widget::show(); }
  void Hide() override { Widget::hide(); }
  bool IsVisible() const override { return Widget::isVisible(); }
  app::ScreenPoint Position() const override {
    const QPoint corner = Widget::pos();  // the frame's top-left corner
    return {corner.x(), corner.y()};
  }
  void MoveTo(app::ScreenPoint corner) override { Widget::move(corner.x, corner.y); }
  app::ScreenSize Size() const override {
    const QSize size = Widget::frameGeometry().size();
    return {size.width(), size.height()};
  }
  // A window may be unloaded from one of its own events: it goes when control is back in the
  // event loop.
  void Unload() override {
    Widget::hide();
    Widget::deleteLater();
  }

  void SetText(Control control, std::string_view text) override {
    QWidget* widget = Get(control);
    if (auto* label = qobject_cast<QLabel*>(widget)) {
      label->setText(ToQString(text));
    } else if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
      button->setText(ToQString(text));
    }
  }
  void SetTextColour(Control control, app::Colour colour) override {
    ui::SetTextColour(Get(control), colour);
  }
  void SetBold(Control control, bool bold) override {
    QWidget* widget = Get(control);
    QFont font = widget->font();
    font.setBold(bold);
    widget->setFont(font);
  }
  void SetEnabled(Control control, bool enabled) override { Get(control)->setEnabled(enabled); }
  void SetVisible(Control control, bool visible) override { Get(control)->setVisible(visible); }
  void Focus(Control control) override {
    QWidget* widget = Get(control);
    // In a dialog window the focused button is also the one Enter presses.
    if (auto* button = qobject_cast<QPushButton*>(widget);
        button != nullptr && qobject_cast<QDialog*>(widget->window()) != nullptr) {
      button->setDefault(true);
    }
    widget->setFocus();
  }

 protected:
  void Bind(Control control, QWidget* widget) { controls_[Index(control)] = widget; }
  QWidget* Get(Control control) const { return controls_[Index(control)]; }

 private:
  static std::size_t Index(Control control) { return static_cast<std::size_t>(control); }
  std::array<QWidget*, 5> controls_{};
};

}  // namespace korvane::ui
