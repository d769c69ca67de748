#pragma once
// Programming-error preconditions: a violated one stops the process with a message
// instead of continuing into undefined behaviour. Callers validate input before calling.

namespace support {

[[noreturn]] void checkFailed(const char* expression, const char* file, int line, const char* message);

}  // namespace support

#define JEXO_CHECK(cond, message)                                                \
  do {                                                                           \
    if (!(cond)) [[unlikely]] ::support::checkFailed(#cond, __FILE__, __LINE__, message); \
  } while (0)
