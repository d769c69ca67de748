#pragma once
#include <spawn.h>

#include <optional>
#include <string>

namespace platform {

// The path of the running program's executable.
class ExecutableLocator {
 public:
  virtual ~ExecutableLocator() = default;
  virtual std::optional<std::string> executablePath() const = 0;
};

// Asks the platform to make a spawned child responsible for its own privacy decisions.
class ResponsibilityDisclaim {
 public:
  virtual ~ResponsibilityDisclaim() = default;
  // Same contract as the system call it stands for: 0 on success.
  virtual int setDisclaim(posix_spawnattr_t* attributes, bool disclaim) = 0;
};

}  // namespace platform
