#include "platform/PlatformError.hpp"

#include <cstring>

namespace platform {

PlatformError PlatformError::fromErrno(const std::string& operation, const std::string& subject, int err) {
  return PlatformError(operation + " " + subject + ": " + std::strerror(err));
}

}  // namespace platform
