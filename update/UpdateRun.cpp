#include "update/UpdateRun.h"

#include <algorithm>
#include <initializer_list>
#include <span>
#include <utility>
#include <vector>

#include "link/BootloaderPacket.h"
#include "platform/Hex.h"

namespace korvane::update {
namespace {

using image::kApplicationStart;
using image::kFlashLast;
constexpr std::int32_t kEepromLast = static_cast<std::int32_t>(image::kEepromSize) - 1;
constexpr std::int32_t kEraseBlock = link::kFlashEraseBlock;  // 64 bytes
constexpr std::int32_t kRow = link::kWriteChunk;              // 16 bytes

struct StagePlan {
  Stage stage;
  std::int32_t first;
  std::int32_t step;
};

// One packet of a stage: its address (or EEPROM offset) and, for a read, how many bytes from
// there on its reply must cover.
struct Packet {
  std::int32_t address = 0;
  std::size_t needed = 0;
};

// Reads over `first` to `last` in blocks of `block` bytes, the last one needed up to `last`.
std::vector<Packet> ReadsOver(std::int32_t first, std::int32_t last, std::size_t block) {
  std::vector<Packet> reads;
  for (std::int32_t address = first; address <= last; address += static_cast<std::int32_t>(block)) {
    reads.push_back({address, std::min(block, static_cast<std::size_t>(last - address) + 1)});
  }
  return reads;
}

bool AllBlank(std::span<const std::uint8_t> bytes) {
  return std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == image::kBlank; });
}

// A stage either runs to its end or has recorded in the outcome why the run stops.
enum class StageEnd { Completed, Failed };

class Run {
 public:
  Run(const image::MemoryImage& image, link::UsbPipeLink& link, const StopToken& stop,
      UpdateObserver& observer, UpdateMode mode)
      : image_(image),
        stop_(stop),
        observer_(observer),
        incremental_(mode == UpdateMode::OnlyChanged),
        client_(link) {
    outcome_.incremental = incremental_;
  }

  UpdateOutcome Execute(const UpdateSelections& selections) {
    observer_.OnRunStarted();

    // Each selection is read only when the run gets to its group, so a change made while the
    // program flash is being updated still counts for the EEPROM.
    if (Selected(selections.flash) &&
        (incremental_ ? UpdateChangedFlash() : UpdateWholeFlash()) == StageEnd::Failed) {
      return Finish();
    }
    if (Selected(selections.eeprom) &&
        (incremental_ ? UpdateChangedEeprom() : UpdateWholeEeprom()) == StageEnd::Failed) {
      return Finish();
    }
    outcome_.success = true;
    return Finish();
  }

 private:
  static bool Selected(const std::function<bool()>& selection) { return selection && selection(); }

  static StagePlan PlanOf(Stage stage) {
    switch (stage) {
      case Stage::ProgramErase:
        return {stage, kApplicationStart, link::kFlashEraseBlock};
      case Stage::ProgramWrite:
        return {stage, kApplicationStart, link::kWriteChunk};
      case Stage::ProgramVerify:
      case Stage::ProgramRead:
        return {stage, kApplicationStart, link::kFlashReadBlock};
      case Stage::EepromWrite:
        return {stage, 0, link::kWriteChunk};
      case Stage::EepromVerify:
      case Stage::EepromRead:
        return {stage, 0, link::kEepromReadBlock};
    }
    return {stage, 0, 1};
  }

  static bool IsFlashStage(Stage stage) {
    return stage == Stage::ProgramErase || stage == Stage::ProgramWrite ||
           stage == Stage::ProgramVerify || stage == Stage::ProgramRead;
  }
  static bool IsVerifyStage(Stage stage) {
    return stage == Stage::ProgramVerify || stage == Stage::EepromVerify;
  }
  static bool IsReadStage(Stage stage) {
    return stage == Stage::ProgramRead || stage == Stage::EepromRead;
  }

  // The last address (or offset) a stage of the full run sends a packet for, and the last one
  // its verify compares. Program flash ends at HighestFlashAddress, which never lies beyond the
  // image.
  std::int32_t LastAddress(Stage stage) const {
    return IsFlashStage(stage) ? std::min(image_.HighestFlashAddress, kFlashLast) : kEepromLast;
  }

