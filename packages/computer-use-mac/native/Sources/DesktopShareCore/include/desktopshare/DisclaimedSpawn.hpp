#pragma once
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/ProcessSpawn.hpp"

namespace desktopshare {

// The arguments after "--": the subcommand the child runs, and its own arguments.
struct DisclaimedSpawnOptions {
  std::vector<std::string> childArguments;

  // Throws RfbProtocolError "spawn_disclaimed_requires_double_dash_separator" or
  // "spawn_disclaimed_requires_child_arguments".
  static DisclaimedSpawnOptions parse(const std::vector<std::string>& arguments);
  bool operator==(const DisclaimedSpawnOptions&) const = default;
};

// Spawns `executable` with argv = {executable, arguments...}, the parent's environment and
// standard streams, SIGTERM reset to its default action, and responsibility disclaimed.
// Returns the child's process id; throws RfbProtocolError.
std::int32_t spawnDisclaimed(const std::string& executable, const std::vector<std::string>& arguments,
                             platform::ResponsibilityDisclaim& disclaim);

// A wait status as a shell would report it: the exit status, or 128 + signal.
std::int32_t mirroredExitCode(std::int32_t waitStatus);

}  // namespace desktopshare
