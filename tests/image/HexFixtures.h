#pragma once

// Helpers for composing HEX text and files in the image tests, and a LoaderHost that records
// every call in order.

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>
#include <unistd.h>

#include "image/UpdateFileLoader.h"

namespace korvane::image::testing {

// One record line (no line end) with a correct checksum.
inline std::string Record(std::uint8_t type, std::uint16_t offset,
                          const std::vector<std::uint8_t>& data) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string line = ":";
  unsigned sum = 0;
  auto put = [&](std::uint8_t byte) {
    line += kDigits[byte >> 4];
    line += kDigits[byte & 0x0F];
    sum += byte;
  };
  put(static_cast<std::uint8_t>(data.size()));
  put(static_cast<std::uint8_t>(offset >> 8));
  put(static_cast<std::uint8_t>(offset & 0xFF));
  put(type);
  for (const std::uint8_t byte : data)
    put(byte);
  put(static_cast<std::uint8_t>(-sum & 0xFF));
  return line;
}

inline std::string Data(std::uint16_t offset, const std::vector<std::uint8_t>& data) {
  return Record(0, offset, data);
}
inline std::string Linear(std::uint16_t value) {
  return Record(4, 0, {static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)});
}
inline std::string Segment(std::uint16_t value) {
  return Record(2, 0, {static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)});
}
inline const std::string kEof = ":00000001FF";

// Joins lines, each followed by the given line end.
inline std::string Lines(std::initializer_list<std::string> lines, std::string_view end = "\r\n") {
  std::string text;
  for (const auto& line : lines) {
    text += line;
    text += end;
  }
  return text;
}

class RecordingHost : public LoaderHost {
 public:
  enum class Kind { Message, Decoding };
  struct Call {
    Kind kind;
    std::string text;
    std::string decodedTextThen;  // the loader's DecodedText when told of the decoding
  };

  // Lets the decoding notice look at DecodedText, to see that decoding has not yet started.
  const UpdateFileLoader* watched = nullptr;
  std::vector<Call> calls;

  void ShowMessage(std::string_view text) override {
    calls.push_back({Kind::Message, std::string(text), {}});
  }
  void OnDecoding() override {
    calls.push_back({Kind::Decoding, {}, watched ? watched->DecodedText() : ""});
  }

  std::vector<std::string> Messages() const {
    std::vector<std::string> texts;
    for (const auto& call : calls)
      if (call.kind == Kind::Message)
        texts.push_back(call.text);
    return texts;
  }
  std::vector<Kind> Kinds() const {
    std::vector<Kind> kinds;
    for (const auto& call : calls)
      kinds.push_back(call.kind);
    return kinds;
  }
};

// A fresh folder per test, removed afterwards.
class TempFolder {
 public:
  TempFolder() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    path_ = std::filesystem::temp_directory_path() /
            ("korvane-image-" + std::string(info->test_suite_name()) + "-" + info->name() + "-" +
             std::to_string(::getpid()));
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
  }
  ~TempFolder() {
    std::error_code ignored;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(path_, ignored);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  std::string Write(const std::string& name, std::string_view content) const {
    const auto file = path_ / name;
    std::ofstream out(file, std::ios::binary);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    return file.string();
  }
  std::string PathOf(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

}  // namespace korvane::image::testing
