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

}  // namespace korvane::cli
