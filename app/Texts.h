#pragma once

#include <string_view>

#include "update/UpdateRun.h"

// The fixed texts of the five windows and their message boxes, exactly as the user sees them.
// The window designs (app/Designs.cpp) take the design-time ones; the handlers set the others.
namespace korvane::app::text {

inline constexpr std::string_view kMainCaption = "USB-Korvane";
inline constexpr std::string_view kAppTitle = "USB_Korvane";  // title of plain message boxes

// Lines end in CR LF; a label shows the pair as one line break.
inline constexpr std::string_view kStartText =
    "- Select an Update-File\r\n"
    "- Connect your Dextrel product to an USB port\r\n"
    "   and press the \"Auto Detect...\" button.";
inline constexpr std::string_view kFileOpenedText =
    "- Connect your Dextrel product to an USB port\r\n"
    "   and press the \"Auto Detect...\" button.";
inline constexpr std::string_view kDeviceFoundText = "- Select an Update-File";
inline constexpr std::string_view kReadyText = "- press the \"Data Update\" button.";
inline constexpr std::string_view kNotLoaded = "Update File not loaded!";
inline constexpr std::string_view kWaitText = "Please wait, file is loading..";

inline constexpr std::string_view kAlreadyRunning = "Korvane allready running!";
inline constexpr std::string_view kAlreadyRunningTitle = "Korvane-Error";
inline constexpr std::string_view kClaimFailed =
    "Korvane could not make sure that no other copy of it is running";

// Main window controls and menus. No caption carries an access key.
inline constexpr std::string_view kUpdateButton = "Data Update";
inline constexpr std::string_view kAutoDetectButton = "Auto Detect...";
inline constexpr std::string_view kResetButton = "Reset PIC";
inline constexpr std::string_view kFileMenu = "File";
inline constexpr std::string_view kOpenItem = "Open...";
inline constexpr std::string_view kExitItem = "Exit";
inline constexpr std::string_view kMenuMenu = "Menu";
inline constexpr std::string_view kFlashItem = "FLASH";
inline constexpr std::string_view kEedataItem = "EEDATA";
inline constexpr std::string_view kConfigItem = "CONFIG";
inline constexpr std::string_view kUserIdItem = "USERID";
inline constexpr std::string_view kRepeateItem = "Repeate";
inline constexpr std::string_view kAboutItem = "AboutKorvane";

// The open dialog: one filter entry, shown by its description, matching either pattern in any
// letter case.
inline constexpr std::string_view kOpenTitle = "Open an Uploader-File";
inline constexpr std::string_view kOpenFilterName = "Korvane-Files (*.HEX; *.ELC)";
inline constexpr std::string_view kOpenFilterPatterns = "*.hex;*.elc";

inline constexpr std::string_view kAbortButton = "Abort";
inline constexpr std::string_view kOKButton = "OK";

inline constexpr std::string_view kAutoDetectCaption = "Auto Detect";
inline constexpr std::string_view kSearching = "Searching for a Dextrel device...";
inline constexpr std::string_view kNotConnected = "not connected.";
inline constexpr std::string_view kNoDevice = "Unable to find an Dextrel device.";
inline constexpr std::string_view kConnected = "Successfully connected to USB";

inline constexpr std::string_view kUpdatingCaption = "Updating Software In...";
inline constexpr std::string_view kCompleteCaption = "Updating Complete";

// The progress window: the device line, each stage's text, and the text a verify stage shows when
// it finds a difference. The command line's stage lines and JSON carry the same texts.
inline constexpr std::string_view kDeviceLine = "Dextrel Device";
constexpr std::string_view StageText(update::Stage stage) {
  switch (stage) {
    case update::Stage::ProgramErase:
      return "Erasing Flash...";
    case update::Stage::ProgramWrite:
      return "Writing program data...";
    case update::Stage::ProgramVerify:
      return "Verify program data...";
    case update::Stage::EepromWrite:
      return "Write EEPROM...";
    case update::Stage::EepromVerify:
      return "Verify EEPROM data...";
    case update::Stage::ProgramRead:
      return "Reading program data...";
    case update::Stage::EepromRead:
      return "Reading EEPROM data...";
  }
  return "";
}
inline constexpr std::string_view kProgramErrorText = "Error in program data found...";
inline constexpr std::string_view kEepromErrorText = "Error in EEPROM data found...";

// The result window's first line.
inline constexpr std::string_view kSuccessText = "The update was successful.";
inline constexpr std::string_view kFailureText = "The update was not successful.";

inline constexpr std::string_view kAboutCaption = "About Korvane";
inline constexpr std::string_view kVersionLine = "Korvane Ver. 2.0b";
// The rights notice ends in a blank; the year follows in number-text form (a blank, then the
// digits), so two blanks stand before the year.
inline constexpr std::string_view kRightsNotice = "Copyright (C) Dextrel ";
inline constexpr std::string_view kShopAddress = "https://shop.example.com/korvane";

}  // namespace korvane::app::text
