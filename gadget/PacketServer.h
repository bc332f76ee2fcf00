#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "emulator/EmulatedUsbLibrary.h"

namespace korvane::gadget {

// How the device leaves the host.
enum class Departure {
  None,
  Reset,      // the reset command: the device left its bootloader
  PulledOut,  // an unplug fault: the board was pulled out
};

struct Answer {
  std::vector<std::uint8_t> reply;  // empty: no reply goes back
  Departure departure = Departure::None;
  bool hung = false;  // the firmware hangs from this request on: nothing more is taken
};

// The emulated bootloader device behind a USB function: each request that arrives on the OUT
// endpoint goes through the emulated library as one open / write / read / close bracket, so
// that its faults (counted per request, from 0), its timing model and its memory behave as
// they do for korvane-cli --emulated.
class PacketServer {
 public:
  // From request `hangAt` on, the firmware hangs: that request gets no reply and the device
  // takes no further one (the host's writes time out), while it stays attached.
  PacketServer(emulator::EmulatedUsbLibrary& library, std::optional<std::uint32_t> hangAt);

  Answer Handle(std::span<const std::uint8_t> request);

 private:
  emulator::EmulatedUsbLibrary& library_;
  std::optional<std::uint32_t> hangAt_;
};

}  // namespace korvane::gadget
