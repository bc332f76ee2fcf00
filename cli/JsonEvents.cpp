#include "cli/JsonEvents.h"

#include "cli/Output.h"

namespace korvane::cli {

namespace {

constexpr auto kProgressInterval = std::chrono::milliseconds(100);

}  // namespace

void JsonLines::Emit(const station::JsonFields& fields) {
  const std::string line = fields.Object();
  const std::lock_guard lock(mutex_);
  out_ << line << '\n' << std::flush;
}

JsonProgress::JsonProgress(JsonLines& lines, std::string device, bool& abortRequested,
                           std::function<bool()> interrupted)
    : lines_(lines),
      device_(std::move(device)),
      abortRequested_(abortRequested),
      interrupted_(std::move(interrupted)) {}

station::JsonFields JsonProgress::Line(std::string_view event) const {
  station::JsonFields line;
  line.Add("event", event);
  if (!device_.empty()) {
    line.Add("device", device_);
  }
  return line;
}

void JsonProgress::OnStageBegin(update::Stage stage) {
  stageStarting_ = true;
  pendingName_ = StageName(stage);
}

void JsonProgress::SetStageText(std::string_view text) {
  if (text.empty()) {
    return;
  }
  if (!stageStarting_) {
    lines_.Emit(Line("message").Add("text", text));
    return;
  }
  stageStarting_ = false;
  Begin(pendingName_, text);
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
  const float value = completed ? 100.0F : value_;
  if (value != lastEmitted_) {
    EmitProgress(value);
  }
  stage_.clear();
}

void JsonProgress::ProcessPendingEvents() {
  if (interrupted_ && interrupted_()) {
    abortRequested_ = true;
  }
}

void JsonProgress::ShowOutcome(std::string_view text, std::uint32_t) {
  if (!stage_.empty()) {
    EndStage(text == update::kSuccessText);
  }
}

void JsonProgress::OnRegionBegin(update::BackupRegion region) {
  Begin(region == update::BackupRegion::Flash ? "read-flash" : "read-eeprom",
        update::BackupRegionText(region));
}

bool JsonProgress::StopRequested() {
  ProcessPendingEvents();
  return abortRequested_;
}

void JsonProgress::EndBackup(bool success) {
  if (!stage_.empty()) {
    EndStage(success);
  }
}

}  // namespace korvane::cli
