#pragma once

#include <chrono>
#include <optional>

#include "emulator/EmulatedUsbLibrary.h"

namespace korvane::emulator {

// What a user of the demo does with the product after "Reset PIC": once the emulated device has
// left its bootloader to run its firmware, it is plugged in again in bootloader mode a few
// seconds later, so that the demo can be run again. The front end calls Tick from a timer; the
// routine keeps no timer of its own.
class Replug {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::milliseconds kDelay{3000};
  // How often a front end's timer should tick.
  static constexpr std::chrono::milliseconds kTickInterval{500};

  explicit Replug(EmulatedUsbLibrary& device, std::chrono::milliseconds delay = kDelay)
      : device_(device), delay_(delay) {}

  // The device is plugged in again on the first tick at least `delay` after a tick that found
  // it out of its bootloader.
  void Tick(Clock::time_point now = Clock::now());

 private:
  EmulatedUsbLibrary& device_;
  std::chrono::milliseconds delay_;
  std::optional<Clock::time_point> leftAt_;  // when a tick first found it gone
};

}  // namespace korvane::emulator
