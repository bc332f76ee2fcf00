#include "station/Station.h"

#include <chrono>
#include <thread>

namespace korvane::station {

namespace {

BoardJob JobFor(const BoardJob& job, const std::string& device, std::size_t count) {
  BoardJob board = job;
  board.backupFile = BackupNameFor(job.backupFile, device, count, std::chrono::system_clock::now());
  board.backupNameMade = true;
  return board;
}

}  // namespace

void RefuseSeveralOn(const DeviceBench& bench) {
  if (!bench.IdentifiesDevices()) {
    throw StationError(Verdict::Usage, Problem::SeveralNotSafe,
                       "with " + bench.LibraryName() +
                           " Korvane cannot tell devices apart, and a board that finishes "
                           "shifts the others, so several devices at once are not safe: update "
                           "one device at a time",
                       bench.LibraryName());
  }
}

std::vector<BoardReport> RunAll(DeviceBench& bench,
                                const std::vector<link::AttachedDevice>& devices,
                                const BoardJob& job, StationObserver& observer) {
  RefuseSeveralOn(bench);
  std::vector<DeviceClaim> claims;
  for (const link::AttachedDevice& device : devices) {
    claims.push_back(bench.Claim(device));
    if (claims.back().busy) {
      throw StationError(Verdict::Busy, BusyText(DeviceName(device), claims.back().holder) +
                                            "; nothing was sent to any device");
    }
  }
  struct Slot {
    std::string name;
    DeviceTarget target;
    BoardJob job;
    std::unique_ptr<BoardView> view;
    std::unique_ptr<ObserverMessages> messages;
    BoardReport report;
  };
  std::vector<std::unique_ptr<Slot>> slots;
  for (std::size_t i = 0; i < devices.size(); ++i) {
    auto slot = std::make_unique<Slot>();
    slot->name = DeviceName(devices[i]);
    slot->target = bench.Target(devices[i]);
    slot->target.lock = std::move(claims[i].lock);
    slot->job = JobFor(job, slot->name, i + 1);
    slot->messages = std::make_unique<ObserverMessages>(observer, slot->name);
    slots.push_back(std::move(slot));
  }
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < slots.size(); ++i) {
    threads.emplace_back([&observer, slot = slots[i].get(), count = i + 1] {
      slot->view = observer.ViewFor(slot->name);
      slot->report = RunBoard(std::move(slot->target), slot->job, *slot->messages, nullptr,
                              *slot->view, observer.BoardStop());
      observer.OnBoardDone(slot->report, count);
    });
  }
  for (std::thread& thread : threads) {
    thread.join();
  }
  std::vector<BoardReport> reports;
  for (const auto& slot : slots) {
    reports.push_back(slot->report);
  }
  return reports;
}

LoopSummary RunLoop(DeviceBench& bench, const DeviceSelector& selector, const BoardJob& job,
                    StationObserver& observer, const StopFunction& stopLoop) {
  LoopSummary summary;
  observer.OnWaiting();
  for (;;) {
    std::optional<platform::FileLock> lock;
    const auto device = bench.WaitFor(selector, std::nullopt, stopLoop, &lock);
    if (!device) {
      break;
    }
    ++summary.boards;
    const std::string name = DeviceName(*device);
    const std::size_t countBefore = bench.List().size();
    const std::unique_ptr<BoardView> view = observer.ViewFor(name);
    ObserverMessages messages(observer, name);
    DeviceTarget target = bench.Target(*device);
    target.lock = std::move(lock);
    BoardReport report = RunBoard(std::move(target), JobFor(job, name, summary.boards), messages,
                                  nullptr, *view, observer.BoardStop());
    try {
      bench.Save();
    } catch (const StationError& e) {
      NoteOutputFailure(report, e.what());
    }
    summary.succeeded += report.verdict == Verdict::Success;
    summary.updated += report.Updated();
    summary.failed += !report.Updated();
    summary.resetMissing += report.ResetMissing();
    const bool lost = report.EndsLine();
    summary.outputLost = summary.outputLost || lost;
    observer.OnBoardDone(report, summary.boards);
    bench.DeviceDone(*device);
    if (lost || stopLoop()) {
      break;
    }
    observer.OnTakeOff(name);
    if (!bench.WaitUntilGone(*device, countBefore, stopLoop)) {
      break;
    }
    observer.OnTakenOff(name);
  }
  return summary;
}

}  // namespace korvane::station
