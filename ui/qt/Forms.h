#pragma once

#include <QProgressBar>
#include <cstdint>

#include "app/Forms.h"
#include "ui/qt/QtForm.h"

namespace korvane::ui {

// The search window "Auto Detect", the result window "Updating Complete" and the About window.
using AutoDetectForm = DialogForm<app::AutoDetectView>;
using UpdatingCompleteForm = DialogForm<app::CompleteView>;
using InfoForm = DialogForm<app::InfoView>;

// The progress window "Updating Software In...".
class UpdatingForm final : public DialogForm<app::UpdatingView> {
 public:
  using DialogForm::DialogForm;

  // The bar's chunk colour, a Windows colour value (0x00BBGGRR).
  void SetBarColour(app::Colour colour) override;
  std::uint32_t ProgressBarColor() const { return barColour_; }
  // The bar's value, 0 to 100; the bar shows it rounded to a whole percent.
  void SetBarValue(float value) override;
  float BarValue() const { return barValue_; }

  QProgressBar* Bar() const {
    return qobject_cast<QProgressBar*>(Widget(app::UpdatingControl::UpdatingBar));
  }

 private:
  std::uint32_t barColour_ = 0;
  float barValue_ = 0;
};

}  // namespace korvane::ui
