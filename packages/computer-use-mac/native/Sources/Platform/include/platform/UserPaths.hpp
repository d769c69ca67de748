#pragma once
#include <string>

namespace platform {

// Where the current user's files live. Both answers are absolute paths without a trailing slash.
class UserPaths {
 public:
  virtual ~UserPaths() = default;
  virtual std::string homeDirectory() const = 0;
  // A temporary directory that belongs to this user alone; throws PlatformError when none can be had.
  virtual std::string temporaryDirectory() const = 0;
  // Home directory of another user, for "~name" expansion; empty when there is no such user.
  virtual std::string homeDirectoryOf(const std::string& userName) const = 0;
};

}  // namespace platform
