#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "cli/Commands.h"
#include "cli/JsonEvents.h"
#include "cli/Output.h"
#include "cli/ProgressPrinter.h"
#include "station/Board.h"
#include "station/Run.h"
#include "station/Station.h"

// How korvane-cli tells what became of the boards: the human lines, the JSON lines and the
// link's messages of each board.
namespace korvane::cli {

// "6.1": seconds with one decimal.
std::string Seconds(double seconds);
// The outcome line of the JSON form; `deviceFields` follow "event". Its exit_code and success
// are the board's final ones: a record or another output that was lost after the board was done
// makes them 4 and false.
JsonFields OutcomeJson(const station::BoardReport& report, const JsonFields& deviceFields);
// The reset command's line: {"event":"reset","device","reset","exit_code","reason"}.
JsonFields ResetJson(const station::BoardReport& report);
// Why the board failed, in one line: its run's reason, else the lost record, the spooled one or
// the lost output.
std::string Reason(const station::BoardReport& report);
// "device":"1-3", or nothing for no name.
JsonFields DeviceField(const std::string& name);
// What an update of only what changed did, once its run reached the device: "Only what changed:
// 1 block erased, 4 rows written, 564 packets." Empty for any other run.
std::string ChangedText(const station::BoardReport& report);
// "1-3: The update was successful. (6.1 s)"; a failure adds its reason, an update of only what
// changed what it did, a serial number its number.
std::string ReportLine(const station::BoardReport& report);

// Prints what the station reports: human lines (on standard output, or standard error beside
// JSON), the JSON lines, every board's link messages, and what comes before the boards.
class LinePrinter final : public station::JobObserver {
 public:
  // `boardViews`: each board's progress is shown (one board at a time); else only JSON
  // progress, if any, since boards side by side would mix their bars. `stopRun` stops a board
  // after its packet in flight, `stopWait` a wait and the production loop. `laterOutcomes`: the
  // caller prints the JSON outcome lines itself once every board is done (their exit codes
  // may change until then).
  LinePrinter(const UpdateChoices& choices, Console& console, bool boardViews,
              std::function<bool()> stopRun, std::function<bool()> stopWait,
              bool laterOutcomes = false)
      : choices_(choices),
        console_(console),
        human_(choices.json ? console.err : console.out),
        json_(console.out),
        boardViews_(boardViews),
        laterOutcomes_(laterOutcomes),
        stopRun_(std::move(stopRun)),
        stopWait_(std::move(stopWait)) {}

  std::unique_ptr<station::BoardView> ViewFor(const std::string& device) override {
    std::unique_ptr<RunView> human;
    if (boardViews_) {
      human = std::make_unique<ProgressPrinter>(human_, !choices_.json && console_.terminal);
    } else {
      human = std::make_unique<RunView>();
    }
    if (!choices_.json) {
      return human;
    }
    return std::make_unique<Both>(std::make_unique<JsonProgress>(json_, device), std::move(human));
  }

  update::StopToken BoardStop() override { return update::StopToken(stopRun_); }
  bool StopRequested() override { return stopWait_ && stopWait_(); }

  void OnFileMessage(std::string_view text) override;
  void OnNotice(Notice kind, std::string_view text) override {
    console_.err << (kind == Notice::LockFolder ? "korvane-cli: " : "") << text << '\n'
                 << std::flush;
  }
  void OnDiagnostics(const std::vector<std::string>& lines) override {
    for (const std::string& line : lines) {
      console_.err << line << '\n';
    }
    console_.err << std::flush;
  }
  void OnWaitingForDevice(const std::string& selected) override {
    console_.err << "Waiting for " << (selected.empty() ? "a device" : selected) << "...\n"
                 << std::flush;
  }
  void OnWaitingForDevices(std::optional<std::size_t> expect) override {
    console_.err << "Waiting for "
                 << (expect ? std::to_string(*expect) + " devices" : std::string("the devices"))
                 << "...\n"
                 << std::flush;
  }
  void OnBoardsStarting(station::BoardAction action, std::size_t count) override {
    const char* doing = action == station::BoardAction::Verify  ? "Verifying "
                        : action == station::BoardAction::Reset ? "Resetting "
                                                                : "Updating ";
    human_ << doing << count << (count == 1 ? " device" : " devices") << " at once\n" << std::flush;
  }
  void OnOutputLost(std::string_view text) override {
    console_.err << "korvane-cli: " << text << '\n' << std::flush;
  }
  bool WritesJson() const { return choices_.json; }

