#include "computeruse/ComputerUseSession.hpp"

namespace computeruse {

ComputerUseSession::ComputerUseSession(const PlatformServices& s, std::int64_t maxScreenshotDimension)
    : applications_(s.applications),
      clock_(s.clock),
      ax_(s.accessibility),
      apps_(s.applications, s.clock),
      capture_(s.windowList, s.screenshots),
      input_(s.events, s.clock),
      maxScreenshotDimension_(maxScreenshotDimension) {}

platform::RunningApplication ComputerUseSession::resolve(const std::string& app) {
  return apps_.activate(app, /*bringToFront=*/false);
}

bool ComputerUseSession::isFrontmost(std::int32_t pid) {
  auto front = applications_.frontmostApplication();
  return front && front->pid == pid;
}

std::vector<AppInfo> ComputerUseSession::listApps() { return apps_.listApps(); }

AppState ComputerUseSession::getAppState(const std::string& appName) {
  const auto app = resolve(appName);
  const auto pid = app.pid;
  clock_.sleepFor(support::seconds(kSettleSeconds));

  const auto keyNumber = ax_.keyWindowNumber(pid);
  auto windowNumber = capture_.resolveCaptureWindowID(pid, keyNumber);
  if (!windowNumber) windowNumber = keyNumber;

  auto tree = ax_.snapshotWindow(pid, windowNumber);
  auto shot = capture_.captureWindow(pid, windowNumber, maxScreenshotDimension_);

  if (shot) {
    lastSnapshot_ = SnapshotContext{pid,
                                    shot->sourceFrame,
                                    shot->scale,
                                    shot->screenshotWidth,
                                    shot->screenshotHeight,
                                    shot->isWindowCapture};
  } else {
    lastSnapshot_.reset();
  }

  AppInfo info(app.localizedName.value_or(appName), app.bundleIdentifier, pid, true, isFrontmost(pid));
  std::optional<std::vector<std::uint8_t>> png;
  double scale = 1.0;
  if (shot) {
    png = std::move(shot->png);
    scale = shot->scale;
  }
  return AppState(std::move(info), std::move(tree), std::move(png), scale);
}

Point ComputerUseSession::mapScreenshotPoint(double x, double y, std::int32_t pid) const {
  if (!lastSnapshot_) throw ComputerUseError(messages::kNoSnapshot);
  const auto& s = *lastSnapshot_;
  if (s.pid != pid) throw ComputerUseError(messages::kSnapshotOfOtherApp);
  if (!s.isWindowCapture) throw ComputerUseError(messages::kNeedsWindowScreenshot);
  if (!(s.screenshotScale > 0)) throw ComputerUseError(messages::kInvalidScale);
  const bool inside = x >= 0 && x <= static_cast<double>(s.screenshotWidth) && y >= 0 &&
                      y <= static_cast<double>(s.screenshotHeight);
  if (!inside) throw ComputerUseError(messages::outOfBounds(x, y, s.screenshotWidth, s.screenshotHeight));
  return {x / s.screenshotScale + s.windowFrame.x, y / s.screenshotScale + s.windowFrame.y};
}

void ComputerUseSession::click(const std::string& appName, const std::optional<std::string>& elementIndex,
                               std::optional<double> x, std::optional<double> y, std::int64_t clickCount,
                               InputSynthesizer::MouseButton button) {
  const auto pid = resolve(appName).pid;

  if (elementIndex && button == InputSynthesizer::MouseButton::left && clickCount == 1) {
    auto element = ax_.element(pid, *elementIndex);
    if (ax_.supportsAction(element, "AXPress")) {
      ax_.performAction(element, "AXPress");
      return;
    }
  }

  if (!isFrontmost(pid)) throw ComputerUseError(messages::kNotFrontmost);

  Point target;
  if (elementIndex) {
    auto element = ax_.element(pid, *elementIndex);
    auto c = ax_.center(element);
    if (!c) throw ComputerUseError(messages::elementHasNoFrame(*elementIndex));
    target = *c;
  } else {
    if (!x || !y) throw ComputerUseError(messages::kProvideIndexOrCoordinates);
    target = mapScreenshotPoint(*x, *y, pid);
  }
  input_.click(target, button, clickCount, pid);
}

void ComputerUseSession::drag(const std::string& appName, double fromX, double fromY, double toX, double toY) {
  const auto pid = resolve(appName).pid;
  const auto from = mapScreenshotPoint(fromX, fromY, pid);
  const auto to = mapScreenshotPoint(toX, toY, pid);
  input_.drag(from, to, InputSynthesizer::MouseButton::left, pid);
}

void ComputerUseSession::scroll(const std::string& appName, const std::string& elementIndex,
                                const std::string& direction, double pages) {
  const auto pid = resolve(appName).pid;
  auto element = ax_.element(pid, elementIndex);
  input_.scroll(direction, pages, ax_.center(element), pid);
}

void ComputerUseSession::typeText(const std::string& appName, const std::string& text) {
  const auto pid = resolve(appName).pid;
  input_.type(text, pid);
}

void ComputerUseSession::pressKey(const std::string& appName, const std::string& keys) {
  const auto pid = resolve(appName).pid;
  input_.pressKey(keys, pid);
}

void ComputerUseSession::setValue(const std::string& appName, const std::string& elementIndex,
                                  const std::string& value) {
  const auto pid = resolve(appName).pid;
  ax_.setValue(ax_.element(pid, elementIndex), value);
}

void ComputerUseSession::performSecondaryAction(const std::string& appName, const std::string& elementIndex,
                                                const std::string& action) {
  const auto pid = resolve(appName).pid;
  ax_.performAction(ax_.element(pid, elementIndex), action);
}

}  // namespace computeruse
