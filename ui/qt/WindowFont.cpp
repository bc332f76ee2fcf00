#include "ui/qt/WindowFont.h"

#include <QFontMetrics>
#include <QStringList>
#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "app/Designs.h"
#include "app/Texts.h"
#include "ui/qt/Geometry.h"

namespace korvane::ui {

namespace {

constexpr double kReadablePointSize = 8.0;
constexpr double kSmallestPointSize = 6.0;
constexpr int kButtonMargin = 4;  // frame and padding of a push button

QFont Sized(const QFont& base, double pointSize, bool bold) {
  QFont font = base;
  font.setPointSizeF(pointSize);
  font.setBold(bold);
  return font;
}

}  // namespace

bool Fits(const QFont& font, const TextBox& box) {
  QFont f = font;
  f.setBold(box.bold);
  const QFontMetrics metrics(f);
  const QStringList lines = QString(box.text).remove(QLatin1Char('\r')).split(QLatin1Char('\n'));
  if (metrics.height() * lines.size() > box.height) {
    return false;
  }
  for (const QString& line : lines) {
    if (metrics.horizontalAdvance(line) + box.margin > box.width) {
      return false;
    }
  }
  return true;
}

QFont FitWindowFont(const QFont& base, std::span<const TextBox> boxes) {
  double top = base.pointSizeF();
  if (top <= 0) {
    // A font given in pixels: its point size at 96 dots per inch.
    top = base.pixelSize() * 72.0 / 96.0;
  }
  top = static_cast<int>(top * 2) / 2.0;  // rounded down to a half point
  const auto allFit = [&boxes](const QFont& font) {
    return std::all_of(boxes.begin(), boxes.end(),
                       [&font](const TextBox& box) { return Fits(font, box); });
  };
  const auto search = [&](int stretch, double from, double to) -> std::optional<QFont> {
    for (double size = from; size >= to; size -= 0.5) {
      QFont font = Sized(base, size, false);
      font.setStretch(stretch);
      if (allFit(font)) {
        return font;
      }
    }
    return std::nullopt;
  };
  // The desktop's font at a readable size; else its narrower cut at a readable size (wide
  // families such as DejaVu Sans need it); else smaller sizes.
  for (const int stretch :
       {int(QFont::Unstretched), int(QFont::SemiCondensed), int(QFont::Condensed)}) {
    if (auto font = search(stretch, top, kReadablePointSize)) {
      return *font;
    }
  }
  if (auto font =
          search(QFont::Unstretched, std::min(top, kReadablePointSize - 0.5), kSmallestPointSize)) {
    return *font;
  }
  return Sized(base, kSmallestPointSize, false);
}

std::span<const TextBox> WindowTextBoxes() {
  namespace text = app::text;
  static const std::vector<TextBox> boxes = [] {
    std::vector<TextBox> b;
    const auto add = [&b](std::string_view t, const app::ControlDesign& control) {
      const QRect rect = ToRect(control.rect);
      const bool button = control.kind == app::ControlKind::Button;
      b.push_back(
          {ToQString(t), rect.width(), rect.height(), control.bold, button ? kButtonMargin : 0});
    };
    // The texts the windows are drawn with...
    for (const app::FormDesign& form : app::Designs()) {
      for (const app::ControlDesign& control : form.controls) {
        if (!control.text.empty()) {
          add(control.text, control);
        }
      }
    }
    // ... and the longest of those the handlers and the update run write.
    using M = app::MainControl;
    using S = app::AutoDetectControl;
    using U = app::UpdatingControl;
    using R = app::CompleteControl;
    using I = app::InfoControl;
    add(text::kStartText, app::DesignOf(M::Label0));
    add(text::kFileOpenedText, app::DesignOf(M::Label0));
    add(text::kReadyText, app::DesignOf(M::Label0));
    add(text::kNotLoaded, app::DesignOf(M::Label1));
    add(text::kNotConnected, app::DesignOf(S::Label1));
    add(text::kNoDevice, app::DesignOf(S::Label2));
    add(text::kConnected, app::DesignOf(S::Label1));
    add("USB-Bootloader  15. 15 15 detected ", app::DesignOf(S::Label2));
    add(text::kOKButton, app::DesignOf(S::OKCmd));
    add("Dextrel Device", app::DesignOf(U::Label1));
    add("Error in program data found...", app::DesignOf(U::Label2));
    add("Writing program data...", app::DesignOf(U::Label2));
    add("The update was not successful.", app::DesignOf(R::Label1));
    add("EEPROM verify at 0xE0: the device did not answer in time.", app::DesignOf(R::Label2));
    add(text::kVersionLine, app::DesignOf(I::Label1));
    add(std::string(text::kRightsNotice) + " 2099", app::DesignOf(I::Label2));
    return b;
  }();
  return boxes;
}

}  // namespace korvane::ui
