#pragma once

#include <QFont>
#include <QString>
#include <span>

namespace korvane::ui {

// A text that must fit a control of the given pixel size.
struct TextBox {
  QString text;  // lines separated by '\n' or CR LF
  int width = 0;
  int height = 0;
  bool bold = false;
  int margin = 0;  // horizontal room the control keeps for itself (button frames)
};

// Whether `text` fits its box at `font`.
bool Fits(const QFont& font, const TextBox& box);

// The windows were laid out for a small font. Returns `base` at the largest point size, no larger
// than its own and in half-point steps, at which every box's text fits: first down to 8 pt, then
// the family's narrower cuts down to 8 pt, then smaller sizes down to 6 pt.
QFont FitWindowFont(const QFont& base, std::span<const TextBox> boxes);

// The design and run-time texts of the five windows with their boxes.
std::span<const TextBox> WindowTextBoxes();

}  // namespace korvane::ui
