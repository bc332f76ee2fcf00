#pragma once

#include <cstdint>
#include <ostream>
#include <span>
#include <string>
#include <string_view>

#include "image/UpdateFileLoader.h"
#include "link/UsbPipeLink.h"
#include "platform/Hex.h"
#include "station/Json.h"

namespace korvane::cli {

using platform::HexBytes;
using platform::HexNumber;

// One trace line for an exchange that ran: "<request> -> <reply> [N]", N the ExchangeResult.
// With nothing received the reply part is left out: "FF 02 -> [1]".
std::string TraceLine(std::span<const std::uint8_t> request, std::span<const std::uint8_t> reply,
                      link::ExchangeResult result);
// The trace line of a packet that was not sent: "<request> -> not sent".
std::string NotSentLine(std::span<const std::uint8_t> request);
// True when `text` is what a packet trace holds: nothing, or lines that each read as TraceLine
// or NotSentLine wrote them, each ended by a line feed.
bool IsTraceText(std::string_view text);

using station::Json;
using station::JsonFields;

// The link's messages, printed to standard error one per line with the windows' texts.
class StreamLinkMessages final : public link::LinkMessages {
 public:
  explicit StreamLinkMessages(std::ostream& err) : err_(err) {}
  void ShowLinkMessage(std::string_view text) override;
  // Printed the same way, but not counted: it says nothing about a pipe or an exchange.
  void ShowLibraryNotice(std::string_view text) override;
  // Link messages printed so far, library notices not included.
  int Count() const { return count_; }

 private:
  std::ostream& err_;
  int count_ = 0;
};

// The loader's reports, for a terminal: they go to standard error.
class StreamLoaderHost final : public image::LoaderHost {
 public:
  explicit StreamLoaderHost(std::ostream& err) : err_(err) {}
  void ShowMessage(std::string_view text) override;

 private:
  std::ostream& err_;
};

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

}  // namespace korvane::cli
