#include "platformsim/SimMessagesDesktop.hpp"

namespace platformsim {

class SimPanel final : public platform::OverlayPanel {
 public:
  explicit SimPanel(SimMessagesDesktop& desktop) : desktop_(desktop) {}
  void setFrame(const platform::OverlayRect& frame) override { desktop_.record_.panelFrames.push_back(frame); }
  bool isVisible() const override { return desktop_.panelVisible_; }
  void orderFrontWithoutActivating() override {
    ++desktop_.record_.orderFrontCalls;
    desktop_.panelVisible_ = true;
  }
  void close() override {
    ++desktop_.record_.panelsClosed;
    desktop_.panelVisible_ = false;
  }

 private:
  SimMessagesDesktop& desktop_;
};

SimMessagesDesktop::~SimMessagesDesktop() = default;

bool SimMessagesDesktop::canAddress(const std::string&) { return scenario_.addressable; }

std::int32_t SimMessagesDesktop::permissionStatus(const std::string&, bool askUserIfNeeded) {
  record_.consentQueries.push_back(askUserIfNeeded);
  if (askUserIfNeeded) return scenario_.dialogAnswer;
  const std::int32_t status = scenario_.silentStatuses.empty() ? 0 : scenario_.silentStatuses.front();
  if (scenario_.silentStatuses.size() > 1) scenario_.silentStatuses.pop_front();
  return status;
}

std::vector<std::string> SimMessagesDesktop::runningBundleIdentifiers() {
  std::vector<std::string> ids = {"com.apple.finder"};
  if (scenario_.messagesRunning) ids.push_back("com.apple.MobileSMS");
  return ids;
}

std::optional<std::string> SimMessagesDesktop::applicationPath(const std::string& bundleIdentifier) {
  if (bundleIdentifier != "com.apple.MobileSMS") return std::nullopt;
  return scenario_.messagesPath;
}

void SimMessagesDesktop::openApplicationHidden(const std::string& path, std::function<void(bool)> completion) {
  record_.launches.push_back(path);
  if (!scenario_.launchAnswerAfter) return;  // never answers
  const bool ok = scenario_.launchSucceeds;
  if (scenario_.launchAnswersOnAnotherThread) {
    // Answered from another thread, but before the caller starts waiting, so that a fake
    // clock cannot run the whole wait before the answer lands.
    std::thread([completion, ok] { completion(ok); }).join();
    return;
  }
  runLoop_.post([completion, ok] { completion(ok); }, *scenario_.launchAnswerAfter);
}

bool SimMessagesDesktop::openURL(const std::string& url) {
  record_.openedURLs.push_back(url);
  return scenario_.urlsOpen;
}

std::optional<std::vector<platform::OnScreenWindow>> SimMessagesDesktop::onScreenWindows() {
  return scenario_.windowsAt(record_.windowListRequests++);
}

std::optional<std::string> SimMessagesDesktop::bundleIdentifierOfProcess(std::int32_t pid) {
  auto it = scenario_.bundleOfPid.find(pid);
  if (it == scenario_.bundleOfPid.end()) return std::nullopt;
  return it->second;
}

std::unique_ptr<platform::OverlayPanel> SimMessagesDesktop::makePanel(platform::OverlayContent content) {
  ++record_.panelsMade;
  record_.lastContent = std::move(content);
  return std::make_unique<SimPanel>(*this);
}

}  // namespace platformsim
