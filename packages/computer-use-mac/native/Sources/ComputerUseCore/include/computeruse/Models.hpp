#pragma once
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/WindowList.hpp"

namespace computeruse {

// JSON forms keep the keys in field order, hence the ordered variant.
using Json = nlohmann::ordered_json;

struct Point {
  double x = 0, y = 0;
  bool operator==(const Point&) const = default;
};

// Screen points, top-left origin, y downwards. Negative sizes are kept as given.
struct Rect {
  double x = 0, y = 0, width = 0, height = 0;

  Rect() = default;
  Rect(double x, double y, double width, double height) : x(x), y(y), width(width), height(height) {}
  explicit Rect(const platform::ScreenRect& r) : x(r.x), y(r.y), width(r.width), height(r.height) {}

  Point center() const { return {x + width * 0.5, y + height * 0.5}; }
  bool operator==(const Rect&) const = default;
};

struct AppInfo {
  std::string name;
  std::optional<std::string> bundleIdentifier;
  std::optional<std::int32_t> pid;
  bool isRunning = true;
  bool isActive = false;

  AppInfo() = default;
  AppInfo(std::string name, std::optional<std::string> bundleIdentifier, std::optional<std::int32_t> pid,
          bool isRunning, bool isActive)
      : name(std::move(name)), bundleIdentifier(std::move(bundleIdentifier)), pid(pid), isRunning(isRunning),
        isActive(isActive) {}
  bool operator==(const AppInfo&) const = default;
};

struct AXNode {
  std::string index;
  std::string role;
  std::optional<std::string> subrole;
  std::optional<std::string> title;
  std::optional<std::string> value;
  std::optional<std::string> description;
  std::optional<bool> enabled;
  std::optional<bool> focused;
  std::optional<bool> settable;
  std::optional<std::vector<std::string>> actions;
  std::optional<Rect> frame;
  std::optional<std::vector<AXNode>> children;

  AXNode() = default;
  AXNode(std::string index, std::string role) : index(std::move(index)), role(std::move(role)) {}
  bool operator==(const AXNode&) const = default;
};

struct AppState {
  AppInfo app;
  std::optional<AXNode> window;
  std::optional<std::vector<std::uint8_t>> screenshotPNG;
  double screenshotScale = 1.0;

  AppState() = default;
  AppState(AppInfo app, std::optional<AXNode> window, std::optional<std::vector<std::uint8_t>> screenshotPNG,
           double screenshotScale)
      : app(std::move(app)), window(std::move(window)), screenshotPNG(std::move(screenshotPNG)),
        screenshotScale(screenshotScale) {}
};

// The library's only error; what() is the message, shown to the agent unchanged.
class ComputerUseError : public std::runtime_error {
 public:
  explicit ComputerUseError(const std::string& message) : std::runtime_error(message) {}
  std::string message() const { return what(); }
};

// Raised when a JSON form lacks a required key or has a key of the wrong type.
class JsonDecodingError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

Json toJson(const Rect& rect);
Json toJson(const AppInfo& app);
Json toJson(const AXNode& node);
Json toJson(const std::vector<AppInfo>& apps);
Rect rectFromJson(const Json& json);
AppInfo appInfoFromJson(const Json& json);
AXNode axNodeFromJson(const Json& json);

// A coordinate as the shortest text that reads back to the same value, ".0" on whole numbers.
std::string formatCoordinate(double value);

// The message catalogue.
namespace messages {
std::string unknownElementIndex(const std::string& index);
std::string actionFailed(const std::string& action, std::int32_t status);
std::string setValueFailed(std::int32_t status);
inline constexpr const char* kMouseMoveEventFailed = "Failed to create mouse move event.";
inline constexpr const char* kMouseEventFailed = "Failed to create mouse event.";
inline constexpr const char* kScrollEventFailed = "Failed to create scroll event.";
inline constexpr const char* kKeyboardEventFailed = "Failed to create keyboard event.";
inline constexpr const char* kEmptyKeyCombination = "Empty key combination.";
std::string unknownModifier(const std::string& modifier);
std::string unknownKey(const std::string& key);
inline constexpr const char* kKeyEventFailed = "Failed to create key event.";
std::string appNotFound(const std::string& query);
std::string launchFailed(const std::string& query, const std::string& description);
std::string launchFailed(const std::string& query);
inline constexpr const char* kNotFrontmost =
    "Synthetic mouse clicks require the app to be frontmost. Use a single left click with element_index when the "
    "element supports AXPress, or bring the app to the foreground first.";
std::string elementHasNoFrame(const std::string& index);
inline constexpr const char* kProvideIndexOrCoordinates = "Provide either element_index or x and y coordinates.";
inline constexpr const char* kNoSnapshot = "Call get_app_state before using x/y coordinates.";
inline constexpr const char* kSnapshotOfOtherApp =
    "Screenshot coordinates are from a different app; call get_app_state for this app first.";
inline constexpr const char* kNeedsWindowScreenshot =
    "Coordinate clicks require a window screenshot; call get_app_state again with a visible app window.";
inline constexpr const char* kInvalidScale = "Invalid screenshot scale from the last get_app_state call.";
std::string outOfBounds(double x, double y, std::int64_t width, std::int64_t height);
}  // namespace messages

}  // namespace computeruse
