// Runs the update (the full one and the one of only what changed), verify and backup against a
// device whose replies the fuzzer shapes: the emulated bootloader answers every packet, and the
// input may make any packet find no device, fail to open, lose its write or its read, come back
// with a length of its own, or carry other bytes. What must hold after every run: no crash and
// no undefined behaviour; nothing sent after a stop; a success only when every byte of the area
// was answered, by a reply that named its request, with the byte the image holds (for a backup:
// the byte the backup keeps); and without events, a success that leaves that in the device.
//
// Input: a header (which run, what it covers, the image, what the device holds), then events
// "at packet P do K".

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "emulator/BootloaderDevice.h"
#include "image/MemoryImage.h"
#include "link/BootloaderPacket.h"
#include "link/UsbPipeLink.h"
#include "update/DeviceBackup.h"
#include "update/UpdateRun.h"

namespace {

using namespace korvane;

#define FUZZ_CHECK(condition)                                                            \
  do {                                                                                   \
    if (!(condition)) {                                                                  \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                      \
    }                                                                                    \
  } while (false)

enum class EventKind : std::uint8_t {
  DeviceCount,  // the device count says `value` (0: none, 2: another device too)
  OpenFail,     // the pipe of direction `value & 1` does not open
  WriteFail,    // the write fails with error `value`; the device receives nothing
  WriteCut,     // only `value` bytes of the request go out
  ReadFail,     // the read fails with error `value`
  Length,       // the reply is `value` bytes long (cut, or grown with zeros)
  SetByte,      // reply byte `position` becomes `value`
  FlipByte,     // reply byte `position` is XORed with `value`
  Stop,         // the user asks to stop while this packet is in flight
  Memory,       // the device's memory changes at `position` (flash from 0x800, or EEPROM)
  kCount,
};

struct Event {
  EventKind kind;
  std::uint8_t position;
  std::uint8_t value;
};

class Messages final : public link::LinkMessages {
 public:
  void ShowLinkMessage(std::string_view) override {}
};

// The emulated bootloader behind the USB library interface, with the input's events applied,
// and a record of every byte that a read reply answered for its own request.
class FuzzDevice final : public link::UsbLibrary {
 public:
  FuzzDevice(std::multimap<std::uint32_t, Event> events, bool& stop)
      : events_(std::move(events)), stop_(stop) {}

  emulator::BootloaderDevice device;
  // What reached the host for each address: set by a read reply whose command and address echo
  // its request, for the bytes its count announced, within the request and what arrived.
  std::array<std::optional<std::uint8_t>, emulator::kDeviceFlashSize> flashAnswered{};
  std::array<std::optional<std::uint8_t>, emulator::kDeviceEepromSize> eepromAnswered{};
  std::uint32_t packets = 0;
  std::optional<std::uint32_t> stoppedAt;  // the packet during which the stop came

  std::int32_t MPUSBGetDeviceCount(std::string_view) override {
    current_ = packets++;
    for (auto [it, end] = events_.equal_range(current_); it != end; ++it) {
      if (it->second.kind == EventKind::Stop && !stoppedAt) {
        stop_ = true;
        stoppedAt = current_;
      }
      if (it->second.kind == EventKind::Memory) {
        const std::size_t at = it->second.position;
        device.MutableFlash()[0x800 + at * 16] ^= it->second.value | 1;
        device.MutableEeprom()[at] ^= it->second.value | 1;
      }
    }
    const Event* count = Find(EventKind::DeviceCount);
    return count != nullptr ? count->value : 1;
  }

  link::PipeHandle MPUSBOpen(std::uint32_t, std::string_view, std::string_view,
                             std::uint32_t direction, std::uint32_t) override {
    const Event* fail = Find(EventKind::OpenFail);
    return fail != nullptr && (fail->value & 1) == direction
               ? link::kInvalidPipe
               : static_cast<link::PipeHandle>(direction + 1);
  }

  std::int32_t MPUSBWrite(link::PipeHandle, std::span<const std::uint8_t> data, std::uint32_t& sent,
                          std::uint32_t) override {
    sent = 0;
    reply_.present = false;
    // The replies are held to the request the host sent, also when part of it was lost.
    request_.assign(data.begin(), data.end());
    if (const Event* fail = Find(EventKind::WriteFail); fail != nullptr) {
      lastError_ = fail->value;
      return 0;
    }
    std::size_t count = data.size();
    if (const Event* cut = Find(EventKind::WriteCut); cut != nullptr) {
      count = std::min<std::size_t>(count, cut->value);
    }
    device.Handle(data.first(count), reply_);
    sent = static_cast<std::uint32_t>(count);
    return 1;
  }

