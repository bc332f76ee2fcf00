#pragma once

#include <cstdint>
#include <ostream>
#include <span>
#include <string>
#include <string_view>

#include "link/UsbPipeLink.h"

// The packet trace of a one-device run: one line per packet, in a file of its own.
namespace korvane::station {

// One trace line for an exchange that ran: "<request> -> <reply> [N]", N the ExchangeResult.
// With nothing received the reply part is left out: "FF 02 -> [1]".
std::string TraceLine(std::span<const std::uint8_t> request, std::span<const std::uint8_t> reply,
                      link::ExchangeResult result);
// The trace line of a packet that was not sent: "<request> -> not sent".
std::string NotSentLine(std::span<const std::uint8_t> request);
// True when `text` is what a packet trace holds: nothing, or lines that each read as TraceLine
// or NotSentLine wrote them, each ended by a line feed.
bool IsTraceText(std::string_view text);

// Writes one trace line per packet to a stream.
class TraceWriter final : public link::PacketTap {
 public:
  explicit TraceWriter(std::ostream& out) : out_(out) {}
  void OnExchange(std::span<const std::uint8_t> request, std::span<const std::uint8_t> reply,
                  link::ExchangeResult result) override;
  void OnNotSent(std::span<const std::uint8_t> request) override;

 private:
  std::ostream& out_;
};

}  // namespace korvane::station
