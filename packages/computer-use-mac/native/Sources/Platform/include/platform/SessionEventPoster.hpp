#pragma once
#include <cstdint>
#include <string>
#include <variant>

namespace platform {

// One event of the login session's input stream. Key codes are macOS virtual key codes and
// flags are Core Graphics flag bits on every backend; a backend maps them onto its own keys.
struct SessionKeyEvent {
  std::uint16_t code = 0;
  bool down = false;
  bool isRepeat = false;
  std::uint64_t flags = 0;
  bool operator==(const SessionKeyEvent&) const = default;
};

// Text typed as one key press or release, whatever the keyboard layout (one Unicode scalar
// when it comes from a viewer's keysym).
struct SessionUnicodeEvent {
  std::string text;  // UTF-8
  bool down = false;
  bool isRepeat = false;
  std::uint64_t flags = 0;
  bool operator==(const SessionUnicodeEvent&) const = default;
};

struct SessionMouseEvent {
  std::int32_t type = 5;      // Core Graphics mouse event type (5 moved, 1/2 left down/up, ...)
  double x = 0, y = 0;        // global display coordinates
  std::int32_t button = 0;    // 0 left, 1 right, 2 centre
  std::int64_t clickState = 0;
  std::uint64_t flags = 0;
  bool operator==(const SessionMouseEvent&) const = default;
};

// Wheel steps in lines; positive vertical scrolls up, positive horizontal scrolls left.
struct SessionScrollEvent {
  std::int32_t vertical = 0;
  std::int32_t horizontal = 0;
  std::uint64_t flags = 0;
  bool operator==(const SessionScrollEvent&) const = default;
};

using SessionHidEvent = std::variant<SessionKeyEvent, SessionUnicodeEvent, SessionMouseEvent, SessionScrollEvent>;

// Posts events into the login session as if they came from the hardware. Never throws: an
// event the platform cannot create or deliver is dropped (a backend may count such drops).
// Must not call back into whoever posts.
class SessionEventPoster {
 public:
  virtual ~SessionEventPoster() = default;
  virtual void post(const SessionHidEvent& event) noexcept = 0;
};

}  // namespace platform
