#pragma once

#include <windows.h>

// What test tools may ask the running windows, besides what any Win32 program can read from
// their controls. Wine cannot read another process's menus, so the main window answers for its
// own menu.
namespace korvane::win32 {

// Sent to the main window ("USB-Korvane"): wParam is the check-mark item (0 FLASH, 1 EEDATA,
// 2 CONFIG, 3 USERID, 4 Repeate); the result is 1 when the item is checked, 0 when not, and
// -1 for another wParam.
inline constexpr UINT kQueryMenuCheck = WM_APP + 0x4B1;

// Commands of the main window's menu, for WM_COMMAND (what the menu items and Ctrl+O, Ctrl+Q
// send).
inline constexpr int kOpenCommand = 300;
inline constexpr int kExitCommand = 301;
inline constexpr int kAboutCommand = 302;
inline constexpr int kFirstCheckCommand = 310;  // plus the check-mark item, as above

// Control identifiers, for GetDlgItem: 100 plus the control's place in the window's list.
inline constexpr int kFirstControlId = 100;
inline constexpr int kProgressBarId = 200;
inline constexpr int kPictureId = 201;

}  // namespace korvane::win32
