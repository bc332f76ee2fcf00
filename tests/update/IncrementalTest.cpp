// The update of only what changed: after it the device holds what a full run leaves, whatever
// it held before; a board that holds the image is only read; and no fault turns into a success.

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <random>

#include "tests/update/UpdateTestSupport.h"

namespace korvane::update::testing {
namespace {

using emulator::Fault;
using emulator::FaultKind;

constexpr std::uint8_t kRead = 0x01, kEepromRead = 0x04;

// Neither the end of a 16-byte row nor of a 64-byte block: the last block runs on to 0xF3F.
constexpr std::int32_t kHighest = 0x0F25;
constexpr std::size_t kAreaEnd = 0x0F40;  // just past the last block
constexpr std::size_t kBootEnd = 0x800;

std::vector<std::uint8_t> Copy(std::span<const std::uint8_t> memory) {
  return {memory.begin(), memory.end()};
}

enum class Start {
  HoldsImage,         // a full run of the image left it
  HoldsImageOverOld,  // the image up to its highest address, an earlier firmware above it
  Blank,
  OneBlockChanged,
  Unrelated,  // the earlier firmware the emulated device starts with
};

struct BoardCase {
  Start start;
  std::uint32_t erased, flashRows, eepromRows;
};

class IncrementalBoardTest : public UpdateBench, public ::testing::WithParamInterface<BoardCase> {
 protected:
  void Prepare(Start start) {
    auto flash = usb.Device().MutableFlash();
    auto eeprom = usb.Device().MutableEeprom();
    switch (start) {
      case Start::HoldsImage:
        ASSERT_TRUE(Run(true, true).success);
        break;
      case Start::HoldsImageOverOld:
        std::copy(image.FlashImage.begin() + kBootEnd, image.FlashImage.begin() + kHighest + 1,
                  flash.begin() + kBootEnd);
        std::copy(image.EepromImage.begin(), image.EepromImage.end(), eeprom.begin());
        break;
      case Start::Blank:
        std::fill(flash.begin() + kBootEnd, flash.end(), image::kBlank);
        std::fill(eeprom.begin(), eeprom.end(), image::kBlank);
        break;
      case Start::OneBlockChanged:
        ASSERT_TRUE(Run(true, true).success);
        for (std::size_t a = 0xC00; a < 0xC40; ++a) {
          flash[a] ^= 0x5A;
        }
        break;
      case Start::Unrelated:
        break;
    }
  }
};

TEST_P(IncrementalBoardTest, LeavesTheImageInTheAreaAndNothingElseTouched) {
  const BoardCase c = GetParam();
  LoadImage(kHighest);
  Prepare(c.start);
  const std::vector<std::uint8_t> flashBefore = Copy(usb.Device().Flash());
  const std::size_t recordedBefore = usb.Recorded().size();
  mode = UpdateMode::OnlyChanged;

  const UpdateOutcome outcome = Run(true, true);

  ASSERT_TRUE(outcome.success) << FailureReason(outcome);
  EXPECT_TRUE(outcome.incremental);
  EXPECT_EQ(outcome.blocksErased, c.erased);
  EXPECT_EQ(outcome.flashRowsWritten, c.flashRows);
  EXPECT_EQ(outcome.eepromRowsWritten, c.eepromRows);
  const auto flash = usb.Device().Flash();
  EXPECT_TRUE(FlashMatchesImage(kBootEnd, kHighest));
  // Above the highest address the last block ends up erased, as after a full run; past it
  // nothing changes, and the boot block never does.
  EXPECT_TRUE(std::all_of(flash.begin() + kHighest + 1, flash.begin() + kAreaEnd,
                          [](std::uint8_t b) { return b == image::kBlank; }));
  EXPECT_TRUE(std::equal(flash.begin() + kAreaEnd, flash.end(), flashBefore.begin() + kAreaEnd));
  EXPECT_TRUE(std::equal(flash.begin(), flash.begin() + kBootEnd, flashBefore.begin()));
  EXPECT_EQ(usb.Device().BootBlockWriteAttempts(), 0u);
  EXPECT_TRUE(EepromMatchesImage());
  // Every packet is a read but for the erases and writes counted: a board that holds the image
  // is only read.
  const auto& recorded = usb.Recorded();
  EXPECT_EQ(recorded.size() - recordedBefore, outcome.packetsSent);
  EXPECT_EQ(
      std::count_if(
          recorded.begin() + static_cast<std::ptrdiff_t>(recordedBefore), recorded.end(),
          [](const auto& e) { return e.request.at(0) != kRead && e.request.at(0) != kEepromRead; }),
      c.erased + c.flashRows + c.eepromRows);
}

std::string BoardName(const ::testing::TestParamInfo<BoardCase>& info) {
  static constexpr const char* kNames[] = {"HoldsImage", "HoldsImageOverOld", "Blank",
                                           "OneBlockChanged", "Unrelated"};
  return kNames[static_cast<int>(info.param.start)];
}

INSTANTIATE_TEST_SUITE_P(Boards, IncrementalBoardTest,
                         ::testing::Values(BoardCase{Start::HoldsImage, 0, 0, 0},
                                           BoardCase{Start::HoldsImageOverOld, 1, 3, 0},
                                           BoardCase{Start::Blank, 0, 115, 16},
                                           BoardCase{Start::OneBlockChanged, 1, 4, 0},
                                           BoardCase{Start::Unrelated, 29, 115, 16}),
                         BoardName);

// A device of its own with its link and a view of the run.
struct Board {
  Board(std::span<const std::uint8_t> flash, std::span<const std::uint8_t> eeprom) {
    std::copy(flash.begin() + kBootEnd, flash.end(),
              usb.Device().MutableFlash().begin() + kBootEnd);
    std::copy(eeprom.begin(), eeprom.end(), usb.Device().MutableEeprom().begin());
  }
  UpdateOutcome Update(const image::MemoryImage& image, UpdateMode mode) {
    return RunUpdate(image, link, {[] { return true; }, [] { return true; }}, StopToken(abort),
                     observer, mode);
  }

