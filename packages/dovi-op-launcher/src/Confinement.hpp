#pragma once

#include <optional>
#include <string>

namespace dovi {

// The 1Password desktop application's data directory below `home` (resolved, with every
// existing link followed), after creating `<home>/.config/op` (mode 0700) when missing.
// Empty when home is not absolute, cannot be resolved or the path is too long.
std::optional<std::string> prepareAppDataDirectory(const char* home);

// Confines this process and everything it executes with Landlock so that no file beneath
// `deniedDirectory` (absolute, resolved) can be read or executed; sets no_new_privs.
// False when Landlock is unavailable or any step of building the rule set fails.
bool denyReadsBeneath(const std::string& deniedDirectory);

}  // namespace dovi
