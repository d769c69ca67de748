#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform {

// A rectangle in screen points. Which corner is the origin is said where it is used.
struct OverlayRect {
  double x = 0, y = 0, width = 0, height = 0;
  double maxX() const { return x + width; }
  double maxY() const { return y + height; }
  bool operator==(const OverlayRect&) const = default;
};

// One entry of the on-screen window list (desktop elements excluded), bounds with a top-left
// origin as the window list reports them.
struct OnScreenWindow {
  std::int64_t layer = 0;
  std::optional<std::int32_t> ownerPid;
  std::optional<OverlayRect> bounds;  // absent when the entry's bounds cannot be read
};

// A screen's frame and its visible frame (without menu bar and dock), bottom-left origin.
struct ScreenFrames {
  OverlayRect frame;
  OverlayRect visibleFrame;
};

class WindowServer {
 public:
  virtual ~WindowServer() = default;
  // In front-to-back order; nothing when the list cannot be had.
  virtual std::optional<std::vector<OnScreenWindow>> onScreenWindows() = 0;
  // The main screen first.
  virtual std::vector<ScreenFrames> screens() = 0;
  virtual std::optional<std::string> bundleIdentifierOfProcess(std::int32_t pid) = 0;
};

// What the floating guide panel shows and how it reports back.
struct OverlayContent {
  std::string applicationPath;
  std::string displayName;
  std::string instruction;
  std::function<void()> onClose;
  std::function<void(int dragOperation)> onDrop;  // 1 = copy, 0 = none
};

// A floating, non-activating panel above other windows.
class OverlayPanel {
 public:
  virtual ~OverlayPanel() = default;
  virtual void setFrame(const OverlayRect& frame) = 0;  // bottom-left origin
  virtual bool isVisible() const = 0;
  virtual void orderFrontWithoutActivating() = 0;
  virtual void close() = 0;
};

class OverlayPanelFactory {
 public:
  virtual ~OverlayPanelFactory() = default;
  virtual std::unique_ptr<OverlayPanel> makePanel(OverlayContent content) = 0;
};

}  // namespace platform
