#pragma once

#include <string>
#include <string_view>

#include "app/Forms.h"

namespace korvane::app {

enum class MessageIcon { None, Warning };

// The outcome of claiming the one running copy.
struct InstanceClaim {
  enum class Result {
    Granted,        // this is the only copy
    HeldByAnother,  // another running copy holds the claim
    Failed,         // the claim could not be made at all; `reason` says why
  };
  Result result = Result::Granted;
  std::string reason;
};

// The desktop services the handlers use, besides the windows.
class Desktop {
 public:
  virtual ~Desktop() = default;
  // A modal message box with an OK button; returns when the user has closed it. `owner` is a
  // loaded, showing window, or nullptr when none is showing. The text is shown as plain text.
  virtual void ShowMessageBox(Window* owner, std::string_view text, std::string_view title,
                              MessageIcon icon) = 0;
  // The open-file dialog with one filter entry: shown as `filterName`, matching the
  // ';'-separated `patterns` in any letter case. Returns the chosen file's full path, or an
  // empty text on cancel. An empty `directory` leaves the start folder to the dialog.
  virtual std::string GetOpenFileName(Window* owner, std::string_view title,
                                      std::string_view filterName, std::string_view patterns,
                                      std::string_view directory) = 0;
  // Asks the shell to open a document or web address; failures go unnoticed.
  virtual void OpenAddress(Window* owner, std::string_view address) = 0;
  // Claims the one running copy per user; the claim lasts while the process runs.
  virtual InstanceClaim ClaimSingleInstance() = 0;
  // One pass over the window events that are waiting.
  virtual void ProcessPendingEvents() = 0;
  virtual int CurrentYear() = 0;
  // The part of the screen that windows may take, in the windows' units.
  virtual ScreenRect WorkArea() = 0;
  // Every window is unloaded: the event loop ends and the program with it.
  virtual void Quit() = 0;
};

}  // namespace korvane::app
