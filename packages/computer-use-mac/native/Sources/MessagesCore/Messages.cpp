#include "messages/Messages.hpp"

#include <atomic>
#include <mutex>

namespace messages {

namespace {
std::atomic<const platform::BundleInfo*> gBundle{nullptr};
}

std::string_view rawValue(MessagesVerb verb) {
  switch (verb) {
    case MessagesVerb::snapshotMessagesDb: return "snapshot-messages-db";
    case MessagesVerb::copyAttachment: return "copy-attachment";
    case MessagesVerb::sendMessage: return "send-message";
    case MessagesVerb::checkMessagesPermissions: return "check-messages-permissions";
  }
  return {};
}

std::optional<MessagesVerb> messagesVerbFromRaw(std::string_view raw) {
  for (auto v : allMessagesVerbs) {
    if (rawValue(v) == raw) return v;
  }
  return std::nullopt;
}

std::string_view rawValue(AutomationState state) {
  switch (state) {
    case AutomationState::granted: return "granted";
    case AutomationState::notAsked: return "notAsked";
    case AutomationState::denied: return "denied";
  }
  return {};
}

std::optional<AutomationState> automationStateFromRaw(std::string_view raw) {
  for (auto s : {AutomationState::granted, AutomationState::notAsked, AutomationState::denied}) {
    if (rawValue(s) == raw) return s;
  }
  return std::nullopt;
}

AutomationState automationStateFromStatus(std::int32_t status) {
  if (status == 0) return AutomationState::granted;
  if (status == -1744) return AutomationState::notAsked;
  return AutomationState::denied;
}

std::string_view rawValue(ConsentRequest request) {
  return request == ConsentRequest::automation ? "automation" : "fullDiskAccess";
}

std::optional<ConsentRequest> consentRequestFromRaw(std::string_view raw) {
  if (raw == "automation") return ConsentRequest::automation;
  if (raw == "fullDiskAccess") return ConsentRequest::fullDiskAccess;
  return std::nullopt;
}

MessagesPermissions MessagesPermissions::make(bool fullDiskAccess, AutomationState automation, bool prompted) {
  return MessagesPermissions{Messages::version(), Messages::verbs(), fullDiskAccess, automation, prompted};
}

MessagesPermissions MessagesPermissions::fromJson(const nlohmann::json& j) {
  const auto fail = [] { return MessagesError("json_decoding_failed"); };
  if (!j.is_object()) throw fail();
  for (const char* key : {"version", "verbs", "fullDiskAccess", "automation", "prompted"}) {
    if (!j.contains(key)) throw fail();
  }
  const auto& version = j.at("version");
  const auto& verbs = j.at("verbs");
  const auto& fda = j.at("fullDiskAccess");
  const auto& automation = j.at("automation");
  const auto& prompted = j.at("prompted");
  if (!version.is_string() || !verbs.is_array() || !fda.is_boolean() || !automation.is_string() ||
      !prompted.is_boolean()) {
    throw fail();
  }
  MessagesPermissions p;
  p.version = version.get<std::string>();
  for (const auto& v : verbs) {
    if (!v.is_string()) throw fail();
    p.verbs.push_back(v.get<std::string>());
  }
  auto state = automationStateFromRaw(automation.get<std::string>());
  if (!state) throw fail();
  p.fullDiskAccess = fda.get<bool>();
  p.automation = *state;
  p.prompted = prompted.get<bool>();
  return p;
}

void to_json(nlohmann::json& j, const MessagesSnapshotResult& r) {
  j = {{"version", r.version}, {"verbs", r.verbs}, {"dir", r.dir}};
}
void to_json(nlohmann::json& j, const MessagesAttachmentResult& r) {
  j = {{"version", r.version}, {"verbs", r.verbs}, {"path", r.path}};
}
void to_json(nlohmann::json& j, const MessagesSendResult& r) {
  j = {{"version", r.version}, {"verbs", r.verbs}, {"via", r.via}};
}
void to_json(nlohmann::json& j, const MessagesPermissions& r) {
  j = {{"version", r.version},
       {"verbs", r.verbs},
       {"fullDiskAccess", r.fullDiskAccess},
       {"automation", std::string(rawValue(r.automation))},
       {"prompted", r.prompted}};
}

namespace Messages {

void useBundleInfo(const platform::BundleInfo* bundle) { gBundle.store(bundle); }

const std::string& version() {
  static const std::string value = [] {
    if (const auto* bundle = gBundle.load()) {
      if (auto v = bundle->stringValue("CFBundleShortVersionString")) return *v;
    }
    return std::string("0.1.0");
  }();
  return value;
}

const std::vector<std::string>& verbs() {
  static const std::vector<std::string> value = [] {
    std::vector<std::string> v;
    for (auto verb : allMessagesVerbs) v.emplace_back(rawValue(verb));
    return v;
  }();
  return value;
}

std::string json(const nlohmann::json& value) {
  // nlohmann's objects are ordered maps (sorted keys), its dump is compact and leaves '/'
  // alone; strict error handling rejects text that is not UTF-8.
  try {
    return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::strict);
  } catch (const nlohmann::json::type_error&) {
    throw MessagesError("json_encoding_failed");
  }
}

}  // namespace Messages

}  // namespace messages
