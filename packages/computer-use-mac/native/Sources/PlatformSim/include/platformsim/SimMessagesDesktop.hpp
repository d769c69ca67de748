#pragma once
#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/MessagesAutomation.hpp"
#include "platform/OverlayWindows.hpp"
#include "support/RunLoop.hpp"

namespace platformsim {

// A scripted Mac for the Messages permission check and the Full Disk Access guide. Answers
// come from the scenario; everything the code under test does is recorded.
struct SimMessagesScenario {
  bool messagesRunning = true;
  std::optional<std::string> messagesPath = "/System/Applications/Messages.app";
  // When the hidden launch answers (delivered through the run loop); nothing: never.
  std::optional<std::chrono::milliseconds> launchAnswerAfter = std::chrono::milliseconds(300);
  bool launchSucceeds = true;
  bool launchAnswersOnAnotherThread = false;
  bool addressable = true;
  // Successive answers of the silent consent query; the last one repeats.
  std::deque<std::int32_t> silentStatuses = {0};
  // Answer of the query that may ask the user.
  std::int32_t dialogAnswer = 0;
  bool urlsOpen = true;
  // The on-screen window list for the n-th request (n counts from 0); nothing: no list.
  std::function<std::optional<std::vector<platform::OnScreenWindow>>(int n)> windowsAt =
      [](int) { return std::vector<platform::OnScreenWindow>{}; };
  std::vector<platform::ScreenFrames> screens;
  std::map<std::int32_t, std::string> bundleOfPid;
};

class SimMessagesDesktop final : public platform::AppleEventConsent,
                                 public platform::MessagesWorkspace,
                                 public platform::WindowServer,
                                 public platform::OverlayPanelFactory {
 public:
  SimMessagesDesktop(SimMessagesScenario scenario, support::RunLoop& runLoop)
      : scenario_(std::move(scenario)), runLoop_(runLoop) {}
  ~SimMessagesDesktop() override;

  bool canAddress(const std::string& bundleIdentifier) override;
  std::int32_t permissionStatus(const std::string& bundleIdentifier, bool askUserIfNeeded) override;

  std::vector<std::string> runningBundleIdentifiers() override;
  std::optional<std::string> applicationPath(const std::string& bundleIdentifier) override;
  void openApplicationHidden(const std::string& path, std::function<void(bool)> completion) override;
  bool openURL(const std::string& url) override;

  std::optional<std::vector<platform::OnScreenWindow>> onScreenWindows() override;
  std::vector<platform::ScreenFrames> screens() override { return scenario_.screens; }
  std::optional<std::string> bundleIdentifierOfProcess(std::int32_t pid) override;

  std::unique_ptr<platform::OverlayPanel> makePanel(platform::OverlayContent content) override;

  // What happened.
  struct Record {
    std::vector<bool> consentQueries;  // askUserIfNeeded of each query, in order
    std::vector<std::string> launches;
    std::vector<std::string> openedURLs;
    std::vector<platform::OverlayRect> panelFrames;  // every frame set, in order
    int panelsMade = 0;
    int panelsClosed = 0;
    int orderFrontCalls = 0;
    int windowListRequests = 0;
    std::optional<platform::OverlayContent> lastContent;
  };
  const Record& record() const { return record_; }
  bool panelVisible() const { return panelVisible_; }

 private:
  friend class SimPanel;
  SimMessagesScenario scenario_;
  support::RunLoop& runLoop_;
  Record record_;
  bool panelVisible_ = false;
};

}  // namespace platformsim
