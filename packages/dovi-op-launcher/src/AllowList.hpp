#pragma once

#include <string_view>

namespace dovi {

bool isSafeText(std::string_view value);
bool isSafeIdentifier(std::string_view value);
bool isReadItemsScope(std::string_view value);
bool isAllowedExpiration(std::string_view value);

// argv as the launcher received it: argv[0] is the launcher, argv[1] the op path.
bool isAllowedInvocation(int argc, const char* const* argv);

}  // namespace dovi
