#include "emulator/FaultText.h"

#include <array>
#include <charconv>

namespace korvane::emulator {

namespace {

struct NamedKind {
  std::string_view name;
  FaultKind kind;
};

constexpr std::array<NamedKind, 11> kFaultNames = {{
    {"timeout", FaultKind::Timeout},
    {"short", FaultKind::ShortReply},
    {"long-count", FaultKind::LongCount},
    {"long-reply", FaultKind::LongReply},
    {"bitflip", FaultKind::BitFlip},
    {"unplug", FaultKind::Unplug},
    {"open-fail", FaultKind::OpenFail},
    {"write-error", FaultKind::WriteError},
    {"arrive", FaultKind::Arrival},
    {"short-count", FaultKind::ShortCount},
    {"wrong-echo", FaultKind::WrongEcho},
}};

}  // namespace

std::optional<Fault> ParseFault(std::string_view text) {
  const std::size_t at = text.find('@');
  if (at == std::string_view::npos) {
    return std::nullopt;
  }
  const std::string_view name = text.substr(0, at);
  const std::string_view index = text.substr(at + 1);
  for (const NamedKind& entry : kFaultNames) {
    if (entry.name != name) {
      continue;
    }
    Fault fault;
    fault.kind = entry.kind;
    const auto [end, error] =
        std::from_chars(index.data(), index.data() + index.size(), fault.packetIndex);
    if (index.empty() || error != std::errc{} || end != index.data() + index.size()) {
      return std::nullopt;
    }
    return fault;
  }
  return std::nullopt;
}

std::string_view FaultName(FaultKind kind) {
  for (const NamedKind& entry : kFaultNames) {
    if (entry.kind == kind) {
      return entry.name;
    }
  }
  return "unknown";
}

}  // namespace korvane::emulator
