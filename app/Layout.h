#pragma once

#include <cstdint>

// The five windows as they are drawn: control rectangles in twips (1/1440 inch; 15 twips are one
// pixel at 96 dots per inch) and the colours of their labels. Each front end converts them at
// its screen's density.
namespace korvane::app {

// A Windows colour value 0x00BBGGRR (red in the low byte).
using Colour = std::uint32_t;
inline constexpr Colour kRed = 0x000000FF;
inline constexpr Colour kGreen = 0x0000C000;  // good news
inline constexpr Colour kLinkBlue = 0x00FF0000;
inline constexpr Colour kBlack = 0x00000000;

struct TwipRect {
  int left = 0;
  int top = 0;
  int width = 0;
  int height = 0;
};

namespace layout {

// Every secondary window's client area.
inline constexpr int kFormWidth = 5250;
inline constexpr int kFormHeight = 1575;

namespace main {
inline constexpr int kClientWidth = 5250;
inline constexpr int kClientHeight = 1275;               // below the menu bar
inline constexpr TwipRect Label1{165, 960, 80100, 210};  // clipped by the window edge
inline constexpr TwipRect AutoDetectCmd{3976, 480, 1134, 294};
inline constexpr TwipRect OK{3976, 120, 1134, 294};
inline constexpr TwipRect Label0{165, 165, 3705, 660};
inline constexpr TwipRect ResetPIC{3976, 840, 1134, 294};
}  // namespace main

namespace autodetect {
inline constexpr TwipRect Label1{168, 168, 4886, 210};
inline constexpr TwipRect Label2{168, 504, 4886, 210};
inline constexpr TwipRect AbortCmd{3920, 784, 1190, 294};
inline constexpr TwipRect OKCmd{3920, 784, 1190, 294};
}  // namespace autodetect

namespace updating {
inline constexpr TwipRect AbortCmd{3920, 784, 1190, 308};
inline constexpr TwipRect Label2{168, 504, 4886, 196};
inline constexpr TwipRect Label1{168, 196, 4886, 196};
inline constexpr TwipRect UpdatingBar{112, 812, 3738, 210};
}  // namespace updating

namespace complete {
inline constexpr TwipRect OKCmd{3920, 784, 1190, 298};
inline constexpr TwipRect Label2{168, 504, 4886, 196};
inline constexpr TwipRect Label1{168, 196, 4886, 196};
}  // namespace complete

namespace info {
inline constexpr TwipRect cmdOK{3976, 812, 1134, 294};
inline constexpr TwipRect picIcon{240, 448, 480, 480};
// The three labels run on to the right as far as the window allows, so that the version line,
// the rights notice and the shop address are not cut off at a desktop font.
inline constexpr TwipRect Label1{1170, 195, 3880, 195};
inline constexpr TwipRect Label3{1200, 870, 2700, 210};
inline constexpr TwipRect Label2{1200, 585, 3850, 195};
}  // namespace info

}  // namespace layout
}  // namespace korvane::app
