#include "link/AccessAdvice.h"

#include <cstdlib>
#include <fstream>
#include <system_error>

#ifndef _WIN32
#include <unistd.h>

#include <algorithm>
#include <vector>
#endif

#include "link/LibUsbLibrary.h"

namespace korvane::link {

namespace {

std::filesystem::path UnderRoot(const std::filesystem::path& root,
                                const std::filesystem::path& path) {
  return root / path.relative_path();
}

// The value of GROUP="..." in the rule text, or empty.
std::string RuleGroup(const std::filesystem::path& rule) {
  std::ifstream in(rule);
  for (std::string line; std::getline(in, line);) {
    if (line.starts_with('#')) {
      continue;
    }
    const std::size_t at = line.find("GROUP=\"");
    if (at == std::string::npos) {
      continue;
    }
    const std::size_t begin = at + 7;
    const std::size_t end = line.find('"', begin);
    if (end != std::string::npos && end > begin) {
      return line.substr(begin, end - begin);
    }
  }
  return {};
}

AccessFacts::Session SessionState(const std::filesystem::path& root, std::string_view sessionId) {
  if (sessionId.empty() || sessionId.find('/') != std::string_view::npos) {
    return AccessFacts::Session::Unknown;
  }
  std::ifstream in(UnderRoot(root, "/run/systemd/sessions") / std::string(sessionId));
  if (!in) {
    return AccessFacts::Session::Unknown;
  }
  bool active = false;
  bool remote = false;
  for (std::string line; std::getline(in, line);) {
    active = active || line == "ACTIVE=1";
    remote = remote || line == "REMOTE=1";
  }
  return active && !remote ? AccessFacts::Session::ActiveLocal : AccessFacts::Session::Other;
}

// Whether this process has `group` (as etc/group under `root` numbers it) among its groups.
std::optional<bool> InGroup(const std::filesystem::path& root, const std::string& group) {
#ifdef _WIN32
  (void)root;
  (void)group;
  return std::nullopt;
#else
  std::ifstream in(UnderRoot(root, "/etc/group"));
  for (std::string line; std::getline(in, line);) {
    const std::size_t nameEnd = line.find(':');
    const std::size_t idStart = line.find(':', nameEnd == std::string::npos ? 0 : nameEnd + 1);
    if (nameEnd == std::string::npos || idStart == std::string::npos ||
        line.compare(0, nameEnd, group) != 0 || nameEnd != group.size()) {
      continue;
    }
    gid_t id = 0;
    try {
      id = static_cast<gid_t>(std::stoul(line.substr(idStart + 1)));
    } catch (const std::exception&) {
      return std::nullopt;
    }
    std::vector<gid_t> groups(static_cast<std::size_t>(std::max(getgroups(0, nullptr), 0)) + 1);
    const int count = getgroups(static_cast<int>(groups.size()), groups.data());
    groups.resize(static_cast<std::size_t>(std::max(count, 0)));
    return getegid() == id || std::find(groups.begin(), groups.end(), id) != groups.end();
  }
  return std::nullopt;
#endif
}

}  // namespace

std::vector<std::filesystem::path> UdevRuleFolders() {
  return {"/etc/udev/rules.d", "/run/udev/rules.d", "/usr/local/lib/udev/rules.d",
          "/usr/lib/udev/rules.d", "/lib/udev/rules.d"};
}

AccessFacts GatherAccessFacts(const std::filesystem::path& root, std::string_view sessionId) {
  AccessFacts facts;
  for (const std::filesystem::path& folder : UdevRuleFolders()) {
    const std::filesystem::path rule = folder / kUdevRuleName;
    std::error_code error;
    if (std::filesystem::is_regular_file(UnderRoot(root, rule), error)) {
      facts.installedRule = rule;
      facts.ruleGroup = RuleGroup(UnderRoot(root, rule));
      if (!facts.ruleGroup.empty()) {
        facts.inRuleGroup = InGroup(root, facts.ruleGroup);
      }
      break;
    }
  }
  facts.session = SessionState(root, sessionId);
  return facts;
}

std::string AccessDeniedAdvice(const AccessFacts& facts) {
  const std::string rule(kUdevRuleName);
  std::string text = "Access to the USB device was denied: ";
  if (!facts.installedRule) {
    return text + "Korvane's udev rule " + rule +
           " is not installed; install the korvane package, which brings it (or put the rule "
           "into /etc/udev/rules.d/ and run udevadm control --reload-rules), then unplug the "
           "device and plug it in again.";
  }
  text += "Korvane's udev rule is installed as " + facts.installedRule->generic_string();
  if (facts.inRuleGroup == false && facts.session == AccessFacts::Session::Unknown) {
    // No login session to go by (su, a service, a system without logind): the group decides.
    return text + ", which lets the group " + facts.ruleGroup +
           " open the device, and this user is not in it; add your user to the group " +
           facts.ruleGroup + " (usermod -aG " + facts.ruleGroup + " USER) and log in again.";
  }
  if (facts.session == AccessFacts::Session::Other && facts.inRuleGroup != true) {
    text +=
        ", but it lets only the user of the active local session open the device and this "
        "session is not that one (it is remote or in the background); ";
    if (!facts.ruleGroup.empty()) {
      return text + "add your user to the group " + facts.ruleGroup + " (usermod -aG " +
             facts.ruleGroup + " USER) and log in again.";
    }
    return text +
           "log in at the computer the device is plugged into, or have a rule added "
           "that gives a group of yours access to the device.";
  }
  return text + "; unplug the device and plug it in again so that the rule applies to it.";
}

std::string AccessDeniedAdviceHere() {
#ifdef _WIN32
  // WinUSB lets one program at a time open a device.
  return "Access to the USB device was denied: another program has it open (another Korvane, "
         "or another tool for the device); close that program and try again.";
#else
  const char* session = std::getenv("XDG_SESSION_ID");
  return AccessDeniedAdvice(GatherAccessFacts("/", session != nullptr ? session : ""));
#endif
}

}  // namespace korvane::link
