#pragma once

#include <string_view>

#include "app/Texts.h"
#include "station/Board.h"
#include "update/DeviceBackup.h"

// What korvane-cli says of a run: the windows' texts where the terminal shows what the windows
// show (stage texts, the outcome), and its own for what only it does (reads, verify, reset).
namespace korvane::cli::text {

using app::text::kEepromErrorText;
using app::text::kFailureText;
using app::text::kProgramErrorText;
using app::text::kSuccessText;
using app::text::StageText;

// The stage text of a read of the device.
constexpr std::string_view RegionText(update::BackupRegion region) {
  return region == update::BackupRegion::Flash ? "Reading program flash..." : "Reading EEPROM...";
}

// The line that says what came of a board ("The update was successful."); empty for none.
constexpr std::string_view ResultText(station::BoardResult result) {
  switch (result) {
    case station::BoardResult::None:
      return "";
    case station::BoardResult::Updated:
      return kSuccessText;
    case station::BoardResult::NotUpdated:
      return kFailureText;
    case station::BoardResult::Matches:
      return "The device matches the file.";
    case station::BoardResult::DoesNotMatch:
      return "The device does not match the file.";
    case station::BoardResult::ResetSent:
      return "Device reset sent.";
  }
  return "";
}

}  // namespace korvane::cli::text
