#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

#include "desktopshare/InputSink.hpp"
#include "desktopshare/KeysymMap.hpp"
#include "desktopshare/SessionHidEvent.hpp"

namespace desktopshare {

// The input sink that lets viewers drive the session's own mouse and keyboard. A key or button
// held by several viewers is pressed once and released when the last lets go; modifier flags
// reflect modifiers held by any viewer; repeated clicks are counted; closing a session releases
// whatever it holds. One lock serialises every session, so all events reach the poster in one
// order.
class SessionInputArbiter final : public InputSink {
 public:
  struct Point {
    double x = 0, y = 0;
    bool operator==(const Point&) const = default;
  };
  struct Configuration {
    Point globalOrigin;              // global position of framebuffer pixel (0, 0)
    double doubleClickInterval = 0;  // seconds, press to next press
    double doubleClickSlop = 0;      // points per axis
  };
  using Clock = std::function<double()>;  // seconds

  // The poster must outlive every session opened here; it must not call back into the arbiter.
  SessionInputArbiter(SessionEventPoster& poster, Configuration configuration, Clock clock);
  SessionInputArbiter(const SessionInputArbiter&) = delete;
  SessionInputArbiter& operator=(const SessionInputArbiter&) = delete;

  std::unique_ptr<InputSession> open() override;

  // Key events whose keysym resolves to nothing; they are dropped.
  std::uint64_t unmappedKeysymCount() const;

 private:
  class Session;
  struct State;
  std::shared_ptr<State> state_;  // sessions share it, so it lives while any session does
};

}  // namespace desktopshare
