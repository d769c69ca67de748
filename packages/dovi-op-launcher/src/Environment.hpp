#pragma once

namespace dovi {

// op's environment: every entry of `environment` (null-terminated, may be null) that does
// not begin with "OP_", in order, then the three fixed OP_ entries and a terminating null.
// The array comes from calloc and must be released with free(); the strings are borrowed.
// Null when it cannot be allocated.
char** scrubbedEnvironment(char* const* environment);

}  // namespace dovi
