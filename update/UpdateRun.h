#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "image/MemoryImage.h"
#include "link/BootloaderClient.h"
#include "link/BootloaderPacket.h"
#include "link/UsbPipeLink.h"

namespace korvane::update {

// The stages of a run. ProgramRead and EepromRead belong to the update of only what changed: they
// read the device before anything is erased or written.
enum class Stage {
  ProgramErase,
  ProgramWrite,
  ProgramVerify,
  EepromWrite,
  EepromVerify,
  ProgramRead,
  EepromRead,
};

// How far a stage (or a read of the device) has come: `done` of `total`. The full run counts in
// addresses, the address of the packet just sent of the stage's last address (HighestFlashAddress,
// or 255 in the EEPROM), as the progress bar always has; the update of only what changed and the
// reads count packets or bytes.
struct Progress {
  std::int64_t done = 0;
  std::int64_t total = 1;
  // done x 100 / total, computed in double and shown in single precision: the bar's value.
  float Percent() const {
    return static_cast<float>(static_cast<double>(done * 100) / static_cast<double>(total));
  }
};

// Asks a run to stop. The run looks before and after every packet, so a stop asked for before
// the run lets nothing out, and one asked for during a packet takes effect after it. It either
// reads a flag its owner sets (the windows' Abort) or asks a function (a count of signals).
class StopToken {
 public:
  StopToken() = default;  // never asks
  explicit StopToken(const bool& flag) : flag_(&flag) {}
  explicit StopToken(std::function<bool()> asked) : asked_(std::move(asked)) {}
  bool StopRequested() const { return (flag_ != nullptr && *flag_) || (asked_ && asked_()); }

 private:
  const bool* flag_ = nullptr;
  std::function<bool()> asked_;
};

struct UpdateOutcome;

// What a run reports, as it happens; the windows, the command-line tool and the tests listen.
// The engine never prints, shows a window or picks a colour: the listener words and draws.
class UpdateObserver {
 public:
  virtual ~UpdateObserver() = default;
  // The run begins (before its first stage; also when no stage follows).
  virtual void OnRunStarted() {}
  virtual void OnStageStarted(Stage /*stage*/) {}
  // After every packet of a stage: the place where a listener lets pending events in (an Abort
  // click, say) before the run looks at its stop token again.
  virtual void OnProgress(Stage /*stage*/, Progress /*progress*/) {}
  // The run ended: every chosen stage ran to its end and was verified.
  virtual void OnFinished(const UpdateOutcome& /*outcome*/) {}
  // The run ended in failure: the outcome says why (its failure), in which stage and where.
  virtual void OnFailed(const UpdateOutcome& /*outcome*/) {}
};

enum class Failure {
  None,
  Aborted,         // AbortRequested was set
  Mismatch,        // a verify stage found a byte that differs from the image
  NotSent,         // the pipes were not open (no device, or they failed to open)
  ExchangeFailed,  // the write or the read failed
  ShortReply,      // fewer bytes came back than expected
  CountTooLarge,   // a read reply claimed more bytes than requested
  // A read reply whose count covers fewer bytes than the comparison needs (0 at worst): the
  // bytes it leaves out were never read back.
  ShortCount,
  // A read reply whose command or address bytes are not those of the request: it answers
  // another request (a stale or shifted reply), so its data stand for other memory.
  WrongEcho,
  // The number of attached devices changed during the run on a USB library that cannot tell
  // devices apart: the link may be talking to another device now, so nothing more was sent.
  DeviceChanged,
};

struct UpdateOutcome {
  bool success = false;
  Failure failure = Failure::None;
  std::optional<Stage> stage;        // the stage in which the run failed
  std::int32_t packetAddress = 0;    // address (or EEPROM offset) of the failing packet
  std::int32_t mismatchAddress = 0;  // for Mismatch: the first differing address or offset
  std::uint8_t expected = 0;         // for Mismatch: the image byte
  std::uint8_t found = 0;            // for Mismatch: the device byte
  std::uint32_t packetsSent = 0;     // packets whose exchange ran (the pipes were open)
  // What went out to the device, counted like packetsSent (an erase or a write whose reply then
  // failed counts: the device may have carried it out).
  std::uint32_t blocksErased = 0;       // FlashErase packets, one 64-byte block each
  std::uint32_t flashRowsWritten = 0;   // FlashWrite packets, one 16-byte row each
  std::uint32_t eepromRowsWritten = 0;  // EepromWrite packets, one 16-byte row each
  bool incremental = false;             // the run was UpdateMode::OnlyChanged
  bool noDevice = false;                // for NotSent: no matching device was attached
  std::uint32_t errorCode = 0;          // for ExchangeFailed: the library's error code (0: none)
  std::string libraryName;              // for DeviceChanged: the USB library, as the user knows it
  std::uint32_t answered = 0;      // for ShortCount: the data bytes the reply's count announced
  std::uint32_t needed = 0;        // for ShortCount: the data bytes the comparison needed
  std::uint8_t echoedCommand = 0;  // for WrongEcho: the command the reply names
  std::int32_t echoedAddress = 0;  // for WrongEcho: the address the reply names
};

// Notes in the outcome why a packet failed: its failure and the link's details.
void NoteLinkFault(UpdateOutcome& outcome, const link::LinkFault& fault);

// Why a run failed, in one short line for the result window and the command line: where it
// stopped (stage and address) and why, e.g. "Write at 0x0840: the device did not answer in
// time." Empty for a successful run.
std::string FailureReason(const UpdateOutcome& outcome);
// The part of FailureReason after the place: why the packet failed ("the device did not answer
// in time."). Also used for runs that only read the device.
std::string FailureCause(const UpdateOutcome& outcome);

struct UpdateSelections {
  // Each is read once, when the run reaches its group.
  std::function<bool()> flash;
  std::function<bool()> eeprom;
};

enum class UpdateMode {
  // Erase, write and read back the whole area, every time.
  Full,
  // Read the area first and erase, write and read back only the 64-byte blocks of program flash
  // and the 16-byte rows of the EEPROM that differ from the image. Pays where the device already
  // holds most of the image or is blank; costs the first read (about a tenth of a full run's
  // time) where everything differs. The device's memory afterwards is what a full run leaves.
  OnlyChanged,
};

// The update run: erase, write and verify program flash from 0x800 up to HighestFlashAddress,
// then write and verify the 256-byte data EEPROM, one packet per open/exchange/close bracket.
// `stop` is read before and after every packet, so a stop asked for before the run sends
// nothing. A packet that could not be sent, or whose exchange failed or came back short,
// ends the run at once in failure (no retry); so does a read reply that the link's client refuses
// (link::BootloaderClient::Read): every block is compared whole, the last program-flash block up to
// HighestFlashAddress. An empty selection counts as unchecked. On a USB library that cannot
// tell devices apart the device count is watched for the whole run.
//
// With UpdateMode::OnlyChanged each group first reads the device (ProgramRead, EepromRead), then
// runs its erase, write and verify stages over what differs; a stage with nothing to send is
// left out (the observer hears of none of it). Every read reply passes the same check, and a
// block or row that read as the image is verified by that first read.
UpdateOutcome RunUpdate(const image::MemoryImage& image, link::UsbPipeLink& link,
                        const UpdateSelections& selections, const StopToken& stop,
                        UpdateObserver& observer, UpdateMode mode = UpdateMode::Full);

}  // namespace korvane::update
