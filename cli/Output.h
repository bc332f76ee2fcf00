#pragma once

#include <ostream>
#include <string_view>

#include "image/UpdateFileLoader.h"
#include "platform/Hex.h"
#include "station/Json.h"

namespace korvane::cli {

using platform::HexNumber;

using station::Json;
using station::JsonFields;

// The loader's reports, for a terminal: they go to standard error.
class StreamLoaderHost final : public image::LoaderHost {
 public:
  explicit StreamLoaderHost(std::ostream& err) : err_(err) {}
  void ShowMessage(std::string_view text) override;

 private:
  std::ostream& err_;
};

}  // namespace korvane::cli
