#include "cli/BoardLines.h"

#include <cstdio>

namespace korvane::cli {

using station::BoardReport;
using station::Verdict;

std::string JsonBool(bool value) {
  return value ? "true" : "false";
}

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
  return report.outputError;
}

// The outcome line of the JSON form.
std::string OutcomeJson(const BoardReport& report, const std::string& deviceField) {
  std::string json = "\"event\":\"outcome\"" + deviceField;
  json += ",\"success\":" + JsonBool(report.verdict == Verdict::Success);
  json += ",\"exit_code\":" + std::to_string(station::ExitCode(report.verdict));
  json += ",\"text\":" + JsonString(report.result);
  json += ",\"failure\":" + JsonString(report.failure);
  json += ",\"reason\":" + JsonString(Reason(report));
  if (report.outcome.stage && !report.outcome.success && !report.backupFailed) {
    json += ",\"stage\":" + JsonString(StageName(*report.outcome.stage));
    const std::int32_t address = report.outcome.failure == update::Failure::Mismatch
                                     ? report.outcome.mismatchAddress
                                     : report.outcome.packetAddress;
    json += ",\"address\":" + std::to_string(address);
  }
  json += ",\"packets\":" + std::to_string(report.outcome.packetsSent);
  if (report.action == station::BoardAction::Update) {
    json += ",\"updated\":" + JsonBool(report.Updated());
  }
  if (report.result == station::kVerifyMatchText || report.result == station::kVerifyMismatchText) {
    json += ",\"differing\":" + std::to_string(report.differing);
  }
  // A string: readers that hold numbers as doubles would round numbers of 2^53 and more.
  json += ",\"serial\":" +
          (report.serial ? JsonString(std::to_string(*report.serial)) : std::string("null"));
  json += ",\"backup\":" +
          (report.backupWritten.empty() ? std::string("null") : JsonString(report.backupWritten));
  json += ",\"reset\":" + JsonBool(report.resetSent);
  json += ",\"seconds\":" + Seconds(report.seconds);
  return json;
}

std::string ResetJson(const BoardReport& report) {
  return "\"event\":\"reset\"" + DeviceField(report.device) +
         ",\"reset\":" + JsonBool(report.resetSent) +
         ",\"exit_code\":" + std::to_string(station::ExitCode(report.verdict)) +
         ",\"reason\":" + JsonString(Reason(report));
}

std::string DeviceField(const std::string& name) {
  return name.empty() ? std::string() : ",\"device\":" + JsonString(name);
}

// "1-3: The update was successful. (6.1 s)"; a failure adds its reason.
std::string ReportLine(const BoardReport& report) {
  std::string line = report.device.empty() ? std::string() : report.device + ": ";
  // Without an outcome text of its own (a verify or a reset that did not get far), the reason
  // says it all.
  const std::string reason = Reason(report);
  if (!report.result.empty() || report.action == station::BoardAction::Update) {
    line += report.result.empty() ? std::string(update::kFailureText) : report.result;
    line += reason.empty() ? "" : " ";
  }
  line += reason;
  if (report.serial) {
    line += " Serial number " + std::to_string(*report.serial) + ".";
  }
  return line + " (" + Seconds(report.seconds) + " s)";
}

}  // namespace korvane::cli
