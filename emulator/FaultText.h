#pragma once

#include <optional>
#include <string_view>

#include "emulator/EmulatedUsbLibrary.h"

namespace korvane::emulator {

// Reads "KIND@N": KIND one of timeout, short, long-count, long-reply, bitflip, unplug,
// open-fail, write-error, arrive; N the 0-based packet index. Nothing when the text is not of
// that form.
std::optional<Fault> ParseFault(std::string_view text);

// The name ParseFault reads for a kind ("long-count").
std::string_view FaultName(FaultKind kind);

}  // namespace korvane::emulator