  // The full run: every stage over the whole area, in a fixed order, each one named to the
  // observer even when it has nothing to send.
  StageEnd UpdateWholeFlash() {
    for (const Stage stage : {Stage::ProgramErase, Stage::ProgramWrite, Stage::ProgramVerify}) {
      if (RunStage(stage, Sweep(stage)) == StageEnd::Failed) {
        return StageEnd::Failed;
      }
    }
    return StageEnd::Completed;
  }
  StageEnd UpdateWholeEeprom() {
    for (const Stage stage : {Stage::EepromWrite, Stage::EepromVerify}) {
      if (RunStage(stage, Sweep(stage)) == StageEnd::Failed) {
        return StageEnd::Failed;
      }
    }
    return StageEnd::Completed;
  }

  // The full run's packets of a stage: from its first address in its step, while not above its
  // last address; a read is needed whole, the last one up to that address.
  std::vector<Packet> Sweep(Stage stage) const {
    const StagePlan plan = PlanOf(stage);
    const std::int32_t last = LastAddress(stage);
    if (IsVerifyStage(stage)) {
      return ReadsOver(plan.first, last, static_cast<std::size_t>(plan.step));
    }
    std::vector<Packet> packets;
    for (std::int32_t address = plan.first; address <= last; address += plan.step) {
      packets.push_back({address, 0});
    }
    return packets;
  }

  // Program flash, only what changed.
  //
  // What "differs" means: the area is every 64-byte erase block from 0x800 up to the one that
  // holds HighestFlashAddress, and each block is compared with what a full run leaves in it
  // (target_). A full run erases those whole blocks but writes 16-byte rows only up to the row
  // that holds HighestFlashAddress, so it leaves the image's bytes up to the end of that row and
  // 0xFF above it, to the end of the last block. So the first read goes on to the end of the last
  // block (at most two 56-byte reads more; none when HighestFlashAddress ends a block), and a
  // last block with older data above that row differs and is erased, as a full run would. Then
  // the area holds, byte for byte, what a full run leaves there; the boot block below it and the
  // flash above it are never touched.
  //
  // A block that differs is erased unless it reads all 0xFF, and then gets the rows of the target
  // that are not all 0xFF. On a block that was not erased these are exactly the rows that differ
  // (it reads all 0xFF), so both cases write the same rows. Then the blocks erased or written are
  // read back: erase blocks are 64 bytes and reads 56, so each run of neighbouring changed blocks
  // is read from its first byte, 56 bytes at a time, the last read needed up to the run's end.
  StageEnd UpdateChangedFlash() {
    const std::int32_t highest = LastAddress(Stage::ProgramRead);
    if (highest < kApplicationStart) {
      return StageEnd::Completed;
    }
    areaLast_ = highest | (kEraseBlock - 1);
    target_.assign(image_.FlashImage.begin(), image_.FlashImage.end());
    std::fill(target_.begin() + (highest | (kRow - 1)) + 1, target_.end(), image::kBlank);
    device_.assign(image::kFlashSize, image::kBlank);

    const std::vector<Packet> reads =
        ReadsOver(kApplicationStart, areaLast_, link::kFlashReadBlock);
    if (RunStage(Stage::ProgramRead, reads) == StageEnd::Failed) {
      return StageEnd::Failed;
    }

    const std::span<const std::uint8_t> device(device_);
    const std::span<const std::uint8_t> target(target_);
    std::vector<Packet> erases;
    std::vector<Packet> rows;
    std::vector<Packet> readBack;
    std::int32_t runStart = -1;  // first block of the run of changed blocks being gathered
    for (std::int32_t block = kApplicationStart; block <= areaLast_; block += kEraseBlock) {
      const auto at = static_cast<std::size_t>(block);
      const auto blockOf = [at](std::span<const std::uint8_t> memory) {
        return memory.subspan(at, kEraseBlock);
      };
      const bool changed =
          !std::equal(blockOf(device).begin(), blockOf(device).end(), blockOf(target).begin());
      if (changed) {
        if (!AllBlank(blockOf(device))) {
          erases.push_back({block, 0});
        }
        for (std::int32_t row = block; row < block + kEraseBlock; row += kRow) {
          if (!AllBlank(target.subspan(static_cast<std::size_t>(row), kRow))) {
            rows.push_back({row, 0});
          }
        }
        if (runStart < 0) {
          runStart = block;
        }
      }
      if (runStart >= 0 && (!changed || block + kEraseBlock > areaLast_)) {
        const std::int32_t runLast = changed ? block + kEraseBlock - 1 : block - 1;
        const std::vector<Packet> run = ReadsOver(runStart, runLast, link::kFlashReadBlock);
        readBack.insert(readBack.end(), run.begin(), run.end());
        runStart = -1;
      }
    }
    return RunStages({{Stage::ProgramErase, &erases},
                      {Stage::ProgramWrite, &rows},
                      {Stage::ProgramVerify, &readBack}});
  }

