#pragma once
#include <cstdint>
#include <optional>

namespace platform {

// The window system's record of the current graphical login session. An entry the system
// does not report (or reports with another type) is none.
struct SessionRecord {
  std::optional<std::int64_t> userId;
  std::optional<bool> onConsole;
  std::optional<bool> screenLocked;
  bool operator==(const SessionRecord&) const = default;
};

class SessionStateReader {
 public:
  virtual ~SessionStateReader() = default;
  // None when the process sees no graphical session at all.
  virtual std::optional<SessionRecord> currentSession() = 0;
};

}  // namespace platform
