// Cost of one open/exchange/close bracket against the in-process emulated device, and how
// closely the emulator's timing model holds its modelled delay in wall time.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>

#include "emulator/EmulatedUsbLibrary.h"
#include "link/BootloaderPacket.h"
#include "link/UsbPipeLink.h"

namespace {

using korvane::emulator::EmulatedUsbLibrary;
using korvane::emulator::TimingModel;
namespace link = korvane::link;

class SilentMessages final : public link::LinkMessages {
 public:
  void ShowLinkMessage(std::string_view) override { ++shown; }
  int shown = 0;
};

// One FlashRead packet: 5 bytes out, 61 back, in its own bracket (count, two opens, write,
// read, two closes). Target: under 2 us.
void BM_SendPacketFlashRead(benchmark::State& state) {
  EmulatedUsbLibrary usb;
  SilentMessages messages;
  link::UsbPipeLink pipes(usb, messages);
  link::PacketBuffer request{};
  link::PacketBuffer reply{};
  const std::int32_t requestLength = link::BuildFlashRead(request, 0x800);
  for (auto _ : state) {
    std::int32_t replyLength = link::kFlashReadReplyLength;
    const auto outcome = pipes.SendPacket(request, requestLength, reply, replyLength);
    benchmark::DoNotOptimize(outcome);
    benchmark::DoNotOptimize(reply.data());
  }
  if (messages.shown != 0 || reply[1] != link::kFlashReadBlock) {
    state.SkipWithError("the emulated device did not answer the read");
  }
}
BENCHMARK(BM_SendPacketFlashRead);

// The device alone, without the USB library and the link around it.
void BM_DeviceFlashRead(benchmark::State& state) {
  korvane::emulator::BootloaderDevice device;
  korvane::emulator::DeviceReply reply;
  const std::uint8_t request[] = {0x01, 56, 0x00, 0x08, 0x00};
  for (auto _ : state) {
    device.Handle(request, reply);
    benchmark::DoNotOptimize(reply.bytes.data());
  }
}
BENCHMARK(BM_DeviceFlashRead);

// Sends `erase` erase blocks, four times as many writes, the reads over the same area and the
// 24 EEPROM packets, with the timing model on; reports wall time against the modelled sum.
void RunTimed(benchmark::State& state, std::int32_t eraseBlocks) {
  for (auto _ : state) {
    EmulatedUsbLibrary usb;
    SilentMessages messages;
    link::UsbPipeLink pipes(usb, messages);
    usb.SetTiming(true, TimingModel{});
    link::PacketBuffer request{};
    link::PacketBuffer reply{};
    std::array<std::uint8_t, link::kWriteChunk> chunk{};
    const std::int32_t end = 0x800 + eraseBlocks * link::kFlashEraseBlock;
    const auto send = [&](std::int32_t length, std::int32_t expected) {
      std::int32_t replyLength = expected;
      pipes.SendPacket(request, length, reply, replyLength);
    };
    const auto start = std::chrono::steady_clock::now();
    for (std::int32_t a = 0x800; a < end; a += link::kFlashEraseBlock) {
      send(link::BuildFlashErase(request, a), link::kAckReplyLength);
    }
    for (std::int32_t a = 0x800; a < end; a += link::kWriteChunk) {
      send(link::BuildFlashWrite(request, a, chunk), link::kAckReplyLength);
    }
    for (std::int32_t a = 0x800; a < end; a += link::kFlashReadBlock) {
      send(link::BuildFlashRead(request, a), link::kFlashReadReplyLength);
    }
    for (std::int32_t o = 0; o < 256; o += link::kWriteChunk) {
      send(link::BuildEepromWrite(request, o, chunk), link::kAckReplyLength);
    }
    for (std::int32_t o = 0; o < 256; o += link::kEepromReadBlock) {
      send(link::BuildEepromRead(request, o), link::kEepromReadReplyLength);
    }
    const auto wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start);
    const auto modelled = std::chrono::duration<double>(usb.ModelledDelay());
    state.SetIterationTime(wall.count());
    state.counters["packets"] = static_cast<double>(usb.PacketsBegun());
    state.counters["modelled_s"] = modelled.count();
    state.counters["wall_s"] = wall.count();
    state.counters["wall_over_model_pct"] = 100.0 * (wall.count() / modelled.count() - 1.0);
    if (messages.shown != 0) {
      state.SkipWithError("a packet failed");
    }
  }
}

// About a tenth of a full update (48 of 480 erase blocks): wall time should stay within 2 % of
// the modelled sum.
void BM_TimingModelPartialUpdate(benchmark::State& state) {
  RunTimed(state, 48);
}
BENCHMARK(BM_TimingModelPartialUpdate)
    ->UseManualTime()
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);

// A full application area, 0x800 to 0x7FFF: 480 erase, 1920 write, 549 read, 24 EEPROM packets.
void BM_TimingModelFullUpdate(benchmark::State& state) {
  RunTimed(state, 480);
}
BENCHMARK(BM_TimingModelFullUpdate)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
