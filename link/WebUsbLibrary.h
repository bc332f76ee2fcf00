#pragma once

#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <string_view>

#include "link/UsbLibrary.h"

namespace korvane::link {

// The USB library in the browser, on WebUSB (navigator.usb): the page's real devices on Chrome
// and Edge. Built with emscripten only; every operation that waits for the browser suspends the
// WebAssembly module (Asyncify) until the browser answers.
//
// The browser lists only devices the user has granted to the page. The device count asks for the
// granted devices that are attached, and when there is none and the chooser is offered (the user
// has just clicked the search button: the gesture the browser requires) it shows the browser's
// device chooser for the bootloader's identity. Instances are the granted devices in the
// browser's order; places are not known.
//
// A pipe opens the device (configuration 1 when none is active) and claims the interface that
// holds its endpoint; the OUT and IN pipe of one device share that session. The session outlives
// its last pipe by a second, so that the packets of a run do not open and close the device each
// time. Reads ask for whole packets. WebUSB has no time-outs of its own: a write or read that
// takes longer than its time-out fails with 121, and the device is closed, which cancels the
// transfer; the next pipe opens it afresh. A device that is gone fails with 6. Other failures
// carry the Windows code closest to them.
class WebUsbLibrary final : public UsbLibrary {
 public:
  WebUsbLibrary() = default;
  WebUsbLibrary(const WebUsbLibrary&) = delete;
  WebUsbLibrary& operator=(const WebUsbLibrary&) = delete;
  ~WebUsbLibrary() override;

  // While it lives, a device count with no granted device attached shows the browser's device
  // chooser (once). Made by the front end around its handling of a click on the search button.
  class ChooserOffer {
   public:
    explicit ChooserOffer(WebUsbLibrary& library) : library_(library) { library_.offer_ = true; }
    ~ChooserOffer() { library_.offer_ = false; }
    ChooserOffer(const ChooserOffer&) = delete;
    ChooserOffer& operator=(const ChooserOffer&) = delete;

   private:
    WebUsbLibrary& library_;
  };

  std::int32_t MPUSBGetDeviceCount(std::string_view identity) override;
  PipeHandle MPUSBOpen(std::uint32_t instance, std::string_view identity, std::string_view pipeName,
                       std::uint32_t direction, std::uint32_t reserved) override;
  std::int32_t MPUSBWrite(PipeHandle handle, std::span<const std::uint8_t> data,
                          std::uint32_t& sent, std::uint32_t timeoutMs) override;
  std::int32_t MPUSBRead(PipeHandle handle, std::span<std::uint8_t> buffer, std::uint32_t& received,
                         std::uint32_t timeoutMs) override;
  std::int32_t MPUSBClose(PipeHandle handle) override;
  std::uint32_t GetLastError() override { return lastError_; }
  std::string TakeUserNotice() override;
  std::string LibraryName() const override { return "WebUSB"; }

  std::size_t OpenPipeCount() const { return pipes_.size(); }

 private:
  struct Pipe {
    int session = 0;
    int endpoint = 0;
    std::uint32_t direction = 0;
  };

  // Records the Windows code for one of the browser's outcomes (a negative number).
  void Fail(int outcome);
  const Pipe* Find(PipeHandle handle, std::uint32_t direction);

  std::map<PipeHandle, Pipe> pipes_;
  PipeHandle nextHandle_ = 1;
  std::uint32_t lastError_ = 0;
  std::string notice_;
  bool offer_ = false;
};

}  // namespace korvane::link
