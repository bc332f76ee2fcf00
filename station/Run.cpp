#include "station/Run.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "image/UpdateFileLoader.h"
#include "platform/Files.h"
#include "station/Sha256.h"
#include "station/Trace.h"

namespace korvane::station {

namespace {

// What the log must be able to take before a run starts: more than any record line needs.
constexpr std::size_t kLogReserve = 4096;
// A previous trace is looked at whole before it is replaced; a bigger file is not a trace.
constexpr std::uintmax_t kMaxTraceSize = 64u * 1024u * 1024u;

// "6.1": seconds with one decimal.
std::string Seconds(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", seconds);
  return text;
}

// The loader's reports, handed to the observer.
class ObserverLoaderHost final : public image::LoaderHost {
 public:
  explicit ObserverLoaderHost(JobObserver& observer) : observer_(observer) {}
  void ShowMessage(std::string_view text) override { observer_.OnFileMessage(text); }

 private:
  JobObserver& observer_;
};

struct LoadedFile {
  image::MemoryImage image;
  image::LoadReport report;
  std::string sha256;  // of the bytes that were loaded
};

// Loads the update file as the windows do. The file is read once: the bytes hashed for the
// record are the bytes loaded.
std::unique_ptr<LoadedFile> LoadFile(const std::string& path, JobObserver& observer) {
  auto loaded = std::make_unique<LoadedFile>();
  ObserverLoaderHost host(observer);
  image::UpdateFileLoader loader(loaded->image, host);
  std::string bytes;
  image::LoadResult result = loader.LoadUpdateFile(path, &bytes);
  if (!result.loaded) {
    // The loader has already said which file and why.
    throw StationError(Verdict::FileProblem, "");
  }
  loaded->report = std::move(result.report);
  loaded->sha256 = Sha256Hex(bytes);
  return loaded;
}

// A trace replaces only a trace: a file that is not there yet, or one that holds nothing but
// trace lines. Anything else is refused before any packet.
void CheckTraceFile(const std::string& file) {
  if (file.empty() || !platform::Exists(file)) {
    return;
  }
  std::error_code error;
  const std::filesystem::path path = platform::PathFromUtf8(file);
  bool trace = std::filesystem::is_regular_file(path, error) &&
               std::filesystem::file_size(path, error) <= kMaxTraceSize && !error;
  if (trace) {
    try {
      trace = IsTraceText(platform::ReadFile(file));
    } catch (const platform::FileError&) {
      trace = false;
    }
  }
  if (!trace) {
    throw StationError(
        Verdict::FileProblem, Problem::TraceFileTaken,
        "the trace file " + file + " already exists and is not a packet trace; choose a new name",
        file);
  }
}

// Before any packet: no file the job writes may be one it reads or another it writes.
void CheckFiles(const std::vector<FileRole>& inputs, std::vector<FileRole> outputs,
                const Job& job) {
  outputs.push_back({"the trace file", job.traceFile});
  for (FileRole& state : StateFiles(job.devices)) {
    outputs.push_back(std::move(state));
  }
  CheckFileRoles(inputs, outputs);
  CheckTraceFile(job.traceFile);
}

// The packet trace of a one-device job.
class Trace {
 public:
  explicit Trace(const std::string& file) : file_(file) {
    if (file_.empty()) {
      return;
    }
    // Binary: the same bytes, LF line ends, on every platform.
    stream_.open(platform::PathFromUtf8(file_), std::ios::out | std::ios::trunc | std::ios::binary);
    if (!stream_) {
      throw StationError(Verdict::FileProblem, "cannot write the trace file " + file_);
    }
    writer_ = std::make_unique<TraceWriter>(stream_);
  }
  link::PacketTap* Tap() { return writer_.get(); }
  // Why the trace could not be written whole, or empty.
  std::string Finish() {
    if (writer_) {
      stream_.close();
      if (!stream_) {
        return "cannot write the trace file " + file_;
      }
    }
    return {};
  }

