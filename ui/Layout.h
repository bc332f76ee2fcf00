#pragma once

#include <QRect>

#include "ui/Geometry.h"

// Control rectangles of the five windows, drawn in twips and converted to pixels.
namespace korvane::ui::layout {

namespace main {
inline constexpr int kClientWidthTwips = 5250;
inline constexpr int kClientHeightTwips = 1275;                  // below the menu bar
inline constexpr QRect Label1 = TwipRect(165, 960, 80100, 210);  // clipped by the window edge
inline constexpr QRect AutoDetectCmd = TwipRect(3976, 480, 1134, 294);
inline constexpr QRect OK = TwipRect(3976, 120, 1134, 294);
inline constexpr QRect Label0 = TwipRect(165, 165, 3705, 660);
inline constexpr QRect ResetPIC = TwipRect(3976, 840, 1134, 294);
}  // namespace main

namespace autodetect {
inline constexpr QRect Label1 = TwipRect(168, 168, 4886, 210);
inline constexpr QRect Label2 = TwipRect(168, 504, 4886, 210);
inline constexpr QRect AbortCmd = TwipRect(3920, 784, 1190, 294);
inline constexpr QRect OKCmd = TwipRect(3920, 784, 1190, 294);
}  // namespace autodetect

namespace updating {
inline constexpr QRect AbortCmd = TwipRect(3920, 784, 1190, 308);
inline constexpr QRect Label2 = TwipRect(168, 504, 4886, 196);
inline constexpr QRect Label1 = TwipRect(168, 196, 4886, 196);
inline constexpr QRect UpdatingBar = TwipRect(112, 812, 3738, 210);
}  // namespace updating

namespace complete {
inline constexpr QRect OKCmd = TwipRect(3920, 784, 1190, 298);
inline constexpr QRect Label2 = TwipRect(168, 504, 4886, 196);
inline constexpr QRect Label1 = TwipRect(168, 196, 4886, 196);
}  // namespace complete

namespace info {
inline constexpr QRect cmdOK = TwipRect(3976, 812, 1134, 294);
inline constexpr QRect picIcon = TwipRect(240, 448, 480, 480);
// The three labels run on to the right as far as the window allows, so that the version line,
// the rights notice and the shop address are not cut off at a desktop font.
inline constexpr QRect Label1 = TwipRect(1170, 195, 3880, 195);
inline constexpr QRect Label3 = TwipRect(1200, 870, 2700, 210);
inline constexpr QRect Label2 = TwipRect(1200, 585, 3850, 195);
}  // namespace info

}  // namespace korvane::ui::layout
