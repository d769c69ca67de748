#pragma once
#include <optional>
#include <string>
#include <vector>

#include "computeruse/Models.hpp"
#include "platform/Applications.hpp"
#include "support/Clock.hpp"

namespace computeruse {

// Lists the applications a user can see and resolves a loose name (bundle identifier, name,
// part of a name, bundle file name or path) to one running application, launching it if needed.
class AppManager {
 public:
  static constexpr double kLaunchTimeoutSeconds = 10.0;
  static constexpr double kSettleSeconds = 0.6;

  AppManager(platform::Applications& applications, support::Clock& clock);

  std::vector<AppInfo> listApps();
  std::optional<platform::RunningApplication> runningApp(const std::string& query);
  platform::RunningApplication activate(const std::string& query, bool bringToFront);

 private:
  std::vector<platform::RunningApplication> candidates();

  platform::Applications& applications_;
  support::Clock& clock_;
};

// The last component of a file-system path (trailing slashes ignored; "/" for the root).
std::string lastPathComponent(const std::string& path);

}  // namespace computeruse
