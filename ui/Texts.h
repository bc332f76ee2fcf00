#pragma once

#include <QString>

// The fixed texts of the windows, exactly as the user sees them.
namespace korvane::ui::text {

inline const QString kMainCaption = QStringLiteral("USB-Korvane");
inline const QString kAppTitle = QStringLiteral("USB_Korvane");  // title of plain message boxes

// Lines end in CR LF; a label shows the pair as one line break.
inline const QString kStartText = QStringLiteral(
    "- Select an Update-File\r\n"
    "- Connect your Dextrel product to an USB port\r\n"
    "   and press the \"Auto Detect...\" button.");
inline const QString kFileOpenedText = QStringLiteral(
    "- Connect your Dextrel product to an USB port\r\n"
    "   and press the \"Auto Detect...\" button.");
inline const QString kDeviceFoundText = QStringLiteral("- Select an Update-File");
inline const QString kReadyText = QStringLiteral("- press the \"Data Update\" button.");
inline const QString kNotLoaded = QStringLiteral("Update File not loaded!");

inline const QString kAlreadyRunning = QStringLiteral("Korvane allready running!");
inline const QString kAlreadyRunningTitle = QStringLiteral("Korvane-Error");

inline const QString kOpenTitle = QStringLiteral("Open an Uploader-File");
// One entry: the dialog shows the description before the last brackets and matches the
// patterns inside them, regardless of case.
inline const QString kOpenFilter = QStringLiteral("Korvane-Files (*.HEX; *.ELC) (*.hex *.elc)");

inline const QString kAutoDetectCaption = QStringLiteral("Auto Detect");
inline const QString kSearching = QStringLiteral("Searching for a Dextrel device...");
inline const QString kNotConnected = QStringLiteral("not connected.");
inline const QString kNoDevice = QStringLiteral("Unable to find an Dextrel device.");
inline const QString kConnected = QStringLiteral("Successfully connected to USB");

inline const QString kUpdatingCaption = QStringLiteral("Updating Software In...");
inline const QString kCompleteCaption = QStringLiteral("Updating Complete");

inline const QString kAboutCaption = QStringLiteral("About Korvane");
inline const QString kVersionLine = QStringLiteral("Korvane Ver. 2.0b");
// The rights notice ends in a blank; the year follows in number-text form (a blank, then the
// digits), so two blanks stand before the year.
inline const QString kRightsNotice = QStringLiteral("Copyright (C) Dextrel ");
inline const QString kShopAddress = QStringLiteral("https://shop.example.com/korvane");

}  // namespace korvane::ui::text
