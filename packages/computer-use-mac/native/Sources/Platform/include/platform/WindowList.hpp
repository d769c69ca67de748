#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace platform {

struct ScreenRect {
  double x = 0, y = 0, width = 0, height = 0;
  bool operator==(const ScreenRect&) const = default;
};

// One window that can be captured, frame in screen points (top-left origin, y downwards).
struct ShareableWindow {
  std::uint32_t windowID = 0;
  std::optional<std::int32_t> owningPid;  // absent for windows of no application
  std::optional<std::string> title;
  ScreenRect frame;
  bool onScreen = false;
};

struct ShareableDisplay {
  std::uint32_t displayID = 0;
  double width = 0;   // points
  double height = 0;  // points
};

struct ShareableContent {
  std::vector<ShareableWindow> windows;   // in the platform's order
  std::vector<ShareableDisplay> displays; // the main display first
};

// Answer of a content request: the content, or the platform's error description.
struct ShareableContentResult {
  std::optional<ShareableContent> content;
  std::optional<std::string> errorDescription;
};

// The windows and displays that may be captured.
class WindowList {
 public:
  virtual ~WindowList() = default;
  // Asks for on-screen windows (desktop windows included) and displays. The completion is called
  // at most once, later (callers bound their wait).
  virtual void shareableContent(std::function<void(ShareableContentResult)> completion) = 0;
};

}  // namespace platform
