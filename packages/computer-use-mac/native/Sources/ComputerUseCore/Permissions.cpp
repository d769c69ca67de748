#include "computeruse/Permissions.hpp"

namespace computeruse {

Permissions::Permissions(platform::Accessibility& accessibility, platform::Screenshots& screenshots)
    : accessibility_(accessibility), screenshots_(screenshots) {}

Permissions::Status Permissions::status() {
  return Status{accessibility_.isProcessTrusted(false), screenshots_.preflightAccess()};
}
bool Permissions::hasAccessibility(bool prompt) { return accessibility_.isProcessTrusted(prompt); }
bool Permissions::hasScreenRecording() { return screenshots_.preflightAccess(); }
void Permissions::promptForAccessibility() { (void)accessibility_.isProcessTrusted(true); }
void Permissions::promptForScreenRecording() { (void)screenshots_.requestAccess(); }

Permissions::Status Permissions::request() {
  promptForAccessibility();
  promptForScreenRecording();
  return status();
}

Json toJson(const Permissions::Status& s) {
  Json j = Json::object();
  j["accessibility"] = s.accessibility;
  j["screenRecording"] = s.screenRecording;
  return j;
}

Permissions::Status permissionsStatusFromJson(const Json& j) {
  auto get = [&](const char* key) {
    if (!j.is_object() || !j.contains(key) || !j.at(key).is_boolean())
      throw JsonDecodingError(std::string("missing or non-boolean key '") + key + "'");
    return j.at(key).get<bool>();
  };
  return Permissions::Status{get("accessibility"), get("screenRecording")};
}

}  // namespace computeruse
