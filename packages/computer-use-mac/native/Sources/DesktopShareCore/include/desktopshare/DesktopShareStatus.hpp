#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

#include "desktopshare/SessionGuard.hpp"

namespace desktopshare {

enum class DesktopShareMode { view, viewAndControl };

// "view", "view_and_control"; none for any other text.
std::optional<DesktopShareMode> desktopShareMode(std::string_view rawValue);
std::string_view rawValue(DesktopShareMode mode);

// Whether sharing in a mode can start now: the session state and the two permissions in one
// record. Viewing needs screen recording; control also needs accessibility.
struct DesktopShareStatus {
  bool screenRecording = false;
  bool accessibility = false;
  bool guiSession = false;
  bool consoleUidMatch = false;
  bool screenLocked = false;
  bool ready = false;

  DesktopShareStatus() = default;
  DesktopShareStatus(DesktopShareMode mode, bool screenRecording, bool accessibility, const GuiSessionState& session,
                     std::uint32_t processUid);
  bool operator==(const DesktopShareStatus&) const = default;
};

// Keys in field order (hence the ordered JSON type); decoding requires every key.
void to_json(nlohmann::ordered_json& j, const DesktopShareStatus& s);
void from_json(const nlohmann::json& j, DesktopShareStatus& s);
// The record as one compact JSON object, keys in field order.
std::string encodeJson(const DesktopShareStatus& s);

}  // namespace desktopshare
