#pragma once

// What the update tests share: an observer that writes down every call in order, a link message
// sink, and a bench of emulated device + pipe link + memory image.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "emulator/EmulatedUsbLibrary.h"
#include "image/MemoryImage.h"
#include "link/BootloaderPacket.h"
#include "link/UsbPipeLink.h"
#include "update/UpdateRun.h"

namespace korvane::update::testing {

inline std::string Hex(std::uint32_t value) {
  std::ostringstream out;
  out << "0x" << std::hex << value;
  return out.str();
}

// A short name of each stage, for the recorded calls.
inline std::string Name(Stage stage) {
  switch (stage) {
    case Stage::ProgramErase:
      return "erase";
    case Stage::ProgramWrite:
      return "write";
    case Stage::ProgramVerify:
      return "verify";
    case Stage::EepromWrite:
      return "eeprom-write";
    case Stage::EepromVerify:
      return "eeprom-verify";
    case Stage::ProgramRead:
      return "read";
    case Stage::EepromRead:
      return "eeprom-read";
  }
  return "?";
}

// Every event as one line of text ("Begin erase", "Bar 100", "Finished"), and the bar values with
// the stage they came in. Each progress event is an event pass, where input (an Abort) gets in.
class RecordingObserver final : public UpdateObserver {
 public:
  // Like the progress window, showing at the start clears the abort flag.
  explicit RecordingObserver(bool& abortFlag) : abort_(abortFlag) {}

  void OnRunStarted() override {
    abort_ = false;
    calls.emplace_back("Started");
  }
  void OnStageStarted(Stage stage) override {
    calls.push_back("Begin " + Name(stage));
    if (onStage) {
      onStage(stage);
    }
  }
  void OnProgress(Stage stage, Progress progress) override {
    std::ostringstream text;
    text << "Bar " << progress.Percent();
    calls.push_back(text.str());
    bars.emplace_back(stage, progress.Percent());
    ++events;
    if (onEvents) {
      onEvents(events);
    }
  }
  void OnFinished(const UpdateOutcome&) override { calls.emplace_back("Finished"); }
  void OnFailed(const UpdateOutcome& outcome) override {
    calls.push_back("Failed " + (outcome.stage ? Name(*outcome.stage) : std::string("-")));
  }

  std::vector<float> BarsIn(Stage stage) const {
    std::vector<float> values;
    for (const auto& [s, v] : bars) {
      if (s == stage) {
        values.push_back(v);
      }
    }
    return values;
  }
  std::size_t CountOf(const std::string& call) const {
    return static_cast<std::size_t>(std::count(calls.begin(), calls.end(), call));
  }
  // The run's last event: "Finished" or "Failed ...".
  bool Succeeded() const { return !calls.empty() && calls.back() == "Finished"; }
  std::size_t Failures() const {
    return static_cast<std::size_t>(
        std::count_if(calls.begin(), calls.end(),
                      [](const std::string& c) { return c.rfind("Failed", 0) == 0; }));
  }

  std::vector<std::string> calls;
  // Bar values with the stage they came in.
  std::vector<std::pair<Stage, float>> bars;
  int events = 0;
  std::function<void(int)> onEvents;  // called with the running count of progress events
  std::function<void(Stage)> onStage;

 private:
  bool& abort_;
};

inline const std::string kSuccessCall = "Finished";

class RecordingMessages final : public link::LinkMessages {
 public:
  void ShowLinkMessage(std::string_view text) override { shown.emplace_back(text); }
  std::vector<std::string> shown;
};

// One request as the device received it.
struct SentPacket {
  std::uint8_t command = 0;
  std::uint8_t length = 0;
  std::int32_t address = 0;
  std::size_t size = 0;
  std::vector<std::uint8_t> data;  // bytes from 5 on
};

inline std::uint8_t ImageByte(std::size_t address) {
  return static_cast<std::uint8_t>((address * 7 + 3) & 0xFF);
}
inline std::uint8_t EepromByte(std::size_t offset) {
  return static_cast<std::uint8_t>((offset * 13 + 5) & 0xFF);
}

class UpdateBench : public ::testing::Test {
 protected:
  UpdateBench() { usb.SetRecording(true); }

  // An image as a load leaves it: a pattern up to `highest`, 0xFF above it.
  void LoadImage(std::int32_t highest) {
    image.FlashImage.fill(image::kBlank);
    image.EepromImage.fill(image::kBlank);
    for (std::int32_t a = 0; a <= highest && a < static_cast<std::int32_t>(image::kFlashSize);
         ++a) {
      image.FlashImage[static_cast<std::size_t>(a)] = ImageByte(static_cast<std::size_t>(a));
    }
    for (std::size_t i = 0; i < image::kEepromSize; ++i) {
      image.EepromImage[i] = EepromByte(i);
    }
    image.HighestFlashAddress = highest;
  }

  UpdateOutcome Run(bool flash, bool eeprom) {
    UpdateSelections selections;
    selections.flash = [this, flash] {
      ++flashReads;
      return flash;
    };
    selections.eeprom = eepromSelection ? eepromSelection : [this, eeprom] {
      ++eepromReads;
      return eeprom;
    };
    return RunUpdate(image, link, selections, StopToken(abort), observer, mode);
  }

  std::vector<SentPacket> Sent(std::uint8_t command) const {
    std::vector<SentPacket> packets;
    for (const auto& exchange : usb.Recorded()) {
      const auto& r = exchange.request;
      if (r.size() < 5 || r[0] != command) {
        continue;
      }
      SentPacket p;
      p.command = r[0];
      p.length = r[1];
      p.address = r[2] | (r[3] << 8) | (r[4] << 16);
      p.size = r.size();
      p.data.assign(r.begin() + 5, r.end());
      packets.push_back(std::move(p));
    }
    return packets;
  }

  bool FlashMatchesImage(std::size_t first, std::size_t last) const {
    const auto flash = usb.Device().Flash();
    return std::equal(flash.begin() + static_cast<std::ptrdiff_t>(first),
                      flash.begin() + static_cast<std::ptrdiff_t>(last) + 1,
                      image.FlashImage.begin() + static_cast<std::ptrdiff_t>(first));
  }
  bool EepromMatchesImage() const {
    const auto eeprom = usb.Device().Eeprom();
    return std::equal(eeprom.begin(), eeprom.end(), image.EepromImage.begin());
  }

  emulator::EmulatedUsbLibrary usb;
  RecordingMessages messages;
  link::UsbPipeLink link{usb, messages};
  bool abort = false;
  RecordingObserver observer{abort};
  image::MemoryImage image{};
  int flashReads = 0;
  int eepromReads = 0;
  std::function<bool()> eepromSelection;
  UpdateMode mode = UpdateMode::Full;  // how Run updates
};

}  // namespace korvane::update::testing
