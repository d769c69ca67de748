#pragma once
#include <string>
#include <utility>
#include <vector>

#include "messages/Messages.hpp"

namespace messages {

// Sends one text through the Messages application by running a short AppleScript with the
// system's script runner. Only the text file's path, the handle or chat id and the service go
// into the script; the message text is read by the script itself.
class MessagesSend {
 public:
  static constexpr const char* kDefaultRunner = "/usr/bin/osascript";

  explicit MessagesSend(std::string runnerPath = kDefaultRunner) : runnerPath_(std::move(runnerPath)) {}

  static std::pair<SendAddress, std::string> parse(const std::vector<std::string>& arguments);
  static std::string sendScript(const SendAddress& address, const std::string& textFile);

  // Runs the script; throws PlatformError when the runner cannot be started and
  // MessagesError("osascript_exit_<status>") when it fails.
  MessagesSendResult run(const SendAddress& address, const std::string& textFile) const;

 private:
  std::string runnerPath_;
};

}  // namespace messages
