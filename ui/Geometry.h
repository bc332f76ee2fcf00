#pragma once

#include <QColor>
#include <QRect>
#include <cstdint>

namespace korvane::ui {

// Window layouts are drawn in twips (1/1440 inch): 15 twips are one pixel at 96 dots per inch.
// Qt scales device-independent pixels for other densities.
constexpr int Px(int twips) {
  return (twips * 2 + 15) / 30;
}

constexpr QRect TwipRect(int left, int top, int width, int height) {
  return QRect(Px(left), Px(top), Px(width), Px(height));
}

// A Windows colour value 0x00BBGGRR (red in the low byte).
inline QColor WindowsColour(std::uint32_t value) {
  return QColor(static_cast<int>(value & 0xFF), static_cast<int>((value >> 8) & 0xFF),
                static_cast<int>((value >> 16) & 0xFF));
}

// Every secondary window's client area: 5250 x 1575 twips.
inline constexpr int kFormWidthTwips = 5250;
inline constexpr int kFormHeightTwips = 1575;

}  // namespace korvane::ui
