#include "Environment.hpp"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace dovi {
namespace {

constexpr const char* kFixedEntries[] = {"OP_CACHE=false", "OP_BIOMETRIC_UNLOCK_ENABLED=true",
                                         "OP_LOAD_DESKTOP_APP_SETTINGS=false"};
constexpr std::size_t kExtraSlots = 4;  // three fixed entries and the terminator

}  // namespace

char** scrubbedEnvironment(char* const* environment) {
  std::size_t count = 0;
  if (environment != nullptr) {
    while (environment[count] != nullptr) ++count;
  }
  if (count > SIZE_MAX / sizeof(char*) - kExtraSlots) return nullptr;
  auto* scrubbed = static_cast<char**>(std::calloc(count + kExtraSlots, sizeof(char*)));
  if (scrubbed == nullptr) return nullptr;
  std::size_t kept = 0;
  for (std::size_t i = 0; i < count; ++i) {
    if (std::strncmp(environment[i], "OP_", 3) != 0) scrubbed[kept++] = environment[i];
  }
  for (const char* entry : kFixedEntries) scrubbed[kept++] = const_cast<char*>(entry);
  return scrubbed;
}

}  // namespace dovi
