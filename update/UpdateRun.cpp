#include "update/UpdateRun.h"

#include <algorithm>
#include <span>

#include "link/BootloaderPacket.h"

namespace korvane::update {
namespace {

using link::PacketBuffer;

// The application area of program flash starts above the 2 KiB boot block.
constexpr std::int32_t kApplicationStart = 0x800;
constexpr std::int32_t kFlashLast = static_cast<std::int32_t>(image::kFlashSize) - 1;
constexpr std::int32_t kEepromLast = static_cast<std::int32_t>(image::kEepromSize) - 1;

constexpr std::string_view kProgramErrorText = "Error in program data found...";
constexpr std::string_view kEepromErrorText = "Error in EEPROM data found...";

struct StagePlan {
  Stage stage;
  std::uint32_t barColour;
  std::int32_t first;
  std::int32_t step;
};

// A stage either runs to its end or has recorded in the outcome why the run stops.
enum class StageEnd { Completed, Failed };

class Run {
 public:
  Run(const image::MemoryImage& image, link::UsbPipeLink& link, const bool& abortRequested,
      UpdateObserver& observer)
      : image_(image), link_(link), abortRequested_(abortRequested), observer_(observer) {}

  UpdateOutcome Execute(const UpdateSelections& selections) {
    observer_.ShowProgress();
    observer_.SetDeviceLine(kDeviceLine);
    observer_.SetStageText("");
    observer_.SetBarValue(0.0F);

    // Each selection is read only when the run gets to its group, so a change made while the
    // program flash is being updated still counts for the EEPROM.
    if (Selected(selections.flash)) {
      for (const Stage stage : {Stage::ProgramErase, Stage::ProgramWrite, Stage::ProgramVerify}) {
        if (RunStage(stage) == StageEnd::Failed) {
          return Finish();
        }
      }
    }
    if (Selected(selections.eeprom)) {
      for (const Stage stage : {Stage::EepromWrite, Stage::EepromVerify}) {
        if (RunStage(stage) == StageEnd::Failed) {
          return Finish();
        }
      }
    }
    outcome_.success = true;
    return Finish();
  }

 private:
  static bool Selected(const std::function<bool()>& selection) { return selection && selection(); }

  static StagePlan PlanOf(Stage stage) {
    switch (stage) {
      case Stage::ProgramErase:
        return {stage, kBarYellow, kApplicationStart, link::kFlashEraseBlock};
      case Stage::ProgramWrite:
        return {stage, kBarBlue, kApplicationStart, link::kWriteChunk};
      case Stage::ProgramVerify:
        return {stage, kBarGreen, kApplicationStart, link::kFlashReadBlock};
      case Stage::EepromWrite:
        return {stage, kBarBlue, 0, link::kWriteChunk};
      case Stage::EepromVerify:
        return {stage, kBarGreen, 0, link::kEepromReadBlock};
    }
    return {stage, kBarGreen, 0, 1};
  }

  static bool IsFlashStage(Stage stage) {
    return stage == Stage::ProgramErase || stage == Stage::ProgramWrite ||
           stage == Stage::ProgramVerify;
  }

  // The last address (or offset) a stage sends a packet for, and the last one its verify
  // compares. Program flash ends at HighestFlashAddress, which never lies beyond the image.
  std::int32_t LastAddress(Stage stage) const {
    return IsFlashStage(stage) ? std::min(image_.HighestFlashAddress, kFlashLast) : kEepromLast;
  }

  StageEnd RunStage(Stage stage) {
    const StagePlan plan = PlanOf(stage);
    observer_.OnStageBegin(stage);
    observer_.SetStageText(StageText(stage));
    observer_.SetProgressBarColor(plan.barColour);

    const std::int32_t limit = LastAddress(stage);
    for (std::int32_t address = plan.first; address <= limit;) {
      // A stop asked for before this packet (before the run's first, say) lets nothing more out.
      if (abortRequested_) {
        return Fail(Failure::Aborted, stage, address);
      }
      if (!SendOne(stage, address)) {
        return StageEnd::Failed;
      }
      if (IsVerifyStage(stage) && !Compare(stage, address)) {
        return StageEnd::Failed;
      }
      observer_.SetBarValue(ProgressValue(stage, address));
      observer_.ProcessPendingEvents();
      const std::int32_t sentAddress = address;
      address += plan.step;
      if (abortRequested_) {
        return Fail(Failure::Aborted, stage, sentAddress);
      }
    }
    return StageEnd::Completed;
  }

