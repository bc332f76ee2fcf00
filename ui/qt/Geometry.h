#pragma once

#include <QColor>
#include <QRect>
#include <QString>
#include <cstdint>
#include <string_view>

#include "app/Designs.h"

namespace korvane::ui {

// Window layouts are drawn in twips (1/1440 inch): 15 twips are one pixel at 96 dots per inch.
// Qt scales device-independent pixels for other densities.
constexpr int Px(int twips) {
  return (twips * 2 + 15) / 30;
}

constexpr QRect ToRect(const app::TwipRect& r) {
  return QRect(Px(r.left), Px(r.top), Px(r.width), Px(r.height));
}

// A Windows colour value 0x00BBGGRR (red in the low byte).
inline QColor WindowsColour(std::uint32_t value) {
  return QColor(static_cast<int>(value & 0xFF), static_cast<int>((value >> 8) & 0xFF),
                static_cast<int>((value >> 16) & 0xFF));
}

inline QString ToQString(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace korvane::ui
