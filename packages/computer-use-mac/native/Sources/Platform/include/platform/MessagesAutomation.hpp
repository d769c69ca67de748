#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace platform {

// Consent to control another application with Apple Events.
class AppleEventConsent {
 public:
  virtual ~AppleEventConsent() = default;
  // Whether an event target can be made for the application at all.
  virtual bool canAddress(const std::string& bundleIdentifier) = 0;
  // The permission status for any event to the application: 0 granted, -1744 consent would be
  // required, -600/-609 not reachable, anything else a denial. With `askUserIfNeeded` the
  // platform may show its consent dialog and answer after the user has.
  virtual std::int32_t permissionStatus(const std::string& bundleIdentifier, bool askUserIfNeeded) = 0;
};

// Running, finding and opening applications and settings panes, for the Messages bridge.
class MessagesWorkspace {
 public:
  virtual ~MessagesWorkspace() = default;
  virtual std::vector<std::string> runningBundleIdentifiers() = 0;
  virtual std::optional<std::string> applicationPath(const std::string& bundleIdentifier) = 0;
  // Opens the application hidden, without activating it or adding it to recent items. The
  // completion reports whether an application came up; it may arrive on another thread or
  // never.
  virtual void openApplicationHidden(const std::string& path, std::function<void(bool launched)> completion) = 0;
  // Opens a URL (settings panes); false when nothing could open it.
  virtual bool openURL(const std::string& url) = 0;
};

}  // namespace platform
