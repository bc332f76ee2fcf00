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

// Windows colour values (0x00BBGGRR).
inline constexpr std::uint32_t kBarYellow = 0x0000FFFF;    // erasing
inline constexpr std::uint32_t kBarBlue = 0x00ED9564;      // writing
inline constexpr std::uint32_t kBarGreen = 0x00238E6B;     // verifying
inline constexpr std::uint32_t kTextRed = 0x000000FF;      // mismatch, failure
inline constexpr std::uint32_t kTextSuccess = 0x0000C000;  // success

inline constexpr std::string_view kDeviceLine = "Dextrel Device";
inline constexpr std::string_view kSuccessText = "The update was successful.";
inline constexpr std::string_view kFailureText = "The update was not successful.";

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

// The progress window's stage text of each stage ("Erasing Flash...", ...).
std::string_view StageText(Stage stage);

// What the progress and result windows show; the windows, the command-line tool and the tests
// implement it. The engine never prints and never shows a window itself.
class UpdateObserver {
 public:
  virtual ~UpdateObserver() = default;
  // Show the progress window (its load hides the main window and clears AbortRequested).
  virtual void ShowProgress() = 0;
  virtual void SetDeviceLine(std::string_view text) = 0;
  virtual void SetStageText(std::string_view text) = 0;
  virtual void SetStageColour(std::uint32_t colour) = 0;
  // The progress bar's chunk colour, set once at the start of every stage.
  virtual void SetProgressBarColor(std::uint32_t colour) = 0;
  // The progress bar's value, 0 to 100.
  virtual void SetBarValue(float value) = 0;
  // Called after every packet: the place where an Abort click gets in.
  virtual void ProcessPendingEvents() = 0;
  // Unload the progress window and show the result window with this line in this colour.
  virtual void ShowOutcome(std::string_view text, std::uint32_t colour) = 0;
  // A stage begins (before its texts are set). Optional.
  virtual void OnStageBegin(Stage /*stage*/) {}
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
// `abortRequested` is read before and after every packet, so a stop asked for before the run
// sends nothing. A packet that could not be sent, or whose exchange failed or came back short,
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
                        const UpdateSelections& selections, const bool& abortRequested,
                        UpdateObserver& observer, UpdateMode mode = UpdateMode::Full);

}  // namespace korvane::update