  emulator::EmulatedUsbLibrary usb;
  RecordingMessages messages;
  link::UsbPipeLink link{usb, messages};
  bool abort = false;
  RecordingObserver observer{abort};
};

// Images and boards of every kind, from fixed seeds: blank rows and blocks in the image, bytes
// above its highest address (a hand-made image), and blocks on the board that hold the image,
// part of it, nothing, other data or bits cleared.
TEST(IncrementalPropertyTest, LeavesTheMemoryAFullRunLeavesFromTheSameStart) {
  for (std::uint32_t seed = 1; seed <= 40; ++seed) {
    std::mt19937 random(seed);
    const auto byte = [&] { return static_cast<std::uint8_t>(random()); };
    image::MemoryImage image{};
    image.Clear();
    image.HighestFlashAddress =
        seed % 8 == 0 ? 0x7FFF : static_cast<std::int32_t>(0x7F0 + random() % 0xC00);
    const auto highest = static_cast<std::size_t>(image.HighestFlashAddress);
    const std::size_t imageEnd = seed % 5 == 0 ? image::kFlashSize : highest + 1;
    for (std::size_t a = kBootEnd; a < imageEnd; a += 16) {
      const bool blankRow = random() % 6 == 0 || (a / 64) % 7 == seed % 7;
      for (std::size_t k = 0; k < 16 && a + k < imageEnd; ++k) {
        image.FlashImage[a + k] = blankRow ? image::kBlank : byte();
      }
    }
    for (std::size_t o = 0; o < image::kEepromSize; ++o) {
      image.EepromImage[o] = (o / 16) % 5 == seed % 5 ? image::kBlank : byte();
    }

    std::vector<std::uint8_t> flash = Copy(emulator::BootloaderDevice().Flash());
    std::vector<std::uint8_t> eeprom = Copy(emulator::BootloaderDevice().Eeprom());
    for (std::size_t block = kBootEnd; block < image::kFlashSize; block += 64) {
      const std::uint32_t kind = random() % 6;
      for (std::size_t a = block; a < block + 64; ++a) {
        const std::uint8_t wanted = image.FlashImage[a];
        flash[a] = kind == 0   ? wanted
                   : kind == 1 ? image::kBlank
                   : kind == 2 ? byte()
                   : kind == 3 ? static_cast<std::uint8_t>(wanted & byte())
                   : kind == 4 ? static_cast<std::uint8_t>(wanted ^ (a == block + 9 ? 4 : 0))
                               : flash[a];
      }
    }
    for (std::size_t o = 0; o < image::kEepromSize; ++o) {
      eeprom[o] = (o / 16) % 3 == 0 ? byte() : image.EepromImage[o];
    }

    const auto full = std::make_unique<Board>(flash, eeprom);
    const auto changed = std::make_unique<Board>(flash, eeprom);
    ASSERT_TRUE(full->Update(image, UpdateMode::Full).success) << seed;
    const UpdateOutcome outcome = changed->Update(image, UpdateMode::OnlyChanged);
    ASSERT_TRUE(outcome.success) << "seed " << seed << ": " << FailureReason(outcome);
    EXPECT_TRUE(std::ranges::equal(changed->usb.Device().Flash(), full->usb.Device().Flash()))
        << "seed " << seed;
    EXPECT_TRUE(std::ranges::equal(changed->usb.Device().Eeprom(), full->usb.Device().Eeprom()))
        << "seed " << seed;
  }
}

// A board with a changed block, a blank block and a changed EEPROM row gives every stage of the
// update packets to send; each kind of fault goes at each of its packets in turn.
TEST(IncrementalFaultTest, AFaultAtAnyPacketIsNeverASuccess) {
  image::MemoryImage image{};
  image.Clear();
  image.HighestFlashAddress = 0x0B25;
  for (std::size_t a = kBootEnd; a <= 0x0B25; ++a) {
    image.FlashImage[a] = ImageByte(a);
  }
  for (std::size_t o = 0; o < image::kEepromSize; ++o) {
    image.EepromImage[o] = EepromByte(o);
  }
  std::vector<std::uint8_t> flash;
  std::vector<std::uint8_t> eeprom;
  std::vector<std::uint8_t> commands;  // of each packet of the run without a fault
  {
    const auto board = std::make_unique<Board>(emulator::BootloaderDevice().Flash(),
                                               emulator::BootloaderDevice().Eeprom());
    ASSERT_TRUE(board->Update(image, UpdateMode::Full).success);
    auto memory = board->usb.Device().MutableFlash();
    std::for_each(memory.begin() + 0x900, memory.begin() + 0x940, [](auto& b) { b ^= 0x5A; });
    std::fill(memory.begin() + 0xA00, memory.begin() + 0xA40, image::kBlank);
    board->usb.Device().MutableEeprom()[0x35] ^= 0x5A;
    flash = Copy(board->usb.Device().Flash());
    eeprom = Copy(board->usb.Device().Eeprom());

    const auto clean = std::make_unique<Board>(flash, eeprom);
    clean->usb.SetRecording(true);
    const UpdateOutcome outcome = clean->Update(image, UpdateMode::OnlyChanged);
    ASSERT_TRUE(outcome.success);
    ASSERT_EQ(outcome.blocksErased, 1u);
    ASSERT_EQ(outcome.flashRowsWritten, 8u);
    ASSERT_EQ(outcome.eepromRowsWritten, 1u);
    for (const auto& exchange : clean->usb.Recorded()) {
      commands.push_back(exchange.request.at(0));
    }
  }

  const auto fault = [](FaultKind kind, std::uint32_t byteIndex) {
    Fault f{kind};
    f.byteIndex = byteIndex;
    return f;
  };
  // Each fault with the packets it acts on (any, reads or writes); no fault: a stop.
  enum class On { Any, Reads, Writes };
  const std::pair<std::optional<Fault>, On> injections[] = {
      {fault(FaultKind::Timeout, 0), On::Any},
      {fault(FaultKind::ShortReply, 0), On::Any},
      {fault(FaultKind::WriteError, 0), On::Any},
      {fault(FaultKind::BitFlip, 3), On::Writes},
      {fault(FaultKind::ShortCount, 0), On::Reads},
      {fault(FaultKind::WrongEcho, 2), On::Reads},
      {std::nullopt, On::Any}};
  for (std::uint32_t packet = 0; packet < commands.size(); ++packet) {
    const bool read = commands[packet] == kRead || commands[packet] == kEepromRead;
    const bool write = commands[packet] == 0x02 || commands[packet] == 0x05;
    for (const auto& [injected, on] : injections) {
      const auto board = std::make_unique<Board>(flash, eeprom);
      if (injected) {
        Fault at = *injected;
        at.packetIndex = packet;
        board->usb.AddFault(at);
      } else {
        board->observer.onEvents = [&board, packet](int events) {
          board->abort = board->abort || events == static_cast<int>(packet) + 1;
        };
      }
      const bool applies = on == On::Any || (on == On::Reads ? read : write);

      const UpdateOutcome outcome = board->Update(image, UpdateMode::OnlyChanged);

      const std::string where = "packet " + std::to_string(packet) + ", fault " +
                                std::to_string(injected ? static_cast<int>(injected->kind) : -1);
      EXPECT_EQ(outcome.success, !applies) << where;
      EXPECT_EQ(board->observer.CountOf(kSuccessCall), applies ? 0u : 1u) << where;
      if (applies && on != On::Writes) {
        // Nothing goes out after the faulty packet.
        EXPECT_EQ(board->usb.PacketsBegun(), packet + 1) << where;
      }
      EXPECT_EQ(outcome.failure == Failure::Aborted, !injected) << where;
    }
  }
}

}  // namespace
}  // namespace korvane::update::testing
