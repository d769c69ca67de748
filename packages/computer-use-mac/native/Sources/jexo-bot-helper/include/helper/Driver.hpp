#pragma once
#include <string>
#include <vector>

namespace helper {

struct DriverOptions {
  // The script runner used by send-message.
  std::string osascriptPath = "/usr/bin/osascript";
};

// The whole command line of the helper: dispatches argv[1...], prints the result and returns
// the exit status (0 success, 2 failure, or a relaunched child's mirrored status).
int runHelper(int argc, char** argv, const DriverOptions& options = {});

// The usage text, without a final line feed.
extern const char* const kUsageText;

}  // namespace helper
