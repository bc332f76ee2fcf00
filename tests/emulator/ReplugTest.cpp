#include "emulator/Replug.h"

#include <gtest/gtest.h>

#include "link/BootloaderPacket.h"

namespace korvane::emulator {
namespace {

using namespace std::chrono_literals;

void Reset(EmulatedUsbLibrary& device) {
  link::PacketBuffer request{};
  const std::int32_t length = link::BuildDeviceReset(request);
  device.Device().Handle(std::span(request).first(static_cast<std::size_t>(length)));
  ASSERT_FALSE(device.Device().InBootloader());
}

// The device comes back the delay after a tick first found it gone; one that came back in
// between and is reset again waits the whole delay anew.
TEST(ReplugTest, TheDeviceComesBackTheDelayAfterItLeftTheBootloader) {
  EmulatedUsbLibrary device;
  Replug replug(device, 3s);
  const Replug::Clock::time_point t0{};
  replug.Tick(t0);
  Reset(device);
  replug.Tick(t0 + 1s);
  replug.Tick(t0 + 3999ms);
  EXPECT_FALSE(device.Device().InBootloader());
  replug.Tick(t0 + 4s);
  EXPECT_TRUE(device.Device().InBootloader());
  EXPECT_TRUE(device.Attached());

  Reset(device);
  replug.Tick(t0 + 5s);
  device.PlugIn();  // back by other means
  replug.Tick(t0 + 6s);
  Reset(device);
  replug.Tick(t0 + 7s);
  replug.Tick(t0 + 9s);
  EXPECT_FALSE(device.Device().InBootloader());
  replug.Tick(t0 + 10s);
  EXPECT_TRUE(device.Device().InBootloader());
}

}  // namespace
}  // namespace korvane::emulator
