#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "computeruse/Accessibility.hpp"
#include "computeruse/AppManager.hpp"
#include "computeruse/InputSynthesizer.hpp"
#include "computeruse/Models.hpp"
#include "computeruse/ScreenCapture.hpp"
#include "platform/Accessibility.hpp"
#include "platform/Applications.hpp"
#include "platform/EventPosting.hpp"
#include "platform/Screenshots.hpp"
#include "platform/WindowList.hpp"
#include "support/Clock.hpp"

namespace computeruse {

// The platform facilities a session works through; they must outlive it.
struct PlatformServices {
  platform::Accessibility& accessibility;
  platform::Applications& applications;
  platform::WindowList& windowList;
  platform::Screenshots& screenshots;
  platform::EventPoster& events;
  support::Clock& clock;
};

// The agent-facing entry point: one instance per agent conversation, used from one thread at a
// time. Every failure is a ComputerUseError whose message tells the agent what to do next.
class ComputerUseSession {
 public:
  static constexpr std::int64_t kMaxScreenshotDimension = 1600;
  static constexpr double kSettleSeconds = 0.15;

  // `maxScreenshotDimension` bounds the longer side of screenshots in pixels.
  explicit ComputerUseSession(const PlatformServices& services,
                              std::int64_t maxScreenshotDimension = kMaxScreenshotDimension);

  std::vector<AppInfo> listApps();
  AppState getAppState(const std::string& app);
  void click(const std::string& app, const std::optional<std::string>& elementIndex, std::optional<double> x,
             std::optional<double> y, std::int64_t clickCount, InputSynthesizer::MouseButton button);
  void drag(const std::string& app, double fromX, double fromY, double toX, double toY);
  void scroll(const std::string& app, const std::string& elementIndex, const std::string& direction, double pages);
  void typeText(const std::string& app, const std::string& text);
  void pressKey(const std::string& app, const std::string& keys);
  void setValue(const std::string& app, const std::string& elementIndex, const std::string& value);
  void performSecondaryAction(const std::string& app, const std::string& elementIndex, const std::string& action);

  AccessibilityService& ax() { return ax_; }

 private:
  struct SnapshotContext {
    std::int32_t pid = 0;
    Rect windowFrame;
    double screenshotScale = 1.0;
    std::int64_t screenshotWidth = 0;
    std::int64_t screenshotHeight = 0;
    bool isWindowCapture = false;
  };

  platform::RunningApplication resolve(const std::string& app);
  Point mapScreenshotPoint(double x, double y, std::int32_t pid) const;
  bool isFrontmost(std::int32_t pid);

  platform::Applications& applications_;
  support::Clock& clock_;
  AccessibilityService ax_;
  AppManager apps_;
  ScreenCapture capture_;
  InputSynthesizer input_;
  std::optional<SnapshotContext> lastSnapshot_;
  std::int64_t maxScreenshotDimension_;
};

}  // namespace computeruse
