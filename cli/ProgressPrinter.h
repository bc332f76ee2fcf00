#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>

#include "station/Board.h"
#include "update/DeviceBackup.h"
#include "update/UpdateRun.h"

namespace korvane::cli {

// Watches an update run and a backup, whose end it is told of.
using RunView = station::BoardView;

// Shows nothing and only passes Ctrl+C on: for devices updated side by side, which report one
// line each when they are done.
class QuietView final : public RunView {
 public:
  QuietView(bool& abortRequested, std::function<bool()> interrupted)
      : abortRequested_(abortRequested), interrupted_(std::move(interrupted)) {}
  // A Ctrl+C pressed before the run still stops it, before its first packet.
  void ShowProgress() override { ProcessPendingEvents(); }
  void SetDeviceLine(std::string_view) override {}
  void SetStageText(std::string_view) override {}
  void SetStageColour(std::uint32_t) override {}
  void SetProgressBarColor(std::uint32_t) override {}
  void SetBarValue(float) override {}
  void ProcessPendingEvents() override {
    if (interrupted_ && interrupted_()) {
      abortRequested_ = true;
    }
  }
  void ShowOutcome(std::string_view, std::uint32_t) override {}
  void OnRegionBegin(update::BackupRegion) override {}
  void OnProgress(float) override {}
  bool StopRequested() override {
    ProcessPendingEvents();
    return abortRequested_;
  }
  void EndBackup(bool) override {}

 private:
  bool& abortRequested_;
  std::function<bool()> interrupted_;
};

// Hands everything to two views: the JSON lines and the human lines beside them.
class TeeView final : public RunView {
 public:
  TeeView(RunView& first, RunView& second) : a_(first), b_(second) {}
  void ShowProgress() override { a_.ShowProgress(), b_.ShowProgress(); }
  void SetDeviceLine(std::string_view t) override { a_.SetDeviceLine(t), b_.SetDeviceLine(t); }
  void SetStageText(std::string_view t) override { a_.SetStageText(t), b_.SetStageText(t); }
  void SetStageColour(std::uint32_t c) override { a_.SetStageColour(c), b_.SetStageColour(c); }
  void SetProgressBarColor(std::uint32_t c) override {
    a_.SetProgressBarColor(c), b_.SetProgressBarColor(c);
  }
  void SetBarValue(float v) override { a_.SetBarValue(v), b_.SetBarValue(v); }
  void ProcessPendingEvents() override { a_.ProcessPendingEvents(), b_.ProcessPendingEvents(); }
  void ShowOutcome(std::string_view t, std::uint32_t c) override {
    a_.ShowOutcome(t, c), b_.ShowOutcome(t, c);
  }
  void OnStageBegin(update::Stage s) override { a_.OnStageBegin(s), b_.OnStageBegin(s); }
  void OnRegionBegin(update::BackupRegion r) override { a_.OnRegionBegin(r), b_.OnRegionBegin(r); }
  void OnProgress(float p) override { a_.OnProgress(p), b_.OnProgress(p); }
  bool StopRequested() override {
    const bool first = a_.StopRequested();
    return b_.StopRequested() || first;
  }
  void EndBackup(bool ok) override { a_.EndBackup(ok), b_.EndBackup(ok); }

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

  // `interrupted` is polled when the run starts and after every packet; when it returns true the
  // run is asked to stop (through `abortRequested`, the flag the run reads). The flag is never
  // cleared here: a stop asked for before the run stands.
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

  // BackupObserver
  void OnRegionBegin(update::BackupRegion region) override;
  void OnProgress(float percent) override { SetBarValue(percent); }
  bool StopRequested() override;
  // The backup ended: a finished last stage reads 100 %, and the line is closed.
  void EndBackup(bool success) override;

  // The stage text of the stage that was running last (empty before the first).
  std::string_view LastStageText() const { return stageText_; }

 private:
  void BeginStage(std::string_view text);
  // Draws the line; `shown` replaces the value (100 for a stage that ran to its end).
  void Draw(bool force, std::optional<float> shown = std::nullopt);
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
