#pragma once

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <cstdint>

#include "ui/FormWindow.h"

namespace korvane::ui {

// The search window "Auto Detect": connection state over device found, with the Abort and the OK
// button in the same place.
class AutoDetectForm final : public FormWindow {
  Q_OBJECT
 public:
  explicit AutoDetectForm(const QIcon& icon, QWidget* parent = nullptr);

  QLabel* Label1 = nullptr;
  QLabel* Label2 = nullptr;
  QPushButton* AbortCmd = nullptr;
  QPushButton* OKCmd = nullptr;
};

// The progress window "Updating Software In...".
class UpdatingForm final : public FormWindow {
  Q_OBJECT
 public:
  explicit UpdatingForm(const QIcon& icon, QWidget* parent = nullptr);

  // The bar's chunk colour, a Windows colour value (0x00BBGGRR).
  void SetProgressBarColor(std::uint32_t colour);
  std::uint32_t ProgressBarColor() const { return barColour_; }
  // The bar's value, 0 to 100; the bar shows it rounded to a whole percent.
  void SetBarValue(float value);
  float BarValue() const { return barValue_; }

  QPushButton* AbortCmd = nullptr;
  QLabel* Label2 = nullptr;
  QLabel* Label1 = nullptr;
  QProgressBar* UpdatingBar = nullptr;

 private:
  std::uint32_t barColour_ = 0;
  float barValue_ = 0;
};

// The result window "Updating Complete": one line of outcome.
class UpdatingCompleteForm final : public FormWindow {
  Q_OBJECT
 public:
  explicit UpdatingCompleteForm(const QIcon& icon, QWidget* parent = nullptr);

  QPushButton* OKCmd = nullptr;
  QLabel* Label2 = nullptr;
  QLabel* Label1 = nullptr;
};

// The About window.
class InfoForm final : public FormWindow {
  Q_OBJECT
 public:
  explicit InfoForm(const QIcon& icon, QWidget* parent = nullptr);

  QPushButton* cmdOK = nullptr;
  QLabel* picIcon = nullptr;
  QLabel* Label1 = nullptr;
  ClickableLabel* Label3 = nullptr;
  QLabel* Label2 = nullptr;
};

}  // namespace korvane::ui
