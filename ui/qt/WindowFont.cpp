#include "ui/qt/WindowFont.h"

#include <QFontMetrics>
#include <QStringList>
#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "app/Layout.h"
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
  namespace layout = app::layout;
  namespace text = app::text;
  static const std::vector<TextBox> boxes = [] {
    std::vector<TextBox> b;
    const auto label = [&b](std::string_view t, const app::TwipRect& r, bool bold = false) {
      const QRect rect = ToRect(r);
      b.push_back({ToQString(t), rect.width(), rect.height(), bold, 0});
    };
    const auto button = [&b](std::string_view t, const app::TwipRect& r) {
      const QRect rect = ToRect(r);
      b.push_back({ToQString(t), rect.width(), rect.height(), false, kButtonMargin});
    };
    label(text::kStartText, layout::main::Label0);
    label(text::kFileOpenedText, layout::main::Label0);
    label(text::kReadyText, layout::main::Label0);
    label(text::kNotLoaded, layout::main::Label1, true);
    button(text::kUpdateButton, layout::main::OK);
    button(text::kAutoDetectButton, layout::main::AutoDetectCmd);
    button(text::kResetButton, layout::main::ResetPIC);

    label(text::kSearching, layout::autodetect::Label2);
    label(text::kNotConnected, layout::autodetect::Label1);
    label(text::kNoDevice, layout::autodetect::Label2);
    label(text::kConnected, layout::autodetect::Label1);
    label("USB-Bootloader  15. 15 15 detected ", layout::autodetect::Label2);
    button(text::kAbortButton, layout::autodetect::AbortCmd);

    label("Dextrel Device", layout::updating::Label1);
    label("Error in program data found...", layout::updating::Label2);
    label("Writing program data...", layout::updating::Label2);
    button(text::kAbortButton, layout::updating::AbortCmd);

    label("The update was not successful.", layout::complete::Label1, true);
    label("EEPROM verify at 0xE0: the device did not answer in time.", layout::complete::Label2);
    button(text::kOKButton, layout::complete::OKCmd);

    label(text::kVersionLine, layout::info::Label1);
    label(std::string(text::kRightsNotice) + " 2099", layout::info::Label2);
    label(text::kShopAddress, layout::info::Label3);
    button(text::kOKButton, layout::info::cmdOK);
    return b;
  }();
  return boxes;
}

}  // namespace korvane::ui