  // The EEPROM, only what changed: the 16-byte rows that differ are written, then the 32-byte
  // blocks that hold them are read back.
  StageEnd UpdateChangedEeprom() {
    deviceEeprom_.fill(image::kBlank);
    if (RunStage(Stage::EepromRead, ReadsOver(0, kEepromLast, link::kEepromReadBlock)) ==
        StageEnd::Failed) {
      return StageEnd::Failed;
    }
    std::vector<Packet> rows;
    std::vector<Packet> readBack;
    for (std::int32_t row = 0; row <= kEepromLast; row += kRow) {
      const auto at = static_cast<std::size_t>(row);
      if (!std::equal(deviceEeprom_.begin() + at, deviceEeprom_.begin() + at + kRow,
                      image_.EepromImage.begin() + at)) {
        rows.push_back({row, 0});
        const std::int32_t block = row - row % link::kEepromReadBlock;
        if (readBack.empty() || readBack.back().address != block) {
          readBack.push_back({block, link::kEepromReadBlock});
        }
      }
    }
    return RunStages({{Stage::EepromWrite, &rows}, {Stage::EepromVerify, &readBack}});
  }

  // Runs the stages that have packets to send, in order; the others are left out.
  StageEnd RunStages(std::initializer_list<std::pair<Stage, const std::vector<Packet>*>> stages) {
    for (const auto& [stage, packets] : stages) {
      if (!packets->empty() && RunStage(stage, *packets) == StageEnd::Failed) {
        return StageEnd::Failed;
      }
    }
    return StageEnd::Completed;
  }

  StageEnd RunStage(Stage stage, std::span<const Packet> packets) {
    observer_.OnStageStarted(stage);

    for (std::size_t i = 0; i < packets.size(); ++i) {
      const Packet& packet = packets[i];
      // A stop asked for before this packet (before the run's first, say) lets nothing more out.
      if (stop_.StopRequested()) {
        return Fail(Failure::Aborted, stage, packet.address);
      }
      if (!SendOne(stage, packet)) {
        return StageEnd::Failed;
      }
      if (IsVerifyStage(stage) && !Compare(stage, packet)) {
        return StageEnd::Failed;
      }
      if (IsReadStage(stage)) {
        Keep(stage, packet);
      }
      observer_.OnProgress(stage, ProgressOf(stage, packet.address, i + 1, packets.size()));
      if (stop_.StopRequested()) {
        return Fail(Failure::Aborted, stage, packet.address);
      }
    }
    return StageEnd::Completed;
  }

  // Sends one packet. A packet that could not be sent, whose exchange failed or whose reply
  // came back short ends the run at once: the device state is unknown, so carrying on could only
  // report a stale success. So does a read reply that does not answer its request or leaves out
  // bytes of its block: bytes it leaves out would pass without ever having been read. A read's
  // data are kept in data_.
  bool SendOne(Stage stage, const Packet& packet) {
    const std::int32_t address = packet.address;
    link::PacketResult result;
    std::uint32_t* work = nullptr;  // the outcome's count of this kind of packet, if any
    switch (stage) {
      case Stage::ProgramErase:
        result = client_.Erase(address);
        work = &outcome_.blocksErased;
        break;
      case Stage::ProgramWrite:
        // Rows are written only up to the one that holds HighestFlashAddress, where the target
        // is the image itself.
        result = client_.Write(link::Memory::Flash, address, Chunk(image_.FlashImage, address));
        work = &outcome_.flashRowsWritten;
        break;
      case Stage::EepromWrite:
        result = client_.Write(link::Memory::Eeprom, address, Chunk(image_.EepromImage, address));
        work = &outcome_.eepromRowsWritten;
        break;
      case Stage::ProgramVerify:
      case Stage::ProgramRead:
      case Stage::EepromVerify:
      case Stage::EepromRead: {
        const bool flash = IsFlashStage(stage);
        const link::BootloaderClient::ReadResult read = client_.Read(
            flash ? link::Memory::Flash : link::Memory::Eeprom, address, packet.needed);
        data_ = read.data;
        result = read;
        break;
      }
    }
    if (result.sent) {
      ++outcome_.packetsSent;
      if (work != nullptr) {
        ++*work;
      }
    }
    if (result.fault) {
      Fail(Failure::NotSent, stage, address);
      NoteLinkFault(outcome_, *result.fault);
      return false;
    }
    return true;
  }

