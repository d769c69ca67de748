#pragma once
#include "platform/MessagesAutomation.hpp"
#include "platform/OverlayWindows.hpp"

namespace platformlinux {

// Linux has no Messages application and no Apple Event consent service: Messages is never
// running and cannot be found, so the permission check reports Automation as not asked.
class LinuxAppleEventConsent final : public platform::AppleEventConsent {
 public:
  bool canAddress(const std::string&) override { return false; }
  std::int32_t permissionStatus(const std::string&, bool) override { return -600; }
};

// No settings panes to open and no application bundles to launch.
class LinuxMessagesWorkspace final : public platform::MessagesWorkspace {
 public:
  std::vector<std::string> runningBundleIdentifiers() override { return {}; }
  std::optional<std::string> applicationPath(const std::string&) override { return std::nullopt; }
  void openApplicationHidden(const std::string&, std::function<void(bool)> completion) override { completion(false); }
  bool openURL(const std::string&) override { return false; }
};

// The guide never shows on Linux (its pane cannot be opened); these answer "nothing there".
class LinuxOverlayWindows final : public platform::WindowServer, public platform::OverlayPanelFactory {
 public:
  std::optional<std::vector<platform::OnScreenWindow>> onScreenWindows() override { return std::nullopt; }
  std::vector<platform::ScreenFrames> screens() override { return {}; }
  std::optional<std::string> bundleIdentifierOfProcess(std::int32_t) override { return std::nullopt; }
  std::unique_ptr<platform::OverlayPanel> makePanel(platform::OverlayContent) override;
};

}  // namespace platformlinux
