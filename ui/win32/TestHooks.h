#pragma once

#include <windows.h>

#include "app/Forms.h"

// What test tools may ask the running windows, besides what any Win32 program can read from
// their controls. Wine cannot read another process's menus, so the main window answers for its
// own menu.
namespace korvane::win32 {

// Sent to the main window ("USB-Korvane"): wParam is a check-mark item's app::MenuCommand; the
// result is 1 when the item is checked, 0 when not, and -1 for a wParam that names no command.
inline constexpr UINT kQueryMenuCheck = WM_APP + 0x4B1;

// Command identifiers of the main window's menu items, for WM_COMMAND (what the items and
// Ctrl+O, Ctrl+Q send): 300 plus the app::MenuCommand. Clear of IDOK, IDCANCEL and the controls.
inline constexpr int kFirstMenuCommand = 300;
constexpr int MenuCommandId(app::MenuCommand command) {
  return kFirstMenuCommand + static_cast<int>(command);
}

// Control identifiers, for GetDlgItem: 100 plus the control's value in its window's enum
// (app::MainControl, ...).
inline constexpr int kFirstControlId = 100;

}  // namespace korvane::win32