 private:
  std::string file_;
  std::ofstream stream_;
  std::unique_ptr<TraceWriter> writer_;
};

std::optional<std::chrono::milliseconds> WaitTimeout(const DeviceOptions& options) {
  if (!options.waitSeconds) {
    return std::nullopt;
  }
  // At most a month (checked with the options): the milliseconds fit easily.
  return std::chrono::milliseconds(static_cast<std::int64_t>(*options.waitSeconds * 1000.0));
}

// "no device ..." with what the USB library had to say while it looked (for example that it
// could not be started), so that the user is not left with "no device" alone, and the next step.
StationError NoDeviceError(DeviceBench& bench, std::string message) {
  if (std::string notice = bench.TakeNotice(); !notice.empty()) {
    message += "\n" + notice;
  }
  if (std::string advice = bench.NoDeviceAdvice(); !advice.empty()) {
    message += "\n" + advice;
  }
  return StationError(Verdict::NoDevice, message);
}

// The bench of a job; the diagnostics when asked for, and a word when the device locks cannot
// go to the machine's lock folder.
std::unique_ptr<DeviceBench> MakeBench(const DeviceOptions& options, JobObserver& observer,
                                       BenchUse use = BenchUse::Run) {
  std::unique_ptr<DeviceBench> bench = DeviceBench::Create(options, use);
  if (const std::string notice = platform::LockFolderNotice(); !notice.empty()) {
    observer.OnNotice(JobObserver::Notice::LockFolder, notice);
  }
  if (options.verbose) {
    observer.OnDiagnostics(bench->Diagnostics());
  }
  return bench;
}

// The bench, and the device a one-device job talks to: waited for when asked, else the one the
// selector names (instance 0 by default).
struct Prepared {
  std::unique_ptr<DeviceBench> bench;
  std::optional<link::AttachedDevice> device;
};

Prepared Prepare(const DeviceOptions& options, JobObserver& observer) {
  Prepared prepared{MakeBench(options, observer), std::nullopt};
  const DeviceSelector selector = ParseDeviceSelector(options.device);
  if (!options.wait) {
    try {
      prepared.device = prepared.bench->Choose(selector);
    } catch (const StationError& e) {
      throw NoDeviceError(*prepared.bench, e.what());
    }
    if (!prepared.device) {
      if (std::string notice = prepared.bench->TakeNotice(); !notice.empty()) {
        observer.OnNotice(JobObserver::Notice::Library, notice);
      }
    }
    return prepared;
  }
  if (!prepared.bench->Find(selector)) {
    observer.OnWaitingForDevice(options.device);
  }
  const StopFunction stop = [&observer] { return observer.StopRequested(); };
  prepared.device = prepared.bench->WaitFor(selector, WaitTimeout(options), stop);
  if (!prepared.device) {
    if (stop()) {
      throw StationError(Verdict::NoDevice, "stopped while waiting for a device; nothing was sent");
    }
    throw NoDeviceError(*prepared.bench,
                        "no device appeared within " + Seconds(*options.waitSeconds) + " s");
  }
  return prepared;
}

std::string CommandName(BoardAction action) {
  switch (action) {
    case BoardAction::Update:
      return "update";
    case BoardAction::Verify:
      return "verify";
    case BoardAction::Backup:
      return "backup";
    case BoardAction::Reset:
      return "reset";
  }
  return "";
}

// Before any packet the log must show that it can take a line now: a full disk or a size limit
// stops the job here, not after a board was written.
void CheckLog(const std::string& logFile) {
  if (logFile.empty()) {
    return;
  }
  try {
    platform::ReserveAppend(logFile, kLogReserve);
  } catch (const platform::FileError& e) {
    throw StationError(Verdict::FileProblem, e.what());
  }
}

// Each board's part of the job.
BoardJob BoardJobFor(const Job& job, const LoadedFile* loaded) {
  BoardJob board;
  board.action = job.action;
  board.image = loaded != nullptr ? &loaded->image : nullptr;
  board.flash = job.flash;
  board.eeprom = job.eeprom;
  board.reset = job.reset;
  board.mode = job.mode;
  board.backupFile = job.backupFile;
  board.serial = job.serial;
  board.logFile = job.logFile;
  if (!board.logFile.empty() || job.database) {
    // What every board's record shares: this machine, this Korvane, the command and its file.
    board.record.host = platform::HostName();
    board.record.version = job.korvaneVersion;
    board.record.command = CommandName(job.action);
    if (loaded != nullptr) {
      board.record.file = job.updateFile;
      board.record.fileSha256 = loaded->sha256;
    }
  }
  return board;
}

// One board on the prepared device, with the job's trace; the bench is saved whatever came of
// it. A trace or state that cannot be written leaves the board's outcome as it is and makes the
// job's verdict 4.
BoardReport RunOne(const Job& job, const BoardJob& board, JobObserver& observer,
                   std::string& noDeviceAdvice) {
  Prepared prepared = Prepare(job.devices, observer);
  Trace trace(job.traceFile);
  const std::string name = prepared.device ? DeviceName(*prepared.device) : std::string();
  ObserverMessages messages(observer, name);
  const std::unique_ptr<BoardView> view = observer.ViewFor(name);
  BoardReport report = RunBoard(prepared.bench->Target(prepared.device), board, messages,
                                trace.Tap(), *view, observer.BoardStop());
  try {
    prepared.bench->Save();
  } catch (const StationError& e) {
    NoteOutputFailure(report, e.what());
  }
  if (const std::string traceError = trace.Finish(); !traceError.empty()) {
    NoteOutputFailure(report, traceError);
  }
  if (report.verdict == Verdict::NoDevice) {
    noDeviceAdvice = prepared.bench->NoDeviceAdvice();
  }
  return report;
}

// The verdict of several boards run at once: 4 when a record or another output was lost, 0 when
// every board succeeded, 3 when none answered, 5 when every one was busy, else 1.
Verdict VerdictOfAll(const std::vector<BoardReport>& reports) {
  bool lost = false;
  bool anyAnswered = false;
  bool allBusy = true;
  bool allSucceeded = true;
  for (const BoardReport& report : reports) {
    lost = lost || report.EndsLine();
    anyAnswered = anyAnswered || report.verdict != Verdict::NoDevice;
    allBusy = allBusy && report.verdict == Verdict::Busy;
    allSucceeded = allSucceeded && report.verdict == Verdict::Success;
  }
  if (lost) {
    return Verdict::FileProblem;
  }
  if (allSucceeded) {
    return Verdict::Success;
  }
  return !anyAnswered ? Verdict::NoDevice : allBusy ? Verdict::Busy : Verdict::Failed;
}

// The devices of boards run at once: every attached one, or, waiting or expecting a number, those
// that came and answer. Throws StationError (no device) when there are none, or fewer than
// expected.
std::vector<link::AttachedDevice> AllDevices(DeviceBench& bench, const Job& job,
                                             JobObserver& observer) {
  const DeviceOptions& options = job.devices;
  std::vector<link::AttachedDevice> devices;
  if (options.wait || job.expect) {
    const auto timeout =
        options.wait ? WaitTimeout(options) : std::optional(std::chrono::milliseconds(0));
    std::size_t answered = 0;
    const StopFunction stop = [&observer] { return observer.StopRequested(); };
    const auto found = bench.WaitForDevices(job.expect, timeout, stop, &answered);
    if (!found) {
      if (stop()) {
        throw StationError(Verdict::NoDevice,
                           "stopped while waiting for devices; nothing was written");
      }
      if (!job.expect) {
        throw NoDeviceError(bench, "no device appeared in time");
      }
      const std::size_t attached = bench.List().size();
      const bool fewAttached = attached < *job.expect;
      throw NoDeviceError(bench, "only " + std::to_string(fewAttached ? attached : answered) +
                                     " of the " + std::to_string(*job.expect) +
                                     " expected devices " +
                                     (fewAttached ? "are attached" : "answered") +
                                     (options.wait ? " in time" : "") + "; nothing was written");
    }
    devices = *found;
  } else {
    devices = bench.List();
  }
  if (devices.empty()) {
    throw NoDeviceError(bench, "no device is attached");
  }
  return devices;
}

JobResult RunAllBoards(const Job& job, const BoardJob& board, JobObserver& observer) {
  std::unique_ptr<DeviceBench> bench = MakeBench(job.devices, observer);
  RefuseSeveralOn(*bench);
  if (job.devices.wait) {
    observer.OnWaitingForDevices(job.expect);
  }
  const std::vector<link::AttachedDevice> devices = AllDevices(*bench, job, observer);
  observer.OnBoardsStarting(job.action, devices.size());
  JobResult result;
  result.boards = RunAll(*bench, devices, board, observer);
  try {
    bench->Save();
  } catch (const StationError& e) {
    for (BoardReport& report : result.boards) {
      NoteOutputFailure(report, e.what());
    }
    observer.OnOutputLost(e.what());
  }
  result.verdict = VerdictOfAll(result.boards);
  if (result.verdict == Verdict::NoDevice) {
    result.noDeviceAdvice = bench->NoDeviceAdvice();
  }
  return result;
}

JobResult RunBoardLoop(const Job& job, const BoardJob& board, JobObserver& observer) {
  std::unique_ptr<DeviceBench> bench = MakeBench(job.devices, observer);
  JobResult result;
  result.loop = RunLoop(*bench, ParseDeviceSelector(job.devices.device), board, observer,
                        [&observer] { return observer.StopRequested(); });
  const LoopSummary& summary = result.loop;
  result.verdict = summary.outputLost                                 ? Verdict::FileProblem
                   : summary.failed == 0 && summary.resetMissing == 0 ? Verdict::Success
                                                                      : Verdict::Failed;
  return result;
}

// A LinkMessages that keeps what was said, one message a line.
class KeptMessages final : public link::LinkMessages {
 public:
  void ShowLinkMessage(std::string_view text) override { (text_ += text) += '\n'; }
  // The last line said, or empty.
  std::string LastLine() const {
    std::string last;
    std::istringstream lines(text_);
    for (std::string line; std::getline(lines, line);) {
      last = line;
    }
    return last;
  }

