#pragma once

#include <chrono>
#include <mutex>
#include <ostream>
#include <string>
#include <string_view>

#include "cli/ProgressPrinter.h"
#include "station/Json.h"

namespace korvane::cli {

// Writes whole JSON lines to one stream; several threads may write at once.
class JsonLines {
 public:
  explicit JsonLines(std::ostream& out) : out_(out) {}
  void Emit(const station::JsonFields& fields);

 private:
  std::mutex mutex_;
  std::ostream& out_;
};

// The machine-readable form of a run: a line when a stage begins, progress at most every
// 100 ms and at each stage's end (100 for a stage that ran to its end), the verify stages'
// mismatch text. The outcome line is the command's, which knows the failure detail.
class JsonProgress final : public RunView {
 public:
  using Clock = std::chrono::steady_clock;

  // `device` is added to every line as "device" when not empty.
  JsonProgress(JsonLines& lines, std::string device) : lines_(lines), device_(std::move(device)) {}

  void OnStageStarted(update::Stage stage) override;
  void OnProgress(update::Stage, update::Progress progress) override {
    SetBarValue(progress.Percent());
  }
  void OnFinished(const update::UpdateOutcome&) override { EndStage(true); }
  void OnFailed(const update::UpdateOutcome& outcome) override;

  void OnRegionStarted(update::BackupRegion region) override;
  void OnRegionProgress(update::BackupRegion, update::Progress progress) override {
    SetBarValue(progress.Percent());
  }
  void OnReadEnded(bool success) override { EndStage(success); }

 private:
  // "event" and "device" of every line.
  station::JsonFields Line(std::string_view event) const;
  void Begin(std::string_view name, std::string_view text);
  void SetBarValue(float value);
  void EmitProgress(float value);
  // Ends the stage in progress, if any.
  void EndStage(bool completed);

  JsonLines& lines_;
  std::string device_;
  std::string stage_;
  float value_ = 0.0F;
  float lastEmitted_ = -1.0F;
  Clock::time_point lastEmit_{};
};

// The stage and failure names of the JSON lines.
using station::FailureName;
using station::StageName;

}  // namespace korvane::cli