  // The 16 image bytes a write carries. Write addresses are multiples of 16 and stay at or
  // below the last index, so a whole chunk always lies inside the image.
  template <std::size_t N>
  static std::span<const std::uint8_t, link::kWriteChunk> Chunk(
      const std::array<std::uint8_t, N>& memory, std::int32_t address) {
    return std::span<const std::uint8_t, link::kWriteChunk>(
        memory.data() + static_cast<std::size_t>(address), link::kWriteChunk);
  }

  // The last address (or offset) whose byte a reply may be compared for: in the full run the
  // last program-flash block up to HighestFlashAddress (the bytes above it were neither erased
  // nor written), in the update of what changed up to the end of the area.
  std::int32_t CompareLast(Stage stage) const {
    if (!IsFlashStage(stage)) {
      return kEepromLast;
    }
    return incremental_ ? areaLast_ : LastAddress(stage);
  }

  // Keeps what a first read found, for the blocks and rows to be compared with the image.
  void Keep(Stage stage, const Packet& packet) {
    const auto data = data_.begin();
    const auto at = static_cast<std::size_t>(packet.address);
    if (stage == Stage::ProgramRead) {
      std::copy_n(data, packet.needed, device_.begin() + static_cast<std::ptrdiff_t>(at));
    } else {
      std::copy_n(data, packet.needed, deviceEeprom_.begin() + static_cast<std::ptrdiff_t>(at));
    }
  }

  // Compares a read reply with what the device should now hold: the data from byte 5, every
  // byte the reply answers inside the area, at least the packet's. (A read back of what changed
  // may reach into a block the first read found unchanged; what it says there must hold too.)
  bool Compare(Stage stage, const Packet& packet) {
    const bool flash = stage == Stage::ProgramVerify;
    const auto start = static_cast<std::size_t>(packet.address);
    const std::size_t compared = std::min<std::size_t>(
        data_.size(), static_cast<std::size_t>(CompareLast(stage)) - start + 1);
    const std::span<const std::uint8_t> memory =
        !flash         ? std::span<const std::uint8_t>(image_.EepromImage)
        : incremental_ ? std::span<const std::uint8_t>(target_)
                       : std::span<const std::uint8_t>(image_.FlashImage);
    for (std::size_t k = 0; k < compared; ++k) {
      const std::uint8_t found = data_[k];
      const std::uint8_t expected = memory[start + k];
      if (found != expected) {
        Fail(Failure::Mismatch, stage, packet.address);
        outcome_.mismatchAddress = static_cast<std::int32_t>(start + k);
        outcome_.expected = expected;
        outcome_.found = found;
        return false;
      }
    }
    return true;
  }

  // How far a stage has come after the `done`-th of its `total` packets. The full run counts
  // the packet's address of the stage's last address (HighestFlashAddress, or 255), so a flash
  // stage's first value is 2048 x 100 / HighestFlashAddress; the update of what changed sends
  // scattered packets and counts them.
  Progress ProgressOf(Stage stage, std::int32_t address, std::size_t done,
                      std::size_t total) const {
    if (incremental_) {
      return {static_cast<std::int64_t>(done), static_cast<std::int64_t>(total)};
    }
    return {address, IsFlashStage(stage) ? image_.HighestFlashAddress : 255};
  }

  StageEnd Fail(Failure failure, Stage stage, std::int32_t address) {
    outcome_.success = false;
    outcome_.failure = failure;
    outcome_.stage = stage;
    outcome_.packetAddress = address;
    return StageEnd::Failed;
  }

  UpdateOutcome Finish() {
    if (outcome_.success) {
      observer_.OnFinished(outcome_);
    } else {
      observer_.OnFailed(outcome_);
    }
    return outcome_;
  }

  const image::MemoryImage& image_;
  const StopToken& stop_;
  UpdateObserver& observer_;
  const bool incremental_;
  // One request and one reply buffer for the whole run, zero at the start and never cleared.
  link::BootloaderClient client_;
  std::span<const std::uint8_t> data_;  // what the last read reply announced
  UpdateOutcome outcome_{};
  // The update of what changed: the area's last address, what program flash should hold there
  // and what the first reads found (on the heap: a web page's stack is small).
  std::int32_t areaLast_ = 0;
  std::vector<std::uint8_t> target_;
  std::vector<std::uint8_t> device_;
  std::array<std::uint8_t, image::kEepromSize> deviceEeprom_{};
};

}  // namespace

