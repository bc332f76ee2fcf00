#include "ui/WindowFont.h"

#include <QFontMetrics>
#include <QStringList>
#include <algorithm>
#include <optional>
#include <vector>

#include "ui/Layout.h"
#include "ui/Texts.h"

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
  using namespace layout;
  static const std::vector<TextBox> boxes = [] {
    std::vector<TextBox> b;
    const auto label = [&b](const QString& t, const QRect& r, bool bold = false) {
      b.push_back({t, r.width(), r.height(), bold, 0});
    };
    const auto button = [&b](const QString& t, const QRect& r) {
      b.push_back({t, r.width(), r.height(), false, kButtonMargin});
    };
    label(text::kStartText, main::Label0);
    label(text::kFileOpenedText, main::Label0);
    label(text::kReadyText, main::Label0);
    label(text::kNotLoaded, main::Label1, true);
    button(QStringLiteral("Data Update"), main::OK);
    button(QStringLiteral("Auto Detect..."), main::AutoDetectCmd);
    button(QStringLiteral("Reset PIC"), main::ResetPIC);

    label(text::kSearching, autodetect::Label2);
    label(text::kNotConnected, autodetect::Label1);
    label(text::kNoDevice, autodetect::Label2);
    label(text::kConnected, autodetect::Label1);
    label(QStringLiteral("USB-Bootloader  15. 15 15 detected "), autodetect::Label2);
    button(QStringLiteral("Abort"), autodetect::AbortCmd);

    label(QStringLiteral("Dextrel Device"), updating::Label1);
    label(QStringLiteral("Error in program data found..."), updating::Label2);
    label(QStringLiteral("Writing program data..."), updating::Label2);
    button(QStringLiteral("Abort"), updating::AbortCmd);

    label(QStringLiteral("The update was not successful."), complete::Label1, true);
    button(QStringLiteral("OK"), complete::OKCmd);

    label(text::kVersionLine, info::Label1);
    label(text::kRightsNotice + QStringLiteral(" 2099"), info::Label2);
    label(text::kShopAddress, info::Label3);
    button(QStringLiteral("OK"), info::cmdOK);
    return b;
  }();
  return boxes;
}

}  // namespace korvane::ui
