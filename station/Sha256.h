#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace korvane::station {

// SHA-256 (FIPS 180-4), fed in pieces: the production record names files and images by it.
class Sha256 {
 public:
  Sha256();
  void Add(std::span<const std::uint8_t> bytes);
  void Add(std::string_view text) {
    Add(std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(text.data()),
                                      text.size()));
  }
  // The digest as 64 lower-case hex digits. The object is spent afterwards.
  std::string HexDigest();

 private:
  void Block(const std::uint8_t* block);

  std::array<std::uint32_t, 8> state_;
  std::array<std::uint8_t, 64> buffer_{};
  std::size_t buffered_ = 0;
  std::uint64_t length_ = 0;  // bytes added
};

std::string Sha256Hex(std::string_view bytes);

}  // namespace korvane::station
