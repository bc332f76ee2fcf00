#pragma once

#include <chrono>
#include <functional>
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

  // `device` is added to every line as "device" when not empty. `interrupted` is polled after
  // every packet, as the terminal's printer does.
  JsonProgress(JsonLines& lines, std::string device, bool& abortRequested,
               std::function<bool()> interrupted = {});

  void ShowProgress() override {}
  void SetDeviceLine(std::string_view) override {}
  void SetStageText(std::string_view text) override;
  void SetStageColour(std::uint32_t) override {}
  void SetProgressBarColor(std::uint32_t) override {}
  void SetBarValue(float value) override;
  void ProcessPendingEvents() override;
  void ShowOutcome(std::string_view text, std::uint32_t colour) override;
  void OnStageBegin(update::Stage stage) override;

  void OnRegionBegin(update::BackupRegion region) override;
  void OnProgress(float percent) override { SetBarValue(percent); }
  bool StopRequested() override;
  void EndBackup(bool success) override;

 private:
  // "event" and "device" of every line.
  station::JsonFields Line(std::string_view event) const;
  void Begin(std::string_view name, std::string_view text);
  void EmitProgress(float value);
  void EndStage(bool completed);

  JsonLines& lines_;
  std::string device_;
  bool& abortRequested_;
  std::function<bool()> interrupted_;
  std::string stage_;
  bool stageStarting_ = false;
  std::string pendingName_;
  float value_ = 0.0F;
  float lastEmitted_ = -1.0F;
  Clock::time_point lastEmit_{};
};

// The stage and failure names of the JSON lines.
using station::FailureName;
using station::StageName;

}  // namespace korvane::cli
