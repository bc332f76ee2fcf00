#pragma once

#include <QFont>
#include <QIcon>
#include <QObject>
#include <QString>
#include <memory>

#include "image/MemoryImage.h"
#include "image/UpdateFileLoader.h"
#include "link/BootloaderPacket.h"
#include "link/UsbLibrary.h"
#include "link/UsbPipeLink.h"
#include "ui/Forms.h"
#include "ui/MainForm.h"
#include "ui/Platform.h"

namespace korvane::ui {

// Windows are unloaded from inside their own event handlers, so they are released through the
// event loop rather than on the spot.
struct DeferredDelete {
  void operator()(QObject* object) const { object->deleteLater(); }
};
template <typename T>
using WindowPtr = std::unique_ptr<T, DeferredDelete>;

template <typename T, typename... Args>
WindowPtr<T> MakeWindow(Args&&... args) {
  return WindowPtr<T>(new T(std::forward<Args>(args)...));
}

// The application: its state (the memory image, the USB pipe link, the three flags), its five
// windows and every handler behind their controls. A window that is not loaded has no object.
class Application final : public QObject, public link::LinkMessages {
  Q_OBJECT
 public:
  // `openDirectory` is where the open dialog starts (empty: wherever the dialog likes).
  explicit Application(Platform& platform, std::unique_ptr<link::UsbLibrary> library,
                       QString openDirectory = {}, QObject* parent = nullptr);
  ~Application() override;
  Application(const Application&) = delete;
  Application& operator=(const Application&) = delete;

  // Loads and shows the main window. Returns false, with nothing shown but the refusal, when
  // another copy of the application is running.
  bool Start();

  // The loaded windows; nullptr for one that is not loaded.
  MainForm* Main() const { return main_.get(); }
  AutoDetectForm* AutoDetect() const { return autoDetect_.get(); }
  UpdatingForm* Updating() const { return updating_.get(); }
  UpdatingCompleteForm* UpdatingComplete() const { return complete_.get(); }
  InfoForm* Info() const { return info_.get(); }

  bool FileLoaded() const { return fileLoaded_; }
  bool DeviceConnected() const { return deviceConnected_; }
  bool AbortRequested() const { return abortRequested_; }
  const image::MemoryImage& Image() const { return image_; }
  // True once every window is unloaded (or the start was refused).
  bool Ended() const { return ended_; }
  // The font the windows use: the desktop's, at a size at which their texts fit.
  const QFont& WindowFont() const { return font_; }

  // LinkMessages: a modal box titled with the application title, OK only, no icon.
  void ShowLinkMessage(std::string_view text) override;

 signals:
  // Every window is unloaded: the application ends.
  void ended();

 private:
  class RunWindows;

  // Main window
  void mnu_Open_Click();
  void mnu_About_Click();
  void AutoDetectCmd_Click();
  void ResetPIC_Click();
  void OK_Click();
  void Form_Unload();  // unloads every window, the main window last
  // Search window
  void AutoDetect_OKCmd_Click();
  // Progress window
  void Updating_AbortCmd_Click();
  // Result window
  void UpdatingComplete_OKCmd_Click();
  // About window
  void Info_cmdOK_Click();
  void Info_Label3_Click();

  // Loading the secondary windows: each hides the main window and takes its top-left corner.
  void LoadAutoDetectForm();
  void LoadUpdatingForm();
  void LoadUpdatingCompleteForm();
  void LoadInfoForm();
  void PlaceOverMain(QWidget* window);
  void ShowMain();

  // One VersionQuery in its own bracket; true on a complete reply.
  bool QueryVersion(link::PacketBuffer& reply);
  // Enables "Data Update" and shows the ready text when a file is loaded and a device answered.
  void EnableUpdateIfReady();
  QWidget* MessageOwner() const;

  Platform& platform_;
  std::unique_ptr<link::UsbLibrary> library_;
  QString openDirectory_;
  image::MemoryImage image_;
  link::UsbPipeLink link_;
  bool fileLoaded_ = false;
  bool deviceConnected_ = false;
  bool abortRequested_ = false;
  bool unloading_ = false;
  bool ended_ = false;
  QString updateFilePath_;
  QFont font_;
  QIcon appIcon_;
  QIcon updateIcon_;

  WindowPtr<MainForm> main_;
  WindowPtr<AutoDetectForm> autoDetect_;
  WindowPtr<UpdatingForm> updating_;
  WindowPtr<UpdatingCompleteForm> complete_;
  WindowPtr<InfoForm> info_;
};

}  // namespace korvane::ui
