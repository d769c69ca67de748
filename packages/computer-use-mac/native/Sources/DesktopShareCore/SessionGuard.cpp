#include "desktopshare/SessionGuard.hpp"

namespace desktopshare {

std::optional<SessionGuardRefusal> sessionGuardRefusal(std::string_view rawValue) {
  if (rawValue == "no_gui_session") return SessionGuardRefusal::noGuiSession;
  if (rawValue == "session_not_owned") return SessionGuardRefusal::sessionNotOwned;
  if (rawValue == "session_locked") return SessionGuardRefusal::sessionLocked;
  return std::nullopt;
}

std::string_view rawValue(SessionGuardRefusal refusal) {
  switch (refusal) {
    case SessionGuardRefusal::noGuiSession: return "no_gui_session";
    case SessionGuardRefusal::sessionNotOwned: return "session_not_owned";
    case SessionGuardRefusal::sessionLocked: return "session_locked";
  }
  return "";
}

GuiSessionState SessionGuard::state(const std::optional<platform::SessionRecord>& record) {
  GuiSessionState s;
  if (!record) return s;
  s.hasGuiSession = true;
  if (record->userId && *record->userId >= 0 && *record->userId <= 0xFFFFFFFFLL)
    s.consoleSessionUid = static_cast<std::uint32_t>(*record->userId);
  s.onConsole = record->onConsole.value_or(false);
  s.screenLocked = record->screenLocked.value_or(false);
  return s;
}

GuiSessionState SessionGuard::currentState() { return state(reader_.currentSession()); }

std::optional<SessionGuardRefusal> SessionGuard::evaluate(const GuiSessionState& state, std::uint32_t processUid) {
  if (!state.hasGuiSession) return SessionGuardRefusal::noGuiSession;
  if (!state.consoleSessionUid || *state.consoleSessionUid != processUid) return SessionGuardRefusal::sessionNotOwned;
  if (!state.onConsole) return SessionGuardRefusal::sessionNotOwned;
  if (state.screenLocked) return SessionGuardRefusal::sessionLocked;
  return std::nullopt;
}

}  // namespace desktopshare