  static bool IsVerifyStage(Stage stage) {
    return stage == Stage::ProgramVerify || stage == Stage::EepromVerify;
  }

  // Builds and sends one packet. A packet that could not be sent, whose exchange failed or
  // whose reply came back short ends the run at once: the reply buffer would still hold an
  // earlier reply and the device state is unknown, so carrying on could only report a stale
  // success.
  bool SendOne(Stage stage, std::int32_t address) {
    std::int32_t requestLength = 0;
    std::int32_t replyLength = 0;
    switch (stage) {
      case Stage::ProgramErase:
        replyLength = link::kAckReplyLength;
        requestLength = link::BuildFlashErase(request_, address);
        break;
      case Stage::ProgramWrite:
        replyLength = link::kAckReplyLength;
        requestLength = link::BuildFlashWrite(request_, address, Chunk(image_.FlashImage, address));
        break;
      case Stage::ProgramVerify:
        replyLength = link::kFlashReadReplyLength;
        requestLength = link::BuildFlashRead(request_, address);
        break;
      case Stage::EepromWrite:
        replyLength = link::kAckReplyLength;
        requestLength =
            link::BuildEepromWrite(request_, address, Chunk(image_.EepromImage, address));
        break;
      case Stage::EepromVerify:
        replyLength = link::kEepromReadReplyLength;
        requestLength = link::BuildEepromRead(request_, address);
        break;
    }

    const link::PacketOutcome sent = link_.SendPacket(request_, requestLength, reply_, replyLength);
    if (!sent.sent) {
      Fail(Failure::NotSent, stage, address);
      NoteNotSent(outcome_, sent, link_);
      return false;
    }
    ++outcome_.packetsSent;
    received_ = replyLength;
    switch (sent.result) {
      case link::ExchangeResult::Complete:
        return true;
      case link::ExchangeResult::Short:
        Fail(Failure::ShortReply, stage, address);
        return false;
      case link::ExchangeResult::Failed:
        break;
    }
    Fail(Failure::ExchangeFailed, stage, address);
    outcome_.errorCode = sent.errorCode;
    return false;
  }

  // The 16 image bytes a write carries. Write addresses step by 16 from a multiple of 16 and
  // stay at or below the last index, so a whole chunk always lies inside the image.
  template <std::size_t N>
  static std::span<const std::uint8_t, link::kWriteChunk> Chunk(
      const std::array<std::uint8_t, N>& memory, std::int32_t address) {
    return std::span<const std::uint8_t, link::kWriteChunk>(
        memory.data() + static_cast<std::size_t>(address), link::kWriteChunk);
  }

  // Compares a read reply with the image: the data from byte 5, every byte of the block, in the
  // last program-flash block up to HighestFlashAddress (the bytes above it were neither erased
  // nor written). A reply that does not answer this request or does not cover the block fails
  // the run: bytes it leaves out would pass without ever having been read back.
  bool Compare(Stage stage, std::int32_t address) {
    const bool flash = stage == Stage::ProgramVerify;
    const std::size_t requested = flash ? link::kFlashReadBlock : link::kEepromReadBlock;
    const auto last = static_cast<std::size_t>(LastAddress(stage));
    const auto start = static_cast<std::size_t>(address);
    const std::size_t compared = std::min(requested, last - start + 1);
    if (const Failure failure = CheckReadReply(request_, reply_, received_, compared, outcome_);
        failure != Failure::None) {
      Fail(failure, stage, address);
      return false;
    }
    const std::span<const std::uint8_t> memory =
        flash ? std::span<const std::uint8_t>(image_.FlashImage)
              : std::span<const std::uint8_t>(image_.EepromImage);
    for (std::size_t k = 0; k < compared; ++k) {
      const std::uint8_t found = reply_[link::kDataByte + k];
      const std::uint8_t expected = memory[start + k];
      if (found != expected) {
        observer_.SetStageColour(kTextRed);
        observer_.SetStageText(flash ? kProgramErrorText : kEepromErrorText);
        Fail(Failure::Mismatch, stage, address);
        outcome_.mismatchAddress = static_cast<std::int32_t>(start + k);
        outcome_.expected = expected;
        outcome_.found = found;
        return false;
      }
    }
    return true;
  }