  std::int32_t MPUSBRead(link::PipeHandle, std::span<std::uint8_t> buffer, std::uint32_t& received,
                         std::uint32_t) override {
    received = 0;
    if (const Event* fail = Find(EventKind::ReadFail); fail != nullptr) {
      lastError_ = fail->value;
      return 0;
    }
    std::vector<std::uint8_t> reply;
    if (reply_.present) {
      const auto view = reply_.View();
      reply.assign(view.begin(), view.end());
    }
    for (auto [it, end] = events_.equal_range(current_); it != end; ++it) {
      const Event& e = it->second;
      if (e.kind == EventKind::Length) {
        reply.resize(e.value, 0);
      } else if (e.kind == EventKind::SetByte || e.kind == EventKind::FlipByte) {
        const std::size_t at = e.position % 64;
        if (at >= reply.size()) {
          reply.resize(at + 1, 0);
        }
        reply[at] = e.kind == EventKind::SetByte ? e.value : reply[at] ^ e.value;
      }
    }
    if (!reply_.present && reply.empty()) {
      if (buffer.empty()) {
        return 1;
      }
      lastError_ = link::kErrorTimeout;
      return 0;
    }
    const std::size_t copied = std::min(reply.size(), buffer.size());
    std::copy_n(reply.begin(), copied, buffer.begin());
    received = static_cast<std::uint32_t>(reply.size());
    Record(std::span<const std::uint8_t>(reply).first(copied));
    return 1;
  }

  std::int32_t MPUSBClose(link::PipeHandle) override { return 1; }
  std::uint32_t GetLastError() override { return lastError_; }
  bool IdentifiesDevice() const override { return true; }

 private:
  const Event* Find(EventKind kind) const {
    for (auto [it, end] = events_.equal_range(current_); it != end; ++it) {
      if (it->second.kind == kind) {
        return &it->second;
      }
    }
    return nullptr;
  }

  // Notes the bytes a read reply answered for its own request.
  void Record(std::span<const std::uint8_t> reply) {
    if (request_.size() < link::kDataByte || reply.size() < link::kDataByte) {
      return;
    }
    const std::uint8_t command = request_[link::kCommandByte];
    const bool flash = command == static_cast<std::uint8_t>(link::Command::FlashRead);
    const bool eeprom = command == static_cast<std::uint8_t>(link::Command::EepromRead);
    const bool echoed =
        reply[link::kCommandByte] == command &&
        std::equal(reply.begin() + link::kAddressLowByte, reply.begin() + link::kDataByte,
                   request_.begin() + link::kAddressLowByte);
    if (!(flash || eeprom) || !echoed) {
      return;
    }
    const std::size_t address = static_cast<std::size_t>(request_[link::kAddressLowByte]) |
                                static_cast<std::size_t>(request_[link::kAddressHighByte]) << 8 |
                                static_cast<std::size_t>(request_[link::kAddressUpperByte]) << 16;
    const std::size_t count = std::min<std::size_t>(
        {reply[link::kLengthByte], request_[link::kLengthByte], reply.size() - link::kDataByte});
    for (std::size_t k = 0; k < count; ++k) {
      const std::size_t at = address + k;
      if (flash && at < flashAnswered.size()) {
        flashAnswered[at] = reply[link::kDataByte + k];
      } else if (eeprom && at < eepromAnswered.size()) {
        eepromAnswered[at] = reply[link::kDataByte + k];
      }
    }
  }

  std::multimap<std::uint32_t, Event> events_;
  bool& stop_;
  std::uint32_t current_ = 0;
  std::vector<std::uint8_t> request_;
  emulator::DeviceReply reply_;
  std::uint32_t lastError_ = 0;
};

// Shows nothing; every progress stays within its whole.
class View final : public update::UpdateObserver, public update::BackupObserver {
 public:
  void OnProgress(update::Stage, update::Progress progress) override { Check(progress); }
  void OnRegionProgress(update::BackupRegion, update::Progress progress) override {
    Check(progress);
  }

