#include "messages/MessagesPermissions.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <memory>

namespace messages {

namespace {

constexpr auto kReadinessDeadline = std::chrono::seconds(5);
constexpr auto kReadinessPause = std::chrono::milliseconds(200);
constexpr auto kLaunchDeadline = std::chrono::seconds(5);
constexpr auto kLaunchSlice = std::chrono::milliseconds(200);

bool unreachable(std::int32_t status) { return status == -600 || status == -609; }

// Written once by the launch completion (possibly on another thread), polled by the waiter.
struct LaunchAnswer {
  enum : int { pending, failed, launched };
  std::atomic<int> value{pending};
};

}  // namespace

std::optional<ConsentRequest> parseConsentRequest(const std::vector<std::string>& arguments) {
  auto has = [&](const char* flag) { return std::find(arguments.begin(), arguments.end(), flag) != arguments.end(); };
  if (has("--prompt-full-disk-access")) return ConsentRequest::fullDiskAccess;
  if (has("--prompt")) return ConsentRequest::automation;
  return std::nullopt;
}

MessagesPermissions MessagesPermissionsCheck::check(std::optional<ConsentRequest> request) {
  bool paneOpened = false;
  if (request == ConsentRequest::fullDiskAccess) paneOpened = FullDiskAccessGuide::run(env_.guide);
  const AutomationProbeResult probe = automationProbe(request == ConsentRequest::automation);
  const bool fullDiskAccess = hasFullDiskAccess();  // after the guide, so a grant made there counts
  bool prompted = false;
  if (request == ConsentRequest::fullDiskAccess) prompted = paneOpened;
  if (request == ConsentRequest::automation) prompted = probe.ran;
  return MessagesPermissions::make(fullDiskAccess, probe.state, prompted);
}

AutomationProbeResult MessagesPermissionsCheck::automationProbe(bool prompt) {
  if (!ensureMessagesRunning()) return {AutomationState::notAsked, false};
  if (!env_.consent.canAddress(kMessagesBundleIdentifier)) return {AutomationState::notAsked, false};
  const std::int32_t status = awaitAppleEventsReady();
  logAutomationStatus(status);
  if (unreachable(status)) return {AutomationState::notAsked, false};
  const AutomationState state = automationStateFromStatus(status);
  if (!prompt) return {state, false};

  switch (state) {
    case AutomationState::granted:
      return {AutomationState::granted, true};
    case AutomationState::notAsked: {
      const std::int32_t answer = env_.consent.permissionStatus(kMessagesBundleIdentifier, true);
      logAutomationStatus(answer);
      return {automationStateFromStatus(answer), true};
    }
    case AutomationState::denied:
      // The platform will not ask again: the user has to change it in the Automation pane.
      if (!env_.guide.workspace.openURL(automationPaneURL)) {
        env_.diagnostic("check-messages-permissions: automation_pane_open_failed\n");
      }
      return {AutomationState::denied, true};
  }
  return {state, true};
}

std::int32_t MessagesPermissionsCheck::awaitAppleEventsReady() {
  support::Clock& clock = env_.guide.runLoop.clock();
  const auto deadline = clock.now() + kReadinessDeadline;
  std::int32_t status = env_.consent.permissionStatus(kMessagesBundleIdentifier, false);
  while (unreachable(status)) {
    if (clock.now() >= deadline) break;
    clock.sleepFor(kReadinessPause);
    status = env_.consent.permissionStatus(kMessagesBundleIdentifier, false);
  }
  return status;
}

bool MessagesPermissionsCheck::ensureMessagesRunning() {
  auto& workspace = env_.guide.workspace;
  const auto running = workspace.runningBundleIdentifiers();
  if (std::find(running.begin(), running.end(), kMessagesBundleIdentifier) != running.end()) return true;
  const auto path = workspace.applicationPath(kMessagesBundleIdentifier);
  if (!path) return false;

  auto answer = std::make_shared<LaunchAnswer>();
  workspace.openApplicationHidden(*path, [answer](bool launched) {
    int expected = LaunchAnswer::pending;
    answer->value.compare_exchange_strong(expected, launched ? LaunchAnswer::launched : LaunchAnswer::failed);
  });
  support::pumpRunLoopUntil(env_.guide.runLoop, kLaunchDeadline, kLaunchSlice,
                            [&] { return answer->value.load() != LaunchAnswer::pending; });
  return answer->value.load() == LaunchAnswer::launched;
}

void MessagesPermissionsCheck::logAutomationStatus(std::int32_t status) {
  env_.diagnostic("check-messages-permissions: automation_status " + std::to_string(status) + "\n");
}

bool MessagesPermissionsCheck::hasFullDiskAccess() {
  std::string probe;
  try {
    probe = env_.paths.homeDirectory() + "/Library/Messages";
  } catch (const std::exception&) {
    return false;  // no home directory: nothing to read
  }
  int fd = ::open(probe.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

}  // namespace messages
