#include "cli/BoardLines.h"

#include <cstdio>

#include "cli/Texts.h"

namespace korvane::cli {

using station::BoardReport;
using station::Verdict;

std::string Seconds(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", seconds);
  return text;
}

std::string Reason(const BoardReport& report) {
  if (!report.reason.empty()) {
    return report.reason;
  }
  if (!report.recordError.empty()) {
    return "the record was not written: " + report.recordError;
  }
  if (!report.recordSpooled.empty()) {
    return report.recordSpooled;
  }
  return report.outputError;
}

// The outcome line of the JSON form.
JsonFields OutcomeJson(const BoardReport& report, const JsonFields& deviceFields) {
  JsonFields json;
  json.Add("event", "outcome")
      .Add(deviceFields)
      .Add("success", report.verdict == Verdict::Success)
      .Add("exit_code", station::ExitCode(report.verdict))
      .Add("text", text::ResultText(report.result))
      .Add("failure", report.failure)
      .Add("reason", Reason(report));
  if (report.outcome.stage && !report.outcome.success && !report.backupFailed) {
    json.Add("stage", StageName(*report.outcome.stage));
    json.Add("address", report.outcome.failure == update::Failure::Mismatch
                            ? report.outcome.mismatchAddress
                            : report.outcome.packetAddress);
  }
  json.Add("packets", report.outcome.packetsSent);
  if (report.action == station::BoardAction::Update) {
    // What went out, counted in the full run as in the update of only what changed.
    json.Add("incremental", report.outcome.incremental)
        .Add("blocks_erased", report.outcome.blocksErased)
        .Add("flash_rows_written", report.outcome.flashRowsWritten)
        .Add("eeprom_rows_written", report.outcome.eepromRowsWritten)
        .Add("updated", report.Updated());
  }
  if (report.result == station::BoardResult::Matches ||
      report.result == station::BoardResult::DoesNotMatch) {
    json.Add("differing", report.differing);
  }
  // A string: readers that hold numbers as doubles would round numbers of 2^53 and more.
  json.Add("serial", report.serial ? Json(std::to_string(*report.serial)) : Json(nullptr))
      .Add("backup", report.backupWritten.empty() ? Json(nullptr) : Json(report.backupWritten))
      .Add("reset", report.resetSent)
      .AddFixed("seconds", report.seconds, 1);
  return json;
}

JsonFields ResetJson(const BoardReport& report) {
  JsonFields json;
  json.Add("event", "reset")
      .Add(DeviceField(report.device))
      .Add("reset", report.resetSent)
      .Add("exit_code", station::ExitCode(report.verdict))
      .Add("reason", Reason(report));
  return json;
}

JsonFields DeviceField(const std::string& name) {
  JsonFields json;
  if (!name.empty()) {
    json.Add("device", name);
  }
  return json;
}

namespace {

// "1 block", "2 blocks".
std::string Counted(std::uint32_t count, std::string_view what) {
  return std::to_string(count) + " " + std::string(what) + (count == 1 ? "" : "s");
}

}  // namespace

std::string ChangedText(const BoardReport& report) {
  const update::UpdateOutcome& run = report.outcome;
  // Only a run that began: not one that failed at the version query or the backup.
  if (report.action != station::BoardAction::Update || !run.incremental || report.backupFailed ||
      (!run.success && !run.stage)) {
    return {};
  }
  const std::string packets = Counted(run.packetsSent, "packet");
  if (run.success && run.blocksErased == 0 && run.flashRowsWritten == 0 &&
      run.eepromRowsWritten == 0) {
    return "Only what changed: nothing differed, " + packets + " (all reads).";
  }
  const std::string rows = run.eepromRowsWritten == 0 ? Counted(run.flashRowsWritten, "row")
                           : run.flashRowsWritten == 0
                               ? Counted(run.eepromRowsWritten, "EEPROM row")
                               : Counted(run.flashRowsWritten, "program row") + " and " +
                                     Counted(run.eepromRowsWritten, "EEPROM row");
  return "Only what changed: " + Counted(run.blocksErased, "block") + " erased, " + rows +
         " written, " + packets + ".";
}

// "1-3: The update was successful. (6.1 s)"; a failure adds its reason.
std::string ReportLine(const BoardReport& report) {
  std::string line = report.device.empty() ? std::string() : report.device + ": ";
  // Without an outcome text of its own (a verify or a reset that did not get far), the reason
  // says it all.
  const std::string reason = Reason(report);
  if (report.result != station::BoardResult::None ||
      report.action == station::BoardAction::Update) {
    line += report.result == station::BoardResult::None ? text::kFailureText
                                                        : text::ResultText(report.result);
    line += reason.empty() ? "" : " ";
  }
  line += reason;
  if (const std::string changed = ChangedText(report); !changed.empty()) {
    line += (line.empty() || line.back() == ' ' ? "" : " ") + changed;
  }
  if (report.serial) {
    line += " Serial number " + std::to_string(*report.serial) + ".";
  }
  return line + " (" + Seconds(report.seconds) + " s)";
}

void LinePrinter::OnFileMessage(std::string_view text) {
  StreamLoaderHost(console_.err).ShowMessage(text);
}

}  // namespace korvane::cli
