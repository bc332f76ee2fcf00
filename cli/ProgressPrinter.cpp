#include "cli/ProgressPrinter.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "cli/Texts.h"

namespace korvane::cli {

namespace {

constexpr int kBarWidth = 30;
constexpr std::size_t kStageColumn = 24;  // the longest stage text fits
// A terminal is redrawn at most this often, unless the percent or the stage changes.
constexpr auto kRedrawInterval = std::chrono::milliseconds(100);

int Percent(float value) {
  return static_cast<int>(std::clamp(std::floor(static_cast<double>(value)), 0.0, 100.0));
}

}  // namespace

std::string ProgressLine(std::string_view stage, float value, double elapsedSeconds) {
  const int percent = Percent(value);
  const int filled = percent * kBarWidth / 100;
  std::string line(stage);
  if (line.size() < kStageColumn) {
    line.append(kStageColumn - line.size(), ' ');
  }
  line += " [";
  line.append(static_cast<std::size_t>(filled), '#');
  line.append(static_cast<std::size_t>(kBarWidth - filled), '.');
  line += "] ";
  char figures[48];
  std::snprintf(figures, sizeof figures, "%3d%% %6.1f s", percent, elapsedSeconds);
  line += figures;
  return line;
}

void ProgressPrinter::Start() {
  start_ = Clock::now();
  lastDraw_ = start_;
}

void ProgressPrinter::OnStageStarted(update::Stage stage) {
  BeginStage(text::StageText(stage));
}

void ProgressPrinter::BeginStage(std::string_view text) {
  if (terminal_) {
    if (lineOpen_) {
      Draw(true, 100.0F);  // the stage before ran to its end
    }
    EndLine();
    stageText_ = text;
    value_ = 0.0F;  // the line of a new stage starts empty
    Draw(true);
  } else {
    stageText_ = text;
    out_ << text << '\n' << std::flush;
  }
}

void ProgressPrinter::OnRegionStarted(update::BackupRegion region) {
  if (stageText_.empty()) {
    Start();
  }
  BeginStage(text::RegionText(region));
}

void ProgressPrinter::OnReadEnded(bool success) {
  CloseStage(success);
  stageText_.clear();
}

void ProgressPrinter::CloseStage(bool completed) {
  if (terminal_ && lineOpen_) {
    // A stage that ran to its end reads 100 %; one that did not keeps its last value.
    if (completed) {
      Draw(true, 100.0F);
    } else {
      Draw(true);
    }
  }
  EndLine();
}

void ProgressPrinter::SetBarValue(float value) {
  value_ = value;
  if (terminal_ && !stageText_.empty()) {
    Draw(false);
  }
}

void ProgressPrinter::OnFinished(const update::UpdateOutcome&) {
  Outcome(true, text::kSuccessText);
}

void ProgressPrinter::OnFailed(const update::UpdateOutcome& outcome) {
  if (outcome.failure == update::Failure::Mismatch) {
    // What the progress window shows in red; it stands on its own line.
    EndLine();
    out_ << (outcome.stage == update::Stage::EepromVerify ? text::kEepromErrorText
                                                          : text::kProgramErrorText)
         << '\n'
         << std::flush;
  }
  Outcome(false, text::kFailureText);
}

void ProgressPrinter::Outcome(bool success, std::string_view text) {
  // After a success every stage ran to its end; after a failure the last one did not.
  CloseStage(success);
  out_ << text << '\n' << std::flush;
}

void ProgressPrinter::Draw(bool force, std::optional<float> shown) {
  const auto now = Clock::now();
  const float value = shown.value_or(value_);
  const int percent = Percent(value);
  if (!force && percent == lastPercent_ && now - lastDraw_ < kRedrawInterval) {
    return;
  }
  std::string line = ProgressLine(stageText_, value, ElapsedSeconds());
  const std::size_t length = line.size();
  if (length < lastLineLength_) {
    line.append(lastLineLength_ - length, ' ');
  }
  out_ << '\r' << line << std::flush;
  lineOpen_ = true;
  lastLineLength_ = length;
  lastPercent_ = percent;
  lastDraw_ = now;
}

void ProgressPrinter::EndLine() {
  if (lineOpen_) {
    out_ << '\n';
    lineOpen_ = false;
    lastLineLength_ = 0;
    lastPercent_ = -1;
  }
}

double ProgressPrinter::ElapsedSeconds() const {
  return std::chrono::duration<double>(Clock::now() - start_).count();
}

}  // namespace korvane::cli
