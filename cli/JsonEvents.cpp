#include "cli/JsonEvents.h"

#include "cli/Output.h"
#include "cli/Texts.h"

namespace korvane::cli {

namespace {

constexpr auto kProgressInterval = std::chrono::milliseconds(100);

}  // namespace

void JsonLines::Emit(const station::JsonFields& fields) {
  const std::string line = fields.Object();
  const std::lock_guard lock(mutex_);
  out_ << line << '\n' << std::flush;
}

station::JsonFields JsonProgress::Line(std::string_view event) const {
  station::JsonFields line;
  line.Add("event", event);
  if (!device_.empty()) {
    line.Add("device", device_);
  }
  return line;
}

void JsonProgress::OnStageStarted(update::Stage stage) {
  Begin(StageName(stage), text::StageText(stage));
}

void JsonProgress::OnRegionStarted(update::BackupRegion region) {
  Begin(region == update::BackupRegion::Flash ? "read-flash" : "read-eeprom",
        text::RegionText(region));
}

void JsonProgress::OnFailed(const update::UpdateOutcome& outcome) {
  if (outcome.failure == update::Failure::Mismatch) {
    lines_.Emit(Line("message").Add("text", outcome.stage == update::Stage::EepromVerify
                                                ? text::kEepromErrorText
                                                : text::kProgramErrorText));
  }
  EndStage(false);
}

void JsonProgress::Begin(std::string_view name, std::string_view text) {
  if (!stage_.empty()) {
    EndStage(true);
  }
  stage_ = name;
  value_ = 0.0F;
  lastEmitted_ = -1.0F;
  lastEmit_ = {};
  lines_.Emit(Line("stage").Add("stage", stage_).Add("text", text));
}

void JsonProgress::SetBarValue(float value) {
  value_ = value;
  if (stage_.empty()) {
    return;
  }
  const auto now = Clock::now();
  if (now - lastEmit_ >= kProgressInterval) {
    EmitProgress(value);
  }
}

void JsonProgress::EmitProgress(float value) {
  lines_.Emit(Line("progress").Add("stage", stage_).AddFixed("percent", value, 2));
  lastEmitted_ = value;
  lastEmit_ = Clock::now();
}

void JsonProgress::EndStage(bool completed) {
  if (stage_.empty()) {
    return;
  }
  const float value = completed ? 100.0F : value_;
  if (value != lastEmitted_) {
    EmitProgress(value);
  }
  stage_.clear();
}

}  // namespace korvane::cli
