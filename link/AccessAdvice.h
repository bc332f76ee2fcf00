#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvane::link {

// What decides the advice for a user who was refused access to the device on Linux.
struct AccessFacts {
  // Where Korvane's udev rule is installed, if anywhere.
  std::optional<std::filesystem::path> installedRule;
  // The group the installed rule gives access to (GROUP="..."), if it names one.
  std::string ruleGroup;
  // Whether this process runs in the active local session, the one the rule's seat access
  // (uaccess) follows; unknown when the system does not say.
  enum class Session { ActiveLocal, Other, Unknown } session = Session::Unknown;
  // Whether this process has the rule's group among its groups; unknown when the system's
  // group list does not name the group.
  std::optional<bool> inRuleGroup;
};

// The folders udev reads rules from, in the order it prefers them.
std::vector<std::filesystem::path> UdevRuleFolders();

// Looks at the system under `root` ("/" for the real one): the rule folders, the login
// session named by `sessionId` (XDG_SESSION_ID; empty when unset) and the groups in etc/group.
AccessFacts GatherAccessFacts(const std::filesystem::path& root, std::string_view sessionId);

// One sentence: access was denied, whether and where the rule is installed, and the next step
// that fits: install it; unplug and plug in again; or join the group that has access.
std::string AccessDeniedAdvice(const AccessFacts& facts);

// The advice for this machine and this process (on Windows: close the program that holds the
// device).
std::string AccessDeniedAdviceHere();

}  // namespace korvane::link