 private:
  std::string text_;
};

}  // namespace

std::vector<FileRole> StateFiles(const DeviceOptions& options) {
  std::vector<FileRole> files;
  if (options.stateDir.empty()) {
    return files;
  }
  const std::filesystem::path base = platform::PathFromUtf8(options.stateDir);
  std::vector<std::filesystem::path> folders;
  if (options.emulatedDevices > 0) {
    for (int i = 0; i < options.emulatedDevices; ++i) {
      folders.push_back(base / std::to_string(i));
    }
  } else {
    folders.push_back(base);
  }
  for (const std::filesystem::path& folder : folders) {
    for (const char* name : {"flash.bin", "eeprom.bin"}) {
      files.push_back({"the emulated device's memory", platform::Utf8FromPath(folder / name)});
    }
  }
  return files;
}

JobResult RunJob(const Job& job, JobObserver& observer) {
  CheckDeviceOptions(job.devices);
  const std::string spoolFile = job.database ? SpoolFileFor(*job.database) : std::string();
  const std::string series = job.serial ? job.serial->series : std::string();
  if (!series.empty() && (!job.database || job.action != BoardAction::Update)) {
    throw StationError(Verdict::Usage,
                       "serial numbers from a series are for an update with the "
                       "record database");
  }
  const bool fileJob = job.action == BoardAction::Update || job.action == BoardAction::Verify;
  const bool oneBoard = job.boards == BoardsTaken::One;
  std::vector<FileRole> inputs;
  std::vector<FileRole> outputs;
  if (fileJob) {
    inputs.push_back({"the update file", job.updateFile});
  }
  if (job.action == BoardAction::Backup) {
    outputs.push_back({"the backup", job.backupFile});
  }
  outputs.push_back({"the log", job.logFile});
  if (job.serial && !job.serial->file.empty()) {
    outputs.push_back({"the serial number file", job.serial->file});
    outputs.push_back({"the serial number file's lock", job.serial->file + ".lock"});
  }
  if (oneBoard && job.action == BoardAction::Update) {
    outputs.push_back({"the backup", job.backupFile});
  }
  if (!spoolFile.empty()) {
    outputs.push_back({"the spool of unsent runs", spoolFile});
    outputs.push_back({"the spool's lock", spoolFile + ".lock"});
  }
  CheckFiles(inputs, outputs, job);

  std::unique_ptr<LoadedFile> loaded;
  if (fileJob) {
    loaded = LoadFile(job.updateFile, observer);
    // The file must hold what is to be written, and be whole.
    CheckUpdateFile(job.updateFile, loaded->report, job.flash, job.eeprom, job.force);
  }
  if (oneBoard && (job.action == BoardAction::Update || job.action == BoardAction::Backup)) {
    CheckBackupName(job.backupFile);
  }
  if (job.serial && fileJob) {
    // A serial number must land in what is written.
    CheckSerialPlan(*job.serial, loaded->image, job.flash, job.eeprom);
  }
  CheckLog(job.logFile);

  // Last before the boards: nothing is sent to any board when the database is not ready.
  std::unique_ptr<RunStore> store;
  if (job.database) {
    store =
        OpenRecordDatabase(*job.database, spoolFile, series, [&observer](std::string_view text) {
          observer.OnNotice(JobObserver::Notice::SpoolSent, text);
        });
  }
  BoardJob board = BoardJobFor(job, loaded.get());
  board.store = store.get();
  switch (job.boards) {
    case BoardsTaken::All:
      return RunAllBoards(job, board, observer);
    case BoardsTaken::Loop:
      return RunBoardLoop(job, board, observer);
    case BoardsTaken::One:
      break;
  }
  JobResult result;
  result.boards.push_back(RunOne(job, board, observer, result.noDeviceAdvice));
  result.verdict = result.boards.back().verdict;
  return result;
}

DetectResult Detect(const DeviceOptions& devices, const std::string& traceFile,
                    JobObserver& observer) {
  Job job;
  job.devices = devices;
  job.traceFile = traceFile;
  CheckDeviceOptions(job.devices);
  CheckFiles({}, {}, job);
  Prepared prepared = Prepare(job.devices, observer);
  DetectResult result;
  result.device = prepared.device ? DeviceName(*prepared.device) : std::string();
  Trace trace(job.traceFile);
  {
    DeviceTarget target = prepared.bench->Target(prepared.device);
    // A query between another run's packets would disturb it.
    const auto lock = ClaimDevice(target.lockFile, result.device);
    ObserverMessages messages(observer, result.device);
    DeviceSession session(std::move(target), messages, trace.Tap());
    if (const auto answer = session.Client().Version(); answer.ok()) {
      result.version = answer.version;
    }
  }
  prepared.bench->Save();
  if (const std::string traceError = trace.Finish(); !traceError.empty()) {
    throw StationError(Verdict::FileProblem, traceError);
  }
  if (!result.version) {
    result.verdict = Verdict::NoDevice;
    result.noDeviceAdvice = prepared.bench->NoDeviceAdvice();
  }
  return result;
}

DeviceList ListDevices(const DeviceOptions& options, JobObserver& observer) {
  std::unique_ptr<DeviceBench> bench = MakeBench(options, observer, BenchUse::Look);
  DeviceList list;
  for (const link::AttachedDevice& attached : bench->List()) {
    // Each device is asked under its lock; one that another run holds is not opened: a query
    // between its packets would disturb it.
    ListedDevice listed{attached, std::nullopt, false, {}};
    KeptMessages messages;
    DeviceClaim claim = bench->Claim(attached);
    if (!claim.busy) {
      DeviceSession session(bench->Target(attached), messages, nullptr);
      if (const auto answer = session.Client().Version(); answer.ok()) {
        listed.version = answer.version;
      }
    }
    claim.lock.reset();
    listed.busy = claim.busy;
    if (claim.busy) {
      listed.problem =
          "busy: in use by another Korvane run" +
          (claim.holder ? " (process " + std::to_string(*claim.holder) + ")" : std::string());
    }
    // The last message says most (the access advice follows the open failure).
    if (std::string last = messages.LastLine(); !last.empty()) {
      listed.problem = std::move(last);
    }
    list.devices.push_back(std::move(listed));
  }
  if (list.devices.empty()) {
    list.notice = bench->TakeNotice();
    list.noDeviceAdvice = bench->NoDeviceAdvice();
  }
  return list;
}

}  // namespace korvane::station
