#pragma once
#include <stdexcept>
#include <string>

namespace platform {

// An error reported by the operating system (file copies, process launch, ...). It passes
// through the libraries unchanged; what() is the platform's own description.
class PlatformError : public std::runtime_error {
 public:
  explicit PlatformError(const std::string& description) : std::runtime_error(description) {}

  // "<operation> <subject>: <strerror(err)>", e.g. "open /x/chat.db-wal: Permission denied".
  static PlatformError fromErrno(const std::string& operation, const std::string& subject, int err);
};

}  // namespace platform