  void OnLinkMessage(const std::string& device, std::string_view text) override {
    const std::lock_guard<std::mutex> lock(mutex_);
    console_.err << (device.empty() || boardViews_ ? "" : device + ": ") << text << '\n'
                 << std::flush;
  }

  void OnBoardDone(const station::BoardReport& report, std::size_t count) override {
    const std::lock_guard<std::mutex> lock(mutex_);
    ++boards_;
    updated_ += report.Updated();
    const std::string device = report.device.empty() ? "" : report.device + ": ";
    if (!report.backupWritten.empty()) {
      console_.err << device << "Backup written to " << report.backupWritten << '\n';
    }
    if (!report.outputError.empty()) {
      console_.err << "korvane-cli: " << device << report.outputError << '\n';
    }
    if (!report.recordError.empty()) {
      console_.err << "korvane-cli: " << device
                   << "the record was not written: " << report.recordError << '\n';
    }
    if (!report.recordSpooled.empty()) {
      console_.err << "korvane-cli: " << device << report.recordSpooled << '\n';
    }
    if (choices_.repeat) {
      human_ << '#' << count << ' ' << ReportLine(report) << "; " << updated_ << " updated, "
             << boards_ - updated_ << " failed\n";
    } else if (boardViews_) {
      human_ << ReportLine(report) << '\n';
    }  // boards side by side are listed in their order once all are done
    human_ << std::flush;
    if (choices_.json && !laterOutcomes_) {
      JsonFields device = DeviceField(report.device);
      if (choices_.repeat) {
        device.Add("count", count);
      }
      json_.Emit(OutcomeJson(report, device));
    }
  }

  void OnWaiting() override {
    human_ << "Waiting for devices; Ctrl+C ends the line after the device in progress.\n"
           << std::flush;
  }

  void OnTakeOff(const std::string& device) override {
    human_ << "Take " << device << " off for the next one.\n" << std::flush;
  }

  void OnTakenOff(const std::string& device) override {
    human_ << device << " is off; waiting for the next board.\n" << std::flush;
  }

  std::ostream& Human() { return human_; }
  JsonLines& Json() { return json_; }

 private:
  // Hands everything to the JSON view and the human one beside it, which it owns.
  class Both final : public RunView {
   public:
    Both(std::unique_ptr<RunView> json, std::unique_ptr<RunView> human)
        : json_(std::move(json)), human_(std::move(human)), tee_(*json_, *human_) {}
    void OnRunStarted() override { tee_.OnRunStarted(); }
    void OnStageStarted(update::Stage s) override { tee_.OnStageStarted(s); }
    void OnProgress(update::Stage s, update::Progress p) override { tee_.OnProgress(s, p); }
    void OnFinished(const update::UpdateOutcome& o) override { tee_.OnFinished(o); }
    void OnFailed(const update::UpdateOutcome& o) override { tee_.OnFailed(o); }
    void OnRegionStarted(update::BackupRegion r) override { tee_.OnRegionStarted(r); }
    void OnRegionProgress(update::BackupRegion r, update::Progress p) override {
      tee_.OnRegionProgress(r, p);
    }
    void OnReadStarted() override { tee_.OnReadStarted(); }
    void OnReadEnded(bool ok) override { tee_.OnReadEnded(ok); }

   private:
    std::unique_ptr<RunView> json_;
    std::unique_ptr<RunView> human_;
    TeeView tee_;
  };

  const UpdateChoices& choices_;
  Console& console_;
  std::ostream& human_;
  JsonLines json_;
  bool boardViews_;
  bool laterOutcomes_;
  std::function<bool()> stopRun_;
  std::function<bool()> stopWait_;
  std::mutex mutex_;
  std::size_t boards_ = 0;
  std::size_t updated_ = 0;
};
}  // namespace korvane::cli
