// Figures, printed, not asserted: the full update run against the update of only what changed,
// for a 32 KiB image (program flash 0x800-0x7FFF of random bytes and the whole EEPROM) on four
// boards: (a) one that holds the image already, (b) a blank one, (c) one that holds the image
// with one 64-byte block changed, (d) one that holds an unrelated image. For each: packets and
// seconds on the emulated device's timing model, summed exactly from the model's delays (the
// thread does not sleep them); with --wall each run also sleeps them and the wall time is shown.
//
// Goals: (a) and (c) at least 8 times faster than the full run, (b) faster than it, (d) no more
// than 15 % slower.
//
// Usage: korvane_only_changed_figures [--wall]

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <random>
#include <string_view>

#include "emulator/EmulatedUsbLibrary.h"
#include "image/MemoryImage.h"
#include "link/UsbPipeLink.h"
#include "update/UpdateRun.h"

namespace {

using namespace korvane;

using SilentObserver = update::UpdateObserver;  // hears everything, shows nothing

class SilentMessages final : public link::LinkMessages {
 public:
  void ShowLinkMessage(std::string_view) override {}
};

image::MemoryImage RandomImage(std::uint32_t seed) {
  std::mt19937 random(seed);
  image::MemoryImage image{};
  image.Clear();
  for (std::size_t a = 0x800; a < image::kFlashSize; ++a) {
    image.FlashImage[a] = static_cast<std::uint8_t>(random());
  }
  for (std::uint8_t& b : image.EepromImage) {
    b = static_cast<std::uint8_t>(random());
  }
  image.HighestFlashAddress = 0x7FFF;
  return image;
}

struct Board {
  std::array<std::uint8_t, image::kFlashSize> flash{};
  std::array<std::uint8_t, image::kEepromSize> eeprom{};
};

Board Holding(const image::MemoryImage& image) {
  Board board;
  board.flash = image.FlashImage;
  board.eeprom = image.EepromImage;
  return board;
}

struct Figures {
  bool success = false;
  update::UpdateOutcome outcome;
  double modelled = 0;  // seconds
  double wall = 0;      // seconds, with --wall
};

Figures Measure(const image::MemoryImage& image, const Board& start, update::UpdateMode mode,
                bool wall) {
  const auto usb = std::make_unique<emulator::EmulatedUsbLibrary>();
  std::copy(start.flash.begin() + 0x800, start.flash.end(),
            usb->Device().MutableFlash().begin() + 0x800);
  std::copy(start.eeprom.begin(), start.eeprom.end(), usb->Device().MutableEeprom().begin());
  usb->SetTiming(true);
  if (!wall) {
    usb->SetSleepUntil([](std::chrono::steady_clock::time_point) {});
  }
  SilentMessages messages;
  link::UsbPipeLink link(*usb, messages);
  SilentObserver observer;
  const auto begin = std::chrono::steady_clock::now();
  Figures figures;
  figures.outcome = update::RunUpdate(image, link, {[] { return true; }, [] { return true; }},
                                      update::StopToken(), observer, mode);
  figures.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  figures.modelled = std::chrono::duration<double>(usb->ModelledDelay()).count();
  // The run must also leave the image in the device.
  figures.success = figures.outcome.success &&
                    std::equal(image.FlashImage.begin() + 0x800, image.FlashImage.end(),
                               usb->Device().Flash().begin() + 0x800) &&
                    std::equal(image.EepromImage.begin(), image.EepromImage.end(),
                               usb->Device().Eeprom().begin());
  return figures;
}

}  // namespace

int main(int argc, char** argv) {
  const bool wall = argc > 1 && std::string_view(argv[1]) == "--wall";
  const image::MemoryImage image = RandomImage(1);

  Board blank;
  blank.flash.fill(image::kBlank);
  blank.eeprom.fill(image::kBlank);
  Board changed = Holding(image);
  for (std::size_t a = 0x4000; a < 0x4040; ++a) {
    changed.flash[a] = static_cast<std::uint8_t>(~changed.flash[a]);
  }

  struct Case {
    const char* name;
    Board board;
    double goal;  // least speed-up (full time / only-changed time)
    const char* goalText;
  };
  const Case cases[] = {
      {"(a) holds the image", Holding(image), 8.0, ">= 8x"},
      {"(b) blank", blank, 1.0, "> 1x"},
      {"(c) one block changed", changed, 8.0, ">= 8x"},
      {"(d) unrelated image", Holding(RandomImage(2)), 1.0 / 1.15, ">= 0.87x"},
  };

  std::printf("32 KiB image (0x800-0x7FFF random) + EEPROM, emulated device's timing model%s\n",
              wall ? " (wall: the delays slept)" : " (delays summed, not slept)");
  std::printf("%-24s %8s %9s | %8s %9s %7s %5s %6s | %9s %-8s %s\n", "board", "full pkt",
              wall ? "full wall" : "full s", "only pkt", wall ? "only wall" : "only s", "erased",
              "rows", "eeprom", "speed-up", "goal", "");
  int missed = 0;
  for (const Case& c : cases) {
    const Figures full = Measure(image, c.board, update::UpdateMode::Full, wall);
    const Figures only = Measure(image, c.board, update::UpdateMode::OnlyChanged, wall);
    const double fullSeconds = wall ? full.wall : full.modelled;
    const double onlySeconds = wall ? only.wall : only.modelled;
    const double speedUp = fullSeconds / onlySeconds;
    const bool met =
        full.success && only.success && speedUp >= c.goal && (c.goal != 1.0 || speedUp > 1.0);
    missed += met ? 0 : 1;
    std::printf("%-24s %8u %9.3f | %8u %9.3f %7u %5u %6u | %8.2fx %-8s %s\n", c.name,
                full.outcome.packetsSent, fullSeconds, only.outcome.packetsSent, onlySeconds,
                only.outcome.blocksErased, only.outcome.flashRowsWritten,
                only.outcome.eepromRowsWritten, speedUp, c.goalText,
                !full.success || !only.success ? "RUN FAILED"
                : met                          ? "met"
                                               : "missed");
  }
  return missed == 0 ? 0 : 1;
}