  // The bar's value: address x 100 as a 32-bit product, divided in double, shown in single
  // precision. A flash stage's first value is therefore 2048 x 100 / HighestFlashAddress.
  float ProgressValue(Stage stage, std::int32_t address) const {
    const std::int32_t scaled = address * 100;
    if (IsFlashStage(stage)) {
      return static_cast<float>(static_cast<double>(scaled) /
                                static_cast<double>(image_.HighestFlashAddress));
    }
    return static_cast<float>(static_cast<double>(scaled) / 255.0);
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
      observer_.ShowOutcome(kSuccessText, kTextSuccess);
    } else {
      observer_.ShowOutcome(kFailureText, kTextRed);
    }
    return outcome_;
  }

  const image::MemoryImage& image_;
  link::UsbPipeLink& link_;
  const bool& abortRequested_;
  UpdateObserver& observer_;
  // One request and one reply buffer for the whole run, zero at the start and never cleared.
  PacketBuffer request_{};
  PacketBuffer reply_{};
  std::int32_t received_ = 0;  // bytes the last exchange brought back
  UpdateOutcome outcome_{};
};

}  // namespace

std::string_view StageText(Stage stage) {
  switch (stage) {
    case Stage::ProgramErase:
      return "Erasing Flash...";
    case Stage::ProgramWrite:
      return "Writing program data...";
    case Stage::ProgramVerify:
      return "Verify program data...";
    case Stage::EepromWrite:
      return "Write EEPROM...";
    case Stage::EepromVerify:
      return "Verify EEPROM data...";
  }
  return "";
}

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
  }
  return "Update";
}

std::string Hex(std::uint32_t value, int digits) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) {
    text += kDigits[(value >> shift) & 0x0F];
  }
  return "0x" + text;
}

std::string Why(const UpdateOutcome& outcome) {
  switch (outcome.failure) {
    case Failure::Aborted:
      return "stopped by the user.";
    case Failure::Mismatch:
      return "found " + Hex(outcome.found, 2) + ", expected " + Hex(outcome.expected, 2) + ".";
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
      return "the reply answers another request (command " + Hex(outcome.echoedCommand, 2) +
             ", address " + Hex(static_cast<std::uint32_t>(outcome.echoedAddress), 6) + ").";
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

Failure CheckReadReply(const link::PacketBuffer& request, const link::PacketBuffer& reply,
                       std::int32_t received, std::size_t needed, UpdateOutcome& outcome) {
  if (!link::EchoesRequest(request, reply)) {
    outcome.echoedCommand = reply[link::kCommandByte];
    outcome.echoedAddress = link::PacketAddress(reply);
    return Failure::WrongEcho;
  }
  const std::size_t count = reply[link::kLengthByte];
  if (count > request[link::kLengthByte]) {
    return Failure::CountTooLarge;
  }
  if (count < needed) {
    outcome.answered = static_cast<std::uint32_t>(count);
    outcome.needed = static_cast<std::uint32_t>(needed);
    return Failure::ShortCount;
  }
  if (received < 0 || link::kDataByte + count > static_cast<std::size_t>(received)) {
    return Failure::ShortReply;
  }
  return Failure::None;
}

void NoteNotSent(UpdateOutcome& outcome, const link::PacketOutcome& sent,
                 const link::UsbPipeLink& link) {
  outcome.noDevice = sent.noDevice;
  if (sent.deviceChanged) {
    outcome.failure = Failure::DeviceChanged;
    outcome.libraryName = link.LibraryName();
  }
}

std::string FailureCause(const UpdateOutcome& outcome) {
  return Why(outcome);
}

std::string FailureReason(const UpdateOutcome& outcome) {
  if (outcome.success || outcome.failure == Failure::None) {
    return {};
  }
  const Stage stage = outcome.stage.value_or(Stage::ProgramErase);
  const bool eeprom = stage == Stage::EepromWrite || stage == Stage::EepromVerify;
  const std::int32_t address =
      outcome.failure == Failure::Mismatch ? outcome.mismatchAddress : outcome.packetAddress;
  return std::string(StageName(stage)) + " at " +
         Hex(static_cast<std::uint32_t>(address), eeprom ? 2 : 4) + ": " + Why(outcome);
}

UpdateOutcome RunUpdate(const image::MemoryImage& image, link::UsbPipeLink& link,
                        const UpdateSelections& selections, const bool& abortRequested,
                        UpdateObserver& observer) {
  const link::DeviceCountWatch watch(link);
  Run run(image, link, abortRequested, observer);
  return run.Execute(selections);
}

}  // namespace korvane::update