 private:
  static void Check(update::Progress progress) {
    const float percent = progress.Percent();
    FUZZ_CHECK(percent >= 0.0F && percent <= 100.0F);
  }
};

// Every address from `first` to `last` was answered, with the byte `expected` gives for it.
template <std::size_t N, typename Expected>
void CheckAnswered(const std::array<std::optional<std::uint8_t>, N>& answered, std::size_t first,
                   std::size_t last, Expected expected) {
  for (std::size_t a = first; a <= last; ++a) {
    FUZZ_CHECK(answered[a].has_value());
    FUZZ_CHECK(*answered[a] == expected(a));
  }
}

// A run that failed names a failure and a reason, and nothing is sent after a stop: one asked
// for before the run stops it before its first packet (a run with nothing to send succeeds).
void CheckEnding(const update::UpdateOutcome& outcome, const std::string& reason,
                 const FuzzDevice& device, bool stopBefore, bool nothingToSend) {
  FUZZ_CHECK(outcome.success == (outcome.failure == update::Failure::None));
  FUZZ_CHECK(outcome.success == reason.empty());
  FUZZ_CHECK(outcome.packetsSent <= device.packets);
  if (stopBefore) {
    FUZZ_CHECK(device.packets == 0);
    FUZZ_CHECK(outcome.failure ==
               (nothingToSend ? update::Failure::None : update::Failure::Aborted));
  }
  if (device.stoppedAt) {
    FUZZ_CHECK(!outcome.success);
    FUZZ_CHECK(device.packets == *device.stoppedAt + 1);
  }
}

// What the device holds before an update of only what changed: the earlier firmware it starts
// with, the image, nothing, or the image with some blocks changed and some erased.
void PrepareDevice(emulator::BootloaderDevice& device, const image::MemoryImage& image, int start,
                   std::uint16_t seed) {
  auto flash = device.MutableFlash();
  auto eeprom = device.MutableEeprom();
  if (start == 0) {
    return;
  }
  if (start == 2) {
    std::fill(flash.begin() + 0x800, flash.end(), image::kBlank);
    std::fill(eeprom.begin(), eeprom.end(), image::kBlank);
    return;
  }
  std::copy(image.FlashImage.begin() + 0x800, image.FlashImage.end(), flash.begin() + 0x800);
  std::copy(image.EepromImage.begin(), image.EepromImage.end(), eeprom.begin());
  if (start == 3) {
    for (std::size_t a = 0x800; a < flash.size(); ++a) {
      const std::size_t kind = (a / 64 + seed) % 7;
      flash[a] = kind == 0 ? image::kBlank : kind == 1 ? flash[a] ^ 0x21 : flash[a];
    }
    eeprom[seed % eeprom.size()] ^= 0x10;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  // update, verify, backup, update of only what changed
  const auto op = input.ConsumeIntegralInRange<int>(0, 3);
  const auto flags = input.ConsumeIntegral<std::uint8_t>();
  const bool flash = (flags & 1) != 0;
  const bool eeprom = (flags & 2) != 0;
  const bool stopBefore = (flags & 0x1C) == 0x1C;
  const int start = (flags >> 5) & 3;  // what the device holds before an update of what changed
  // Mostly small areas, so that many runs fit in a second; sometimes the top of flash and past.
  const auto shape = input.ConsumeIntegral<std::uint8_t>();
  const auto offset = input.ConsumeIntegral<std::uint16_t>();
  std::int32_t highest = 0x7F0 + offset % 0x200;
  if ((shape & 3) == 1) {
    highest = 0x7F00 + offset % 0x120;
  } else if ((shape & 3) == 2) {
    highest = 0x7F0 + offset % 0x7820;
  }
  const auto seed = input.ConsumeIntegral<std::uint16_t>();

  std::multimap<std::uint32_t, Event> events;
  while (input.remaining_bytes() >= 5) {
    const auto packet = input.ConsumeIntegral<std::uint16_t>();
    const auto kind = static_cast<EventKind>(input.ConsumeIntegral<std::uint8_t>() %
                                             static_cast<std::uint8_t>(EventKind::kCount));
    const auto position = input.ConsumeIntegral<std::uint8_t>();
    events.emplace(packet, Event{kind, position, input.ConsumeIntegral<std::uint8_t>()});
  }

  const bool noEvents = events.empty();
  image::MemoryImage image{};
  image.Clear();
  for (std::int32_t a = 0; a <= highest && a < static_cast<std::int32_t>(image::kFlashSize); ++a) {
    image.FlashImage[static_cast<std::size_t>(a)] = static_cast<std::uint8_t>(a * (seed | 1) >> 3);
  }
  for (std::size_t i = 0; i < image::kEepromSize; ++i) {
    image.EepromImage[i] = static_cast<std::uint8_t>(i * (seed >> 8) + seed);
  }
  image.HighestFlashAddress = highest;

  bool stop = stopBefore;
  FuzzDevice device(std::move(events), stop);
  Messages messages;
  link::UsbPipeLink link(device, messages);
  View view;
  const update::StopToken stopToken(stop);
  const std::size_t flashLast = std::min<std::size_t>(static_cast<std::size_t>(highest), 0x7FFF);
  const bool flashArea = flash && highest >= 0x800;

  if (op == 0 || op == 3) {
    const bool onlyChanged = op == 3;
    if (onlyChanged) {
      PrepareDevice(device.device, image, start, seed);
    }
    const auto bootBlock = device.device.Flash().first(0x800);
    const std::vector<std::uint8_t> bootBefore(bootBlock.begin(), bootBlock.end());
    const update::UpdateOutcome outcome = update::RunUpdate(
        image, link, {[flash] { return flash; }, [eeprom] { return eeprom; }}, stopToken, view,
        onlyChanged ? update::UpdateMode::OnlyChanged : update::UpdateMode::Full);
    CheckEnding(outcome, update::FailureReason(outcome), device, stopBefore, !flashArea && !eeprom);
    FUZZ_CHECK(outcome.incremental == onlyChanged);
    // The full run answers for program flash up to the highest address. The update of what
    // changed answers for the whole last 64-byte block, as a full run leaves it: the image up to
    // the end of the 16-byte row that holds the highest address, 0xFF above.
    const std::size_t areaLast = onlyChanged ? (flashLast | 63) : flashLast;
    const auto target = [&](std::size_t a) {
      return a <= (flashLast | 15) ? image.FlashImage[a] : image::kBlank;
    };
    if (outcome.success) {
      if (flashArea) {
        CheckAnswered(device.flashAnswered, 0x800, areaLast, target);
      }
      if (eeprom) {
        CheckAnswered(device.eepromAnswered, 0, image::kEepromSize - 1,
                      [&](std::size_t a) { return image.EepromImage[a]; });
      }
    }
    // A device that does as it is told ends up holding it, and its boot block is never touched.
    FUZZ_CHECK(std::equal(bootBefore.begin(), bootBefore.end(), device.device.Flash().begin()));
    if (noEvents && !stopBefore) {
      FUZZ_CHECK(outcome.success);
      for (std::size_t a = 0x800; flashArea && a <= areaLast; ++a) {
        FUZZ_CHECK(device.device.Flash()[a] == target(a));
      }
      for (std::size_t o = 0; eeprom && o < image::kEepromSize; ++o) {
        FUZZ_CHECK(device.device.Eeprom()[o] == image.EepromImage[o]);
      }
    }
  } else if (op == 1) {
    // The device holds the image, unless the events change it.
    std::copy(image.FlashImage.begin() + 0x800, image.FlashImage.end(),
              device.device.MutableFlash().begin() + 0x800);
    std::copy(image.EepromImage.begin(), image.EepromImage.end(),
              device.device.MutableEeprom().begin());
    const update::VerifyOutcome outcome =
        update::VerifyDevice(image, link, flash, eeprom, view, stopToken);
    CheckEnding(outcome.run, update::VerifyFailureReason(outcome), device, stopBefore,
                !flashArea && !eeprom);
    FUZZ_CHECK((outcome.differing > 0) == (outcome.run.failure == update::Failure::Mismatch));
    if (outcome.run.success) {
      if (flashArea) {
        CheckAnswered(device.flashAnswered, 0x800, flashLast,
                      [&](std::size_t a) { return image.FlashImage[a]; });
      }
      if (eeprom) {
        CheckAnswered(device.eepromAnswered, 0, image::kEepromSize - 1,
                      [&](std::size_t a) { return image.EepromImage[a]; });
      }
    }
  } else {
    update::ReadPlan plan;
    plan.flashLast =
        flash ? std::optional<std::uint32_t>(static_cast<std::uint32_t>(highest)) : std::nullopt;
    plan.eeprom = eeprom;
    const update::BackupOutcome outcome = update::ReadDeviceMemory(link, view, stopToken, plan);
    CheckEnding(outcome.run, update::BackupFailureReason(outcome), device, stopBefore,
                !flashArea && !eeprom);
    if (outcome.run.success) {
      if (flashArea) {
        CheckAnswered(device.flashAnswered, 0x800, flashLast,
                      [&](std::size_t a) { return outcome.memory.flash[a]; });
      }
      if (eeprom) {
        CheckAnswered(device.eepromAnswered, 0, image::kEepromSize - 1,
                      [&](std::size_t a) { return outcome.memory.eeprom[a]; });
      }
      // Nothing below the application area is read; nothing is invented.
      for (std::size_t a = 0; a < 0x800; ++a) {
        FUZZ_CHECK(outcome.memory.flash[a] == image::kBlank);
      }
    }
  }
  return 0;
}
