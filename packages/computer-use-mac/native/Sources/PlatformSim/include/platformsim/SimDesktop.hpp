#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/Accessibility.hpp"
#include "platform/Applications.hpp"
#include "platform/EventPosting.hpp"
#include "platform/Image.hpp"
#include "platform/Screenshots.hpp"
#include "platform/WindowList.hpp"
#include "platformsim/Scenario.hpp"

namespace platformsim {

// A deterministic desktop behind every computer-use platform facility. Asynchronous answers
// (launches, window lists, screenshots) are posted to the requesting thread's run loop after
// their delay. Every posted event and every performed action is recorded, in order.
// Used from one thread at a time, like the session that drives it.
class SimDesktop final : public platform::Accessibility,
                         public platform::Applications,
                         public platform::WindowList,
                         public platform::Screenshots,
                         public platform::EventPoster {
 public:
  explicit SimDesktop(Scenario scenario);
  ~SimDesktop() override;

  // Accessibility
  bool isProcessTrusted(bool prompt) override;
  platform::AXElementRef applicationElement(std::int32_t pid) override;
  platform::AXCopyResult copyAttributeValue(const platform::AXElementRef& element, std::string_view attribute) override;
  platform::AXError copyActionNames(const platform::AXElementRef& element, std::vector<std::string>& names) override;
  platform::AXError isAttributeSettable(const platform::AXElementRef& element, std::string_view attribute,
                                        bool& settable) override;
  platform::AXError performAction(const platform::AXElementRef& element, std::string_view action) override;
  platform::AXError setAttributeValue(const platform::AXElementRef& element, std::string_view attribute,
                                      const std::string& value) override;
  void readElementAttributes(const platform::AXElementRef& element, platform::AXElementAttributes& out) override;

  // Applications
  std::vector<platform::RunningApplication> runningApplications() override;
  std::optional<platform::RunningApplication> frontmostApplication() override;
  bool activate(std::int32_t pid, std::uint32_t options) override;
  std::optional<std::string> applicationPathForBundleIdentifier(const std::string& bundleIdentifier) override;
  std::optional<std::string> applicationPathToOpen(const std::string& path) override;
  void openApplication(const std::string& bundlePath, bool activates,
                       std::function<void(platform::LaunchResult)> completion) override;

  // WindowList
  void shareableContent(std::function<void(platform::ShareableContentResult)> completion) override;

  // Screenshots
  bool preflightAccess() override;
  bool requestAccess() override;
  void captureImage(const platform::CaptureFilter& filter, const platform::CaptureConfiguration& configuration,
                    std::function<void(platform::ScreenshotResult)> completion) override;

  // EventPoster
  std::unique_ptr<platform::PlatformEvent> create(const platform::InputEvent& event) override;
  void post(const platform::PlatformEvent& event, std::optional<std::int32_t> pid) override;

  // Inspection for tests and the event log.
  const std::vector<nlohmann::ordered_json>& records() const { return records_; }
  void setRecordObserver(std::function<void(const nlohmann::ordered_json&)> observer) { observer_ = std::move(observer); }
  std::shared_ptr<SimElement> findElement(const std::string& id) const;
  SimApplication* application(std::int32_t pid) const;
  Scenario& scenario() { return scenario_; }
  // Renders what a capture with this filter would show, without delay or permission checks.
  std::optional<platform::RgbaImage> render(const platform::CaptureFilter& filter, std::int32_t width,
                                            std::int32_t height) const;

 private:
  struct AppElement;
  void record(nlohmann::ordered_json entry);
  std::optional<platform::RunningApplication> running(const SimApplication& app) const;
  void press(SimElement& element);
  void applyPress(const SimElement& element);
  SimElement* hitTest(std::int32_t pid, double x, double y) const;
  SimElement* focusedTextElement(std::int32_t pid) const;
  bool failsToCreate(const platform::InputEvent& event) const;

  Scenario scenario_;
  std::vector<nlohmann::ordered_json> records_;
  std::function<void(const nlohmann::ordered_json&)> observer_;
  double pointerX_ = 0, pointerY_ = 0;
  // Answers still queued on a run loop when the desktop goes away must not touch it.
  std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

}  // namespace platformsim
