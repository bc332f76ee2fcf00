#include "emulator/Replug.h"

namespace korvane::emulator {

void Replug::Tick(Clock::time_point now) {
  if (device_.Device().InBootloader()) {
    leftAt_.reset();
  } else if (!leftAt_) {
    leftAt_ = now;
  } else if (now - *leftAt_ >= delay_) {
    device_.PlugIn();
    leftAt_.reset();
  }
}

}  // namespace korvane::emulator
