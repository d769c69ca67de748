#pragma once
#include <array>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/ApplicationSetup.hpp"

namespace messages {

// The Messages subcommands, in the order every result lists them.
enum class MessagesVerb { snapshotMessagesDb, copyAttachment, sendMessage, checkMessagesPermissions };

inline constexpr std::array<MessagesVerb, 4> allMessagesVerbs = {
    MessagesVerb::snapshotMessagesDb, MessagesVerb::copyAttachment, MessagesVerb::sendMessage,
    MessagesVerb::checkMessagesPermissions};

std::string_view rawValue(MessagesVerb verb);
std::optional<MessagesVerb> messagesVerbFromRaw(std::string_view raw);

// A condition the bridge detects itself; what() is exactly the reason.
class MessagesError : public std::runtime_error {
 public:
  explicit MessagesError(std::string reason) : std::runtime_error(reason), reason_(std::move(reason)) {}
  const std::string& reason() const noexcept { return reason_; }
  bool operator==(const MessagesError& o) const noexcept { return reason_ == o.reason_; }

 private:
  std::string reason_;
};

// Messages Automation (Apple Events) consent.
enum class AutomationState { granted, notAsked, denied };
std::string_view rawValue(AutomationState state);
std::optional<AutomationState> automationStateFromRaw(std::string_view raw);
// 0 -> granted, -1744 -> notAsked, anything else -> denied.
AutomationState automationStateFromStatus(std::int32_t status);

// What the permission check may ask the user for.
enum class ConsentRequest { automation, fullDiskAccess };
std::string_view rawValue(ConsentRequest request);
std::optional<ConsentRequest> consentRequestFromRaw(std::string_view raw);

// Where a message goes: a participant handle on a service, or an existing chat.
struct ParticipantAddress {
  std::string handle;
  std::string service;
  bool operator==(const ParticipantAddress&) const = default;
};
struct ChatAddress {
  std::string id;
  bool operator==(const ChatAddress&) const = default;
};
using SendAddress = std::variant<ParticipantAddress, ChatAddress>;

// Every result carries the helper's version and its verb list.
struct MessagesSnapshotResult {
  std::string version;
  std::vector<std::string> verbs;
  std::string dir;
};
struct MessagesAttachmentResult {
  std::string version;
  std::vector<std::string> verbs;
  std::string path;
};
struct MessagesSendResult {
  std::string version;
  std::vector<std::string> verbs;
  std::string via;  // "participant" or "chat_id"
};
struct MessagesPermissions {
  std::string version;
  std::vector<std::string> verbs;
  bool fullDiskAccess = false;
  AutomationState automation = AutomationState::notAsked;
  bool prompted = false;

  // Fills version and verbs itself.
  static MessagesPermissions make(bool fullDiskAccess, AutomationState automation, bool prompted);
  // Requires all five keys with their types; throws MessagesError("json_decoding_failed") otherwise.
  static MessagesPermissions fromJson(const nlohmann::json& j);
  bool operator==(const MessagesPermissions&) const = default;
};

void to_json(nlohmann::json& j, const MessagesSnapshotResult& r);
void to_json(nlohmann::json& j, const MessagesAttachmentResult& r);
void to_json(nlohmann::json& j, const MessagesSendResult& r);
void to_json(nlohmann::json& j, const MessagesPermissions& r);

namespace Messages {

// Where the version stamp comes from; set once at start, before the first result is built.
// Without it (or without the entry) the version is "0.1.0".
void useBundleInfo(const platform::BundleInfo* bundle);

const std::string& version();
const std::vector<std::string>& verbs();

// Compact JSON, keys sorted, slashes not escaped, non-ASCII written as UTF-8.
// Throws MessagesError("json_encoding_failed") when the text is not valid UTF-8.
std::string json(const nlohmann::json& value);

template <typename T>
std::string json(const T& value) {
  nlohmann::json j;
  to_json(j, value);
  return json(j);
}

}  // namespace Messages

}  // namespace messages
