#pragma once

#include <array>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "app/Desktop.h"
#include "app/Forms.h"
#include "image/MemoryImage.h"
#include "image/UpdateFileLoader.h"
#include "link/BootloaderClient.h"
#include "link/UsbLibrary.h"
#include "link/UsbPipeLink.h"

namespace korvane::app {

// The application: its state (the memory image, the USB pipe link, the flags and the menu check
// marks), its five windows and every handler behind their controls. The front ends build the
// windows from their designs and forward what the user does (OnControl, OnMenu, OnClose), which
// runs the handler of that control; nothing here knows a toolkit.
//
// Handlers that talk to the device, open dialogs or boxes, or let pending events run do not
// nest: while one of them runs, a click that reaches another of them (input that was queued
// before the windows changed) is ignored, and an unload asked for meanwhile takes effect when
// the running handler returns. The Abort buttons, the check marks and the unload itself always
// act.
class Application final : public link::LinkMessages, public image::LoaderHost {
 public:
  // `openDirectory` is where the open dialog starts (empty: wherever the dialog likes).
  Application(Desktop& desktop, FormFactory& forms, std::unique_ptr<link::UsbLibrary> library,
              std::string openDirectory = {});
  ~Application() override;
  Application(const Application&) = delete;
  Application& operator=(const Application&) = delete;

  // The main window's load: refuses a second copy (returning false with nothing shown but the
  // refusal), then places, initialises and shows the main window.
  bool Start();

  // ---- What the front ends forward ----
  // A click on a control of a window (a button, or a label that is a link), numbered as in the
  // window's control enum; a control without a handler does nothing.
  void OnControl(FormId form, int control);
  void OnMenu(MenuCommand command);
  // The close box of a window.
  void OnClose(FormId form);

  // The handler a click on a control runs, and the one each menu command runs.
  struct ControlHandler {
    FormId form;
    int control;
    void (Application::*click)();
  };
  static std::span<const ControlHandler> ControlHandlers();
  struct MenuHandler {
    MenuCommand command;
    void (Application::*click)();
  };
  static std::span<const MenuHandler> MenuHandlers();

  // ---- Main window ----
  void mnu_Open_Click();
  void mnu_Exit_Click();
  void mnu_About_Click();
  void mnu_FLASH_Click();
  void mnu_EEDATA_Click();
  void mnu_CONFIG_Click();
  void mnu_USERID_Click();
  void mnu_Repeate_Click();
  void AutoDetectCmd_Click();
  void ResetPIC_Click();
  void OK_Click();  // the update run
  // Unloads every window, the main window last, and ends the application (the close box).
  void Form_Unload();

  // ---- Search window ----
  void AutoDetect_AbortCmd_Click();
  void AutoDetect_OKCmd_Click();
  // Its close box acts like whichever of the two buttons is showing.
  void AutoDetect_CloseBox();

  // ---- Progress window ----
  // Abort, and also the close box: the run stops after the packet in flight.
  void Updating_AbortCmd_Click();

  // ---- Result window ----
  void UpdatingComplete_OKCmd_Click();
  // Its close box ends the application.
  void UpdatingComplete_Form_Unload();

  // ---- About window ----
  // OK; also Enter, Esc and the close box.
  void Info_cmdOK_Click();
  void Info_Label3_Click();

  // ---- State, for the front ends and the tests ----
  bool FileLoaded() const { return fileLoaded_; }
  bool DeviceConnected() const { return deviceConnected_; }
  bool AbortRequested() const { return abortRequested_; }
  // The check mark of a check-mark item of the menu.
  bool Checked(MenuCommand item) const { return checks_[static_cast<std::size_t>(item)]; }
  const image::MemoryImage& Image() const { return image_; }
  // True once every window is unloaded (or the start was refused).
  bool Ended() const { return ended_; }
  // The loaded windows; nullptr for one that is not loaded.
  MainView* Main() const { return main_.get(); }
  AutoDetectView* AutoDetect() const { return autoDetect_.get(); }
  UpdatingView* Updating() const { return updating_.get(); }
  CompleteView* UpdatingComplete() const { return complete_.get(); }
  InfoView* Info() const { return info_.get(); }

  // LinkMessages: a modal box titled with the application title, OK only, no icon.
  void ShowLinkMessage(std::string_view text) override;

  // LoaderHost: the loader's boxes, and the wait text while a scrambled file is decoded.
  void ShowMessage(std::string_view text) override;
  void OnDecoding() override;

 private:
  class RunWindows;
  class Exclusive;

  // The main window's status line: text, colour and boldness.
  void SetStatusLabel(std::string_view text, Colour colour, bool bold);
  void ToggleCheck(MenuCommand item);
  void UnloadEverything();
  // Loading the secondary windows: each takes the main window's top-left corner and, once it
  // shows, hides the main window. A window is always shown before the one it replaces is hidden,
  // so that one of the program's windows stays in front (Windows gives the foreground only to a
  // program that has it).
  template <typename View>
  void PlaceOverMain(View& window);
  void ShowMain();
  void HideMain();
  void ShowProgressWindow();
  void ShowOutcome(std::string_view text, Colour colour);
  // Enables "Data Update" and shows the ready text when a file is loaded and a device answered.
  void EnableUpdateIfReady();
  // The window a box belongs to: the first loaded window that shows, in unload order.
  Window* MessageOwner() const;

  Desktop& desktop_;
  FormFactory& forms_;
  std::unique_ptr<link::UsbLibrary> library_;
  std::string openDirectory_;
  image::MemoryImage image_;
  link::UsbPipeLink link_;
  bool fileLoaded_ = false;
  bool deviceConnected_ = false;
  bool abortRequested_ = false;
  std::array<bool, kMenuCommandCount> checks_{};  // as designed at start
  bool searching_ = false;                        // the search window shows Abort, not OK
  bool busy_ = false;                             // a handler that must not nest is running
  bool unloadPending_ = false;
  bool ended_ = false;
  std::string updateFilePath_;

  FormPtr<MainView> main_;
  FormPtr<AutoDetectView> autoDetect_;
  FormPtr<UpdatingView> updating_;
  FormPtr<CompleteView> complete_;
  FormPtr<InfoView> info_;
};

}  // namespace korvane::app
