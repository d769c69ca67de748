#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "messages/FullDiskAccessGuide.hpp"
#include "messages/Messages.hpp"
#include "platform/MessagesAutomation.hpp"
#include "platform/UserPaths.hpp"
#include "support/RunLoop.hpp"

namespace messages {

// "--prompt-full-disk-access" anywhere wins over "--prompt" anywhere; otherwise nothing.
std::optional<ConsentRequest> parseConsentRequest(const std::vector<std::string>& arguments);

struct AutomationProbeResult {
  AutomationState state = AutomationState::notAsked;
  bool ran = false;  // a consent action (dialog, pane) was performed
  bool operator==(const AutomationProbeResult&) const = default;
};

// Reports Full Disk Access and Messages Automation consent and, on request, helps the user
// grant one of them. Never fails: every problem becomes a state.
class MessagesPermissionsCheck {
 public:
  static constexpr const char* kMessagesBundleIdentifier = "com.apple.MobileSMS";
  static constexpr const char* automationPaneURL =
      "x-apple.systempreferences:com.apple.settings.PrivacySecurity.extension?Privacy_Automation";

  struct Environment {
    platform::AppleEventConsent& consent;
    GuidePlatform& guide;  // workspace, windows, panels and the run loop
    const platform::UserPaths& paths;
    std::function<void(const std::string& line)> diagnostic;  // one write per line, with its "\n"
  };

  explicit MessagesPermissionsCheck(Environment env) : env_(std::move(env)) {}

  MessagesPermissions check(std::optional<ConsentRequest> request);

  AutomationProbeResult automationProbe(bool prompt);
  bool ensureMessagesRunning();
  std::int32_t awaitAppleEventsReady();
  void logAutomationStatus(std::int32_t status);
  bool hasFullDiskAccess();

 private:
  Environment env_;
};

}  // namespace messages
