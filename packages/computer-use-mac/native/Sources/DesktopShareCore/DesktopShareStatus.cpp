#include "desktopshare/DesktopShareStatus.hpp"

#include <nlohmann/json.hpp>

namespace desktopshare {

std::optional<DesktopShareMode> desktopShareMode(std::string_view rawValue) {
  if (rawValue == "view") return DesktopShareMode::view;
  if (rawValue == "view_and_control") return DesktopShareMode::viewAndControl;
  return std::nullopt;
}

std::string_view rawValue(DesktopShareMode mode) {
  return mode == DesktopShareMode::view ? "view" : "view_and_control";
}

DesktopShareStatus::DesktopShareStatus(DesktopShareMode mode, bool screenRecordingGranted, bool accessibilityGranted,
                                       const GuiSessionState& session, std::uint32_t processUid)
    : screenRecording(screenRecordingGranted),
      accessibility(accessibilityGranted),
      guiSession(session.hasGuiSession),
      consoleUidMatch(session.onConsole && session.consoleSessionUid && *session.consoleSessionUid == processUid),
      screenLocked(session.screenLocked) {
  ready = screenRecording && (mode == DesktopShareMode::view || accessibility) && guiSession && consoleUidMatch &&
          !screenLocked;
}

void to_json(nlohmann::ordered_json& j, const DesktopShareStatus& s) {
  j = nlohmann::ordered_json::object();
  j["screenRecording"] = s.screenRecording;
  j["accessibility"] = s.accessibility;
  j["guiSession"] = s.guiSession;
  j["consoleUidMatch"] = s.consoleUidMatch;
  j["screenLocked"] = s.screenLocked;
  j["ready"] = s.ready;
}

std::string encodeJson(const DesktopShareStatus& s) { return nlohmann::ordered_json(s).dump(); }

void from_json(const nlohmann::json& j, DesktopShareStatus& s) {
  j.at("screenRecording").get_to(s.screenRecording);
  j.at("accessibility").get_to(s.accessibility);
  j.at("guiSession").get_to(s.guiSession);
  j.at("consoleUidMatch").get_to(s.consoleUidMatch);
  j.at("screenLocked").get_to(s.screenLocked);
  j.at("ready").get_to(s.ready);
}

}  // namespace desktopshare
