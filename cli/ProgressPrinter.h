#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>

#include "update/UpdateRun.h"

namespace korvane::cli {

// Shows an update run on standard output. On a terminal: one progress line per stage (stage
// text, bar, percent, elapsed time) redrawn in place with a carriage return. Otherwise: one
// plain line per stage text and one for the outcome, nothing redrawn.
class ProgressPrinter final : public update::UpdateObserver {
 public:
  using Clock = std::chrono::steady_clock;

  // `interrupted` is polled after every packet; when it returns true the run is asked to stop
  // (through `abortRequested`, the flag the run reads).
  ProgressPrinter(std::ostream& out, bool terminal, bool& abortRequested,
                  std::function<bool()> interrupted = {});

  void ShowProgress() override;
  void SetDeviceLine(std::string_view) override {}
  void SetStageText(std::string_view text) override;
  void SetStageColour(std::uint32_t) override {}
  void SetProgressBarColor(std::uint32_t) override {}
  void SetBarValue(float value) override;
  void ProcessPendingEvents() override;
  void ShowOutcome(std::string_view text, std::uint32_t colour) override;
  void OnStageBegin(update::Stage stage) override;

  // The stage text of the stage that was running last (empty before the first).
  std::string_view LastStageText() const { return stageText_; }

 private:
  void Draw(bool force);
  void EndLine();
  double ElapsedSeconds() const;

  std::ostream& out_;
  bool terminal_;
  bool& abortRequested_;
  std::function<bool()> interrupted_;
  Clock::time_point start_{};
  Clock::time_point lastDraw_{};
  std::string stageText_;
  bool stageStarting_ = false;
  bool lineOpen_ = false;
  std::size_t lastLineLength_ = 0;
  int lastPercent_ = -1;
  float value_ = 0.0F;
};

// The bar line drawn on a terminal, without the carriage return:
// "Erasing Flash...          [#######.............]  35%   1.2 s".
std::string ProgressLine(std::string_view stage, float value, double elapsedSeconds);

}  // namespace korvane::cli
