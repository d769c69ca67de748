#include "support/Fd.hpp"

#include <unistd.h>

namespace support {

void UniqueFd::reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

}  // namespace support
