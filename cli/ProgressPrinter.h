#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>

#include "station/Board.h"
#include "update/DeviceBackup.h"
#include "update/UpdateRun.h"

namespace korvane::cli {

// Follows a board's run: the update's events and those of its reads.
using RunView = station::BoardView;

// Hands everything to two views: the JSON lines and the human lines beside them.
class TeeView final : public RunView {
 public:
  TeeView(RunView& first, RunView& second) : a_(first), b_(second) {}
  void OnRunStarted() override { a_.OnRunStarted(), b_.OnRunStarted(); }
  void OnStageStarted(update::Stage s) override { a_.OnStageStarted(s), b_.OnStageStarted(s); }
  void OnProgress(update::Stage s, update::Progress p) override {
    a_.OnProgress(s, p), b_.OnProgress(s, p);
  }
  void OnFinished(const update::UpdateOutcome& o) override { a_.OnFinished(o), b_.OnFinished(o); }
  void OnFailed(const update::UpdateOutcome& o) override { a_.OnFailed(o), b_.OnFailed(o); }
  void OnRegionStarted(update::BackupRegion r) override {
    a_.OnRegionStarted(r), b_.OnRegionStarted(r);
  }
  void OnRegionProgress(update::BackupRegion r, update::Progress p) override {
    a_.OnRegionProgress(r, p), b_.OnRegionProgress(r, p);
  }
  void OnReadStarted() override { a_.OnReadStarted(), b_.OnReadStarted(); }
  void OnReadEnded(bool ok) override { a_.OnReadEnded(ok), b_.OnReadEnded(ok); }

 private:
  RunView& a_;
  RunView& b_;
};

// Shows an update run or a backup on a stream. On a terminal: one progress line per stage
// (stage text, bar, percent, elapsed time) redrawn in place with a carriage return; a stage that
// ran to its end stays at 100 %. Otherwise: one plain line per stage text and one for the
// outcome, nothing redrawn.
class ProgressPrinter final : public RunView {
 public:
  using Clock = std::chrono::steady_clock;

  ProgressPrinter(std::ostream& out, bool terminal) : out_(out), terminal_(terminal) {}

  void OnRunStarted() override { Start(); }
  void OnStageStarted(update::Stage stage) override;
  void OnProgress(update::Stage, update::Progress progress) override {
    SetBarValue(progress.Percent());
  }
  void OnFinished(const update::UpdateOutcome& outcome) override;
  void OnFailed(const update::UpdateOutcome& outcome) override;

  void OnReadStarted() override { Start(); }
  void OnRegionStarted(update::BackupRegion region) override;
  void OnRegionProgress(update::BackupRegion, update::Progress progress) override {
    SetBarValue(progress.Percent());
  }
  // The read ended: a finished last stage reads 100 %, and the line is closed.
  void OnReadEnded(bool success) override;

 private:
  void Start();
  void SetBarValue(float value);
  void BeginStage(std::string_view text);
  // Closes the stage's line (at 100 % when the run succeeded) and prints the outcome.
  void Outcome(bool success, std::string_view text);
  // Draws the open line a last time (at 100 % when `completed`) and ends it.
  void CloseStage(bool completed);
  // Draws the line; `shown` replaces the value (100 for a stage that ran to its end).
  void Draw(bool force, std::optional<float> shown = std::nullopt);
  void EndLine();
  double ElapsedSeconds() const;

  std::ostream& out_;
  bool terminal_;
  Clock::time_point start_{};
  Clock::time_point lastDraw_{};
  std::string stageText_;
  bool lineOpen_ = false;
  std::size_t lastLineLength_ = 0;
  int lastPercent_ = -1;
  float value_ = 0.0F;
};

// The bar line drawn on a terminal, without the carriage return:
// "Erasing Flash...          [#######.............]  35%   1.2 s".
std::string ProgressLine(std::string_view stage, float value, double elapsedSeconds);

}  // namespace korvane::cli
