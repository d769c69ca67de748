#pragma once
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>

namespace platform {

// Mouse event type numbers (those of Core Graphics, kept on every backend).
enum class MouseEventType : std::int32_t {
  leftMouseDown = 1,
  leftMouseUp = 2,
  rightMouseDown = 3,
  rightMouseUp = 4,
  mouseMoved = 5,
  leftMouseDragged = 6,
  rightMouseDragged = 7,
  otherMouseDown = 25,
  otherMouseUp = 26,
  otherMouseDragged = 27,
};

struct MouseEvent {
  MouseEventType type = MouseEventType::mouseMoved;
  double x = 0, y = 0;       // screen points
  std::int32_t button = 0;   // 0 left, 1 right, 2 middle
  std::int64_t clickState = 0;
  bool operator==(const MouseEvent&) const = default;
};

// Wheel deltas in lines; positive wheel1 scrolls up, positive wheel2 scrolls left.
struct ScrollEvent {
  std::int32_t wheel1 = 0, wheel2 = 0, wheel3 = 0;
  bool operator==(const ScrollEvent&) const = default;
};

// Modifier flag bits (Core Graphics values).
inline constexpr std::uint64_t kFlagShift = 0x20000;
inline constexpr std::uint64_t kFlagControl = 0x40000;
inline constexpr std::uint64_t kFlagOption = 0x80000;
inline constexpr std::uint64_t kFlagCommand = 0x100000;
inline constexpr std::uint64_t kFlagFunction = 0x800000;

struct KeyEvent {
  std::uint16_t keyCode = 0;  // virtual key code
  bool keyDown = true;
  std::uint64_t flags = 0;
  std::u16string text;  // characters the event types, independent of keyboard layout
  bool operator==(const KeyEvent&) const = default;
};

using InputEvent = std::variant<MouseEvent, ScrollEvent, KeyEvent>;

// A created, not yet posted platform event.
class PlatformEvent {
 public:
  virtual ~PlatformEvent() = default;
  virtual const InputEvent& description() const = 0;
};

// Creates synthetic input events and posts them to one process or system-wide.
class EventPoster {
 public:
  virtual ~EventPoster() = default;
  // Null when the platform cannot create the event.
  virtual std::unique_ptr<PlatformEvent> create(const InputEvent& event) = 0;
  // With a pid the event goes to that process alone, otherwise to the system as hardware input.
  virtual void post(const PlatformEvent& event, std::optional<std::int32_t> pid) = 0;
};

}  // namespace platform