namespace {

std::string_view StageName(Stage stage) {
  switch (stage) {
    case Stage::ProgramErase:
      return "Erase";
    case Stage::ProgramWrite:
      return "Write";
    case Stage::ProgramVerify:
      return "Verify";
    case Stage::EepromWrite:
      return "EEPROM write";
    case Stage::EepromVerify:
      return "EEPROM verify";
    case Stage::ProgramRead:
      return "Read";
    case Stage::EepromRead:
      return "EEPROM read";
  }
  return "Update";
}

using platform::HexNumber;

std::string Why(const UpdateOutcome& outcome) {
  switch (outcome.failure) {
    case Failure::Aborted:
      return "stopped by the user.";
    case Failure::Mismatch:
      return "found " + HexNumber(outcome.found, 2) + ", expected " +
             HexNumber(outcome.expected, 2) + ".";
    case Failure::NotSent:
      if (!outcome.noDevice) {
        return "the pipes did not open.";
      }
      return outcome.packetsSent == 0 ? "no device answered." : "the device is no longer attached.";
    case Failure::ExchangeFailed:
      if (outcome.errorCode == link::kErrorTimeout) {
        return "the device did not answer in time.";
      }
      if (outcome.errorCode == link::kErrorInvalidHandle) {
        return "the device is no longer attached.";
      }
      if (outcome.errorCode == 0) {
        return "the reply was too long.";
      }
      return "the transfer failed (error " + std::to_string(outcome.errorCode) + ").";
    case Failure::ShortReply:
      return "the reply was short.";
    case Failure::CountTooLarge:
      return "the reply claimed too many bytes.";
    case Failure::ShortCount:
      return "the device answered " + std::to_string(outcome.answered) + " of " +
             std::to_string(outcome.needed) + " bytes.";
    case Failure::WrongEcho:
      return "the reply answers another request (command " + HexNumber(outcome.echoedCommand, 2) +
             ", address " + HexNumber(static_cast<std::uint32_t>(outcome.echoedAddress), 6) + ").";
    case Failure::DeviceChanged:
      return "another device was attached or removed during the update; with " +
             (outcome.libraryName.empty() ? std::string("this USB library") : outcome.libraryName) +
             " Korvane cannot tell devices apart: update with one device attached.";
    case Failure::None:
      break;
  }
  return {};
}

}  // namespace

void NoteLinkFault(UpdateOutcome& outcome, const link::LinkFault& fault) {
  switch (fault.error) {
    case link::LinkError::NotSent:
      outcome.failure = Failure::NotSent;
      break;
    case link::LinkError::DeviceChanged:
      outcome.failure = Failure::DeviceChanged;
      break;
    case link::LinkError::ExchangeFailed:
      outcome.failure = Failure::ExchangeFailed;
      break;
    case link::LinkError::ShortReply:
      outcome.failure = Failure::ShortReply;
      break;
    case link::LinkError::CountTooLarge:
      outcome.failure = Failure::CountTooLarge;
      break;
    case link::LinkError::ShortCount:
      outcome.failure = Failure::ShortCount;
      break;
    case link::LinkError::WrongEcho:
      outcome.failure = Failure::WrongEcho;
      break;
  }
  outcome.noDevice = fault.noDevice;
  outcome.errorCode = fault.errorCode;
  outcome.libraryName = fault.libraryName;
  outcome.answered = fault.answered;
  outcome.needed = fault.needed;
  outcome.echoedCommand = fault.echoedCommand;
  outcome.echoedAddress = fault.echoedAddress;
}

std::string FailureCause(const UpdateOutcome& outcome) {
  return Why(outcome);
}

std::string FailureReason(const UpdateOutcome& outcome) {
  if (outcome.success || outcome.failure == Failure::None) {
    return {};
  }
  const Stage stage = outcome.stage.value_or(Stage::ProgramErase);
  const bool eeprom =
      stage == Stage::EepromWrite || stage == Stage::EepromVerify || stage == Stage::EepromRead;
  const std::int32_t address =
      outcome.failure == Failure::Mismatch ? outcome.mismatchAddress : outcome.packetAddress;
  return std::string(StageName(stage)) + " at " +
         HexNumber(static_cast<std::uint32_t>(address), eeprom ? 2 : 4) + ": " + Why(outcome);
}

UpdateOutcome RunUpdate(const image::MemoryImage& image, link::UsbPipeLink& link,
                        const UpdateSelections& selections, const StopToken& stop,
                        UpdateObserver& observer, UpdateMode mode) {
  const link::DeviceCountWatch watch(link);
  Run run(image, link, stop, observer, mode);
  return run.Execute(selections);
}

}  // namespace korvane::update
