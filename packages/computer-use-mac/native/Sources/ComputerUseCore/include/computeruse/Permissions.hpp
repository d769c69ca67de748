#pragma once
#include "computeruse/Models.hpp"
#include "platform/Accessibility.hpp"
#include "platform/Screenshots.hpp"

namespace computeruse {

// The two privacy permissions computer use needs: Accessibility and Screen Recording.
class Permissions {
 public:
  struct Status {
    bool accessibility = false;
    bool screenRecording = false;
    bool allGranted() const { return accessibility && screenRecording; }
    bool operator==(const Status&) const = default;
  };

  static constexpr const char* pendingMessage =
      "Computer Use permissions are still pending. The user has not finished granting Accessibility and Screen "
      "Recording permissions. Ask the user to grant them in System Settings > Privacy & Security, then call this "
      "tool again. Do not end your turn yet.";

  Permissions(platform::Accessibility& accessibility, platform::Screenshots& screenshots);

  Status status();  // never prompts
  bool hasAccessibility(bool prompt);
  bool hasScreenRecording();
  void promptForAccessibility();
  void promptForScreenRecording();
  Status request();  // prompts for both, then re-reads both without prompting

 private:
  platform::Accessibility& accessibility_;
  platform::Screenshots& screenshots_;
};

Json toJson(const Permissions::Status& status);
Permissions::Status permissionsStatusFromJson(const Json& json);

}  // namespace computeruse
