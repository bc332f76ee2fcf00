#pragma once

#include <QAbstractButton>
#include <QDialog>
#include <QIcon>
#include <QLabel>
#include <QPushButton>
#include <vector>

#include "app/Designs.h"
#include "app/Forms.h"
#include "ui/qt/FormWindow.h"
#include "ui/qt/Geometry.h"

namespace korvane::ui {

// Builds the controls of `design` on `client` in tab order, as designed; returns them by their
// numbers. A picture shows `icon`.
std::vector<QWidget*> BuildControls(QWidget* client, const app::FormDesign& design,
                                    const QIcon& icon);

// One window as the handlers see it: `Base` is its Qt window class, `View` the handlers'
// interface. The controls are built from the window's design; the requests then act on them.
template <typename Base, typename View>
class QtForm : public Base, public View {
 public:
  using Control = typename View::Control;
  using Base::Base;

  static const app::FormDesign& Design() { return app::DesignOf(app::FormOf<Control>::id); }
  // The widget of a control, as built from the design.
  QWidget* Widget(Control control) const { return controls_.at(Index(control)); }
  QWidget* Widget(int id) const { return controls_.at(static_cast<std::size_t>(id)); }
  QPushButton* Button(Control control) const { return qobject_cast<QPushButton*>(Widget(control)); }
  QLabel* Label(Control control) const { return qobject_cast<QLabel*>(Widget(control)); }

  void Show() override { Base::show(); }
  void Hide() override { Base::hide(); }
  bool IsVisible() const override { return Base::isVisible(); }
  app::ScreenPoint Position() const override {
    const QPoint corner = Base::pos();  // the frame's top-left corner
    return {corner.x(), corner.y()};
  }
  void MoveTo(app::ScreenPoint corner) override { Base::move(corner.x, corner.y); }
  app::ScreenSize Size() const override {
    const QSize size = Base::frameGeometry().size();
    return {size.width(), size.height()};
  }
  // A window may be unloaded from one of its own events: it goes when control is back in the
  // event loop.
  void Unload() override {
    Base::hide();
    Base::deleteLater();
  }

  void SetText(Control control, std::string_view text) override {
    QWidget* widget = Widget(control);
    if (auto* label = qobject_cast<QLabel*>(widget)) {
      label->setText(ToQString(text));
    } else if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
      button->setText(ToQString(text));
    }
  }
  void SetTextColour(Control control, app::Colour colour) override {
    ui::SetTextColour(Widget(control), colour);
  }
  void SetBold(Control control, bool bold) override {
    QWidget* widget = Widget(control);
    QFont font = widget->font();
    font.setBold(bold);
    widget->setFont(font);
  }
  void SetEnabled(Control control, bool enabled) override { Widget(control)->setEnabled(enabled); }
  void SetVisible(Control control, bool visible) override { Widget(control)->setVisible(visible); }
  void Focus(Control control) override {
    QWidget* widget = Widget(control);
    // In a dialog window the focused button is also the one Enter presses.
    if (auto* button = qobject_cast<QPushButton*>(widget);
        button != nullptr && qobject_cast<QDialog*>(widget->window()) != nullptr) {
      button->setDefault(true);
    }
    widget->setFocus();
  }

 protected:
  void Build(QWidget* client, const QIcon& icon) {
    controls_ = BuildControls(client, Design(), icon);
  }

 private:
  static std::size_t Index(Control control) { return static_cast<std::size_t>(control); }
  std::vector<QWidget*> controls_;
};

// The search, progress, result and About windows: a dialog-style window built from its design.
template <typename View>
class DialogForm : public QtForm<FormWindow, View> {
 public:
  explicit DialogForm(const QIcon& icon) : QtForm<FormWindow, View>(DialogForm::Design(), icon) {
    this->Build(this, icon);
  }
};

}  // namespace korvane::ui
