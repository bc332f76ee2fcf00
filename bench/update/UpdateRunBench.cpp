// A full update run (program flash 0x800 to 0x7FFF and the EEPROM: 2973 packets) against the
// emulated device. Without the timing model it measures engine + link + emulator per packet;
// with it, how far the wall time of a run lies above the delays the model imposes.

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>

#include "emulator/EmulatedUsbLibrary.h"
#include "image/MemoryImage.h"
#include "link/UsbPipeLink.h"
#include "update/UpdateRun.h"

namespace {

using namespace korvane;

constexpr std::uint32_t kFullRunPackets = 480 + 1920 + 549 + 16 + 8;

using SilentObserver = update::UpdateObserver;  // hears everything, shows nothing

class SilentMessages final : public link::LinkMessages {
 public:
  void ShowLinkMessage(std::string_view) override {}
};

image::MemoryImage FullImage() {
  image::MemoryImage image{};
  for (std::size_t a = 0; a < image.FlashImage.size(); ++a) {
    image.FlashImage[a] = static_cast<std::uint8_t>(a * 7 + 3);
  }
  for (std::size_t o = 0; o < image.EepromImage.size(); ++o) {
    image.EepromImage[o] = static_cast<std::uint8_t>(o * 13 + 5);
  }
  image.HighestFlashAddress = 0x7FFF;
  return image;
}

const update::UpdateSelections kBothGroups{[] { return true; }, [] { return true; }};

void BM_FullRunPerPacket(benchmark::State& state) {
  const image::MemoryImage image = FullImage();
  emulator::EmulatedUsbLibrary usb;
  SilentMessages messages;
  link::UsbPipeLink link(usb, messages);
  SilentObserver observer;
  for (auto _ : state) {
    const update::UpdateOutcome outcome =
        update::RunUpdate(image, link, kBothGroups, update::StopToken(), observer);
    if (!outcome.success || outcome.packetsSent != kFullRunPackets) {
      state.SkipWithError("the run did not succeed");
      break;
    }
    benchmark::DoNotOptimize(outcome);
  }
  // Reported as time per packet.
  state.counters["per_packet"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * kFullRunPackets,
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_FullRunPerPacket)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_FullRunAgainstTimingModel(benchmark::State& state) {
  const image::MemoryImage image = FullImage();
  emulator::EmulatedUsbLibrary usb;
  usb.SetTiming(true);
  SilentMessages messages;
  link::UsbPipeLink link(usb, messages);
  SilentObserver observer;
  double wallSeconds = 0;
  double modelledSeconds = 0;
  for (auto _ : state) {
    const auto modelledBefore = usb.ModelledDelay();
    const auto start = std::chrono::steady_clock::now();
    const update::UpdateOutcome outcome =
        update::RunUpdate(image, link, kBothGroups, update::StopToken(), observer);
    const auto wall = std::chrono::steady_clock::now() - start;
    if (!outcome.success) {
      state.SkipWithError("the run did not succeed");
      break;
    }
    wallSeconds += std::chrono::duration<double>(wall).count();
    modelledSeconds += std::chrono::duration<double>(usb.ModelledDelay() - modelledBefore).count();
  }
  const double runs = static_cast<double>(state.iterations());
  state.counters["wall_s"] = wallSeconds / runs;
  state.counters["modelled_s"] = modelledSeconds / runs;
  state.counters["above_model_pct"] = (wallSeconds - modelledSeconds) / modelledSeconds * 100.0;
}
BENCHMARK(BM_FullRunAgainstTimingModel)->Unit(benchmark::kSecond)->UseRealTime()->Iterations(3);

}  // namespace
