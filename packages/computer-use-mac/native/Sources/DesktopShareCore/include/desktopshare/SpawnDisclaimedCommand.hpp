#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "platform/ProcessSpawn.hpp"

namespace desktopshare {

// `spawn-disclaimed -- <subcommand ...>`: relaunches the running executable with the child
// arguments and supervises it. SIGTERM to this process is passed on to the child, which is
// killed outright 0.7 s later if it is still there. Returns the child's mirrored exit code,
// which the caller exits with; throws RfbProtocolError only before the child has been reaped
// (a failed wait kills the child first).
std::int32_t runSpawnDisclaimedCommand(const std::vector<std::string>& arguments,
                                       const platform::ExecutableLocator& locator,
                                       platform::ResponsibilityDisclaim& disclaim);

}  // namespace desktopshare
