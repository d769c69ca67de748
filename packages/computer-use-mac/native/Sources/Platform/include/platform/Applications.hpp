#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace platform {

// Only "regular" applications (those a user sees in the Dock or a task bar) are offered to agents.
enum class ActivationPolicy { regular, accessory, prohibited };

// One running application as the platform reports it at the moment of the call.
struct RunningApplication {
  std::int32_t pid = 0;
  std::optional<std::string> bundleIdentifier;
  std::optional<std::string> localizedName;
  ActivationPolicy activationPolicy = ActivationPolicy::regular;
  bool operator==(const RunningApplication&) const = default;
};

// Activation option bit: bring every window of the application forward.
inline constexpr std::uint32_t kActivateAllWindows = 1;

// Answer of a launch request: the application, or the platform's description of the failure.
struct LaunchResult {
  std::optional<RunningApplication> application;
  std::optional<std::string> errorDescription;
};

// Running applications, activation, and finding and launching application bundles.
class Applications {
 public:
  virtual ~Applications() = default;

  // In the platform's order.
  virtual std::vector<RunningApplication> runningApplications() = 0;
  virtual std::optional<RunningApplication> frontmostApplication() = 0;
  // Asks the application to come forward; returns whether the request was accepted.
  virtual bool activate(std::int32_t pid, std::uint32_t options) = 0;

  // Location of the application bundle with this identifier, if installed.
  virtual std::optional<std::string> applicationPathForBundleIdentifier(const std::string& bundleIdentifier) = 0;
  // The application that would open the file at `path`, if any.
  virtual std::optional<std::string> applicationPathToOpen(const std::string& path) = 0;

  // Starts the application at `bundlePath`. The completion is called exactly once, later, on the
  // calling thread's run loop or on another thread; it may never be called when the platform
  // does not answer (callers bound their wait).
  virtual void openApplication(const std::string& bundlePath, bool activates,
                               std::function<void(LaunchResult)> completion) = 0;
};

}  // namespace platform
