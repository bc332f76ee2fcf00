#pragma once

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <cstdint>

#include "app/Forms.h"
#include "ui/qt/FormWindow.h"
#include "ui/qt/QtForm.h"

namespace korvane::ui {

// The search window "Auto Detect": connection state over device found, with the Abort and the OK
// button in the same place.
class AutoDetectForm final : public QtForm<FormWindow, app::AutoDetectView> {
 public:
  explicit AutoDetectForm(const QIcon& icon, QWidget* parent = nullptr);

  QLabel* Label1 = nullptr;
  QLabel* Label2 = nullptr;
  QPushButton* AbortCmd = nullptr;
  QPushButton* OKCmd = nullptr;
};

// The progress window "Updating Software In...".
class UpdatingForm final : public QtForm<FormWindow, app::UpdatingView> {
 public:
  explicit UpdatingForm(const QIcon& icon, QWidget* parent = nullptr);

  // The bar's chunk colour, a Windows colour value (0x00BBGGRR).
  void SetBarColour(app::Colour colour) override;
  std::uint32_t ProgressBarColor() const { return barColour_; }
  // The bar's value, 0 to 100; the bar shows it rounded to a whole percent.
  void SetBarValue(float value) override;
  float BarValue() const { return barValue_; }

  QPushButton* AbortCmd = nullptr;
  QLabel* Label2 = nullptr;
  QLabel* Label1 = nullptr;
  QProgressBar* UpdatingBar = nullptr;

 private:
  std::uint32_t barColour_ = 0;
  float barValue_ = 0;
};

// The result window "Updating Complete": one line of outcome over the reason of a failure.
class UpdatingCompleteForm final : public QtForm<FormWindow, app::CompleteView> {
 public:
  explicit UpdatingCompleteForm(const QIcon& icon, QWidget* parent = nullptr);

  QPushButton* OKCmd = nullptr;
  QLabel* Label2 = nullptr;
  QLabel* Label1 = nullptr;
};

// The About window.
class InfoForm final : public QtForm<FormWindow, app::InfoView> {
 public:
  explicit InfoForm(const QIcon& icon, QWidget* parent = nullptr);

  QPushButton* cmdOK = nullptr;
  QLabel* picIcon = nullptr;
  QLabel* Label1 = nullptr;
  ClickableLabel* Label3 = nullptr;
  QLabel* Label2 = nullptr;
};

}  // namespace korvane::ui
