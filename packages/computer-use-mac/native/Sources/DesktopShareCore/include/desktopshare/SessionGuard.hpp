#pragma once
#include <cstdint>
#include <optional>
#include <string_view>

#include "platform/SessionState.hpp"

namespace desktopshare {

// What the window system says about the graphical login session this process runs in.
struct GuiSessionState {
  bool hasGuiSession = false;
  std::optional<std::uint32_t> consoleSessionUid;
  bool onConsole = false;
  bool screenLocked = false;
  bool operator==(const GuiSessionState&) const = default;
};

// Why sharing must not proceed now.
enum class SessionGuardRefusal { noGuiSession, sessionNotOwned, sessionLocked };

// "no_gui_session", "session_not_owned", "session_locked"; none for any other text.
std::optional<SessionGuardRefusal> sessionGuardRefusal(std::string_view rawValue);
std::string_view rawValue(SessionGuardRefusal refusal);

// Decides whether the desktop may be shared: only the unlocked console session of the
// process's own user may be. The platform's reader supplies the session record.
class SessionGuard {
 public:
  // The reader must outlive the guard.
  explicit SessionGuard(platform::SessionStateReader& reader) : reader_(reader) {}

  // No record: no GUI session. Entries the record lacks read as none / false.
  GuiSessionState currentState();
  static GuiSessionState state(const std::optional<platform::SessionRecord>& record);

  // None means allowed; the first matching rule wins, so another user's locked session is
  // sessionNotOwned.
  static std::optional<SessionGuardRefusal> evaluate(const GuiSessionState& state, std::uint32_t processUid);

  // evaluate(currentState(), processUid): the shape the RFB server's guard function takes.
  std::optional<SessionGuardRefusal> check(std::uint32_t processUid) { return evaluate(currentState(), processUid); }

 private:
  platform::SessionStateReader& reader_;
};

}  // namespace desktopshare
