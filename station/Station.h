#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "station/Bench.h"
#include "station/Board.h"

// The ways of running many boards: every attached board at once, and the production loop that
// takes board after board. They report to an observer; printing is the caller's.
namespace korvane::station {

class StationObserver {
 public:
  virtual ~StationObserver() = default;
  // The view that follows one board's run. Called on the thread that runs the board.
  virtual std::unique_ptr<BoardView> ViewFor(const std::string& device) = 0;
  // What stops a board's run after its packet in flight.
  virtual update::StopToken BoardStop() { return {}; }
  // A message of one board's link (may come from several threads at once).
  virtual void OnLinkMessage(const std::string& device, std::string_view text) = 0;
  // One board is done; `count` is its number in the run (from 1). May come from several
  // threads at once.
  virtual void OnBoardDone(const BoardReport& report, std::size_t count) = 0;
  // The production loop waits for the next board.
  virtual void OnWaiting() {}
  // The production loop's board is done and has to be taken off.
  virtual void OnTakeOff(const std::string& /*device*/) {}
  // The loop has seen that board leave: the next board may be plugged in there. (One put in
  // before this would be taken for the board that was done: a board that a reset brought back
  // in its bootloader looks the same.)
  virtual void OnTakenOff(const std::string& /*device*/) {}
};

// Runs the job on every device in `devices` at the same time, each on its own thread and
// link. With a backup, each board's backup gets a name of its own (BackupNameFor). Throws
// StationError before any packet when the library cannot tell devices apart (usage; see
// RefuseSeveralOn) or another run holds one of the devices (busy): every device's lock is
// taken before the first packet and held until its board is done.
std::vector<BoardReport> RunAll(DeviceBench& bench,
                                const std::vector<link::AttachedDevice>& devices,
                                const BoardJob& job, StationObserver& observer);

// Throws StationError (usage) when the bench's library cannot tell devices apart: a board that
// finishes and resets shifts every instance after it, so several at once are not safe.
void RefuseSeveralOn(const DeviceBench& bench);

struct LoopSummary {
  std::size_t boards = 0;
  std::size_t succeeded = 0;     // everything asked for was done and recorded
  std::size_t updated = 0;       // the update ran to its end (its reset may have failed)
  std::size_t failed = 0;        // the update failed, or never started
  std::size_t resetMissing = 0;  // updated, but the reset asked for did not go out
  // A board's record, or the emulated state, was not written, or its record waits in the spool.
  bool outputLost = false;
};

// The production loop: waits for a board (the selected place, else any board no other run
// holds, whose lock it takes at once), runs the job on it, saves the bench's emulated state,
// waits until the board has been taken off, and so on, until `stopLoop` says so between
// boards. (The views stop the board in progress.) A board whose record or state could not be
// written, or whose record waits in the spool, ends the loop after it: no more boards, no more
// serial numbers.
LoopSummary RunLoop(DeviceBench& bench, const DeviceSelector& selector, const BoardJob& job,
                    StationObserver& observer, const StopFunction& stopLoop);

// A board's link messages, handed to the observer.
class ObserverMessages final : public link::LinkMessages {
 public:
  ObserverMessages(StationObserver& observer, std::string device)
      : observer_(observer), device_(std::move(device)) {}
  void ShowLinkMessage(std::string_view text) override { observer_.OnLinkMessage(device_, text); }

 private:
  StationObserver& observer_;
  std::string device_;
};

}  // namespace korvane::station
