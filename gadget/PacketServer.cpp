#include "gadget/PacketServer.h"

#include <array>

#include "emulator/BootloaderDevice.h"
#include "link/BootloaderPacket.h"
#include "link/UsbPipeLink.h"

namespace korvane::gadget {

PacketServer::PacketServer(emulator::EmulatedUsbLibrary& library,
                           std::optional<std::uint32_t> hangAt)
    : library_(library), hangAt_(hangAt) {}

Answer PacketServer::Handle(std::span<const std::uint8_t> request) {
  Answer answer;
  if (hangAt_ && library_.PacketsBegun() >= *hangAt_) {
    answer.hung = true;
    return answer;
  }
  // The count begins the bracket: that is where the library's packet index (and so its faults)
  // moves on. An unplug fault takes the device off there.
  library_.MPUSBGetDeviceCount(link::kDeviceIdentity);
  if (!library_.Attached()) {
    answer.departure = Departure::PulledOut;
    return answer;
  }
  const link::PipeHandle out = library_.MPUSBOpen(0, link::kDeviceIdentity, link::kPipeName, 0, 0);
  const link::PipeHandle in = library_.MPUSBOpen(0, link::kDeviceIdentity, link::kPipeName, 1, 0);
  std::uint32_t sent = 0;
  if (library_.MPUSBWrite(out, request, sent, 0) == 1) {
    // A long-reply fault can make the reply a whole packet; never more.
    std::array<std::uint8_t, emulator::kMaxPacketSize> reply{};
    std::uint32_t received = 0;
    if (library_.MPUSBRead(in, reply, received, 0) == 1) {
      answer.reply.assign(reply.begin(),
                          reply.begin() + std::min<std::size_t>(received, reply.size()));
    }
  }
  library_.MPUSBClose(out);
  library_.MPUSBClose(in);
  if (!library_.Attached()) {
    answer.departure = Departure::PulledOut;
  } else if (!library_.Device().InBootloader()) {
    answer.departure = Departure::Reset;
  }
  return answer;
}

}  // namespace korvane::gadget
