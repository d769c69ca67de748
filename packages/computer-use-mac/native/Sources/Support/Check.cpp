#include "support/Check.hpp"

#include <cstdio>
#include <cstdlib>

namespace support {

void checkFailed(const char* expression, const char* file, int line, const char* message) {
  std::fprintf(stderr, "precondition failed: %s (%s) at %s:%d\n", message, expression, file, line);
  std::fflush(stderr);
  std::abort();
}

}  // namespace support
