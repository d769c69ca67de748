#include <gtest/gtest.h>

#include "messages/Messages.hpp"

using namespace messages;

namespace {
const std::string kVerbs =
    R"(["snapshot-messages-db","copy-attachment","send-message","check-messages-permissions"])";
}

TEST(MessagesJson, RecordsAreCompactSortedAndKeepSlashesAndUtf8) {
  EXPECT_EQ(Messages::version(), "0.1.0");  // no bundle information in tests
  EXPECT_EQ(Messages::json(MessagesSnapshotResult{Messages::version(), Messages::verbs(), "/tmp/A/B"}),
            R"({"dir":"/tmp/A/B","verbs":)" + kVerbs + R"(,"version":"0.1.0"})");
  EXPECT_EQ(Messages::json(MessagesAttachmentResult{"0.1.0", Messages::verbs(), "/t/caf\xC3\xA9 \"q\".jpg"}),
            R"({"path":"/t/caf)" "\xC3\xA9" R"( \"q\".jpg","verbs":)" + kVerbs + R"(,"version":"0.1.0"})");
  EXPECT_EQ(Messages::json(MessagesSendResult{"0.1.0", Messages::verbs(), "chat_id"}),
            R"({"verbs":)" + kVerbs + R"(,"version":"0.1.0","via":"chat_id"})");
  EXPECT_EQ(Messages::json(MessagesPermissions::make(true, AutomationState::notAsked, false)),
            R"({"automation":"notAsked","fullDiskAccess":true,"prompted":false,"verbs":)" + kVerbs +
                R"(,"version":"0.1.0"})");
}

TEST(MessagesJson, TextThatIsNotUtf8CannotBeEncoded) {
  try {
    Messages::json(MessagesAttachmentResult{"0.1.0", Messages::verbs(), "/tmp/\xFF"});
    FAIL() << "expected an error";
  } catch (const MessagesError& e) {
    EXPECT_STREQ(e.what(), "json_encoding_failed");
  }
}

TEST(MessagesPermissionsDecoding, NeedsEveryKeyWithItsType) {
  const auto full = nlohmann::json::parse(
      R"({"automation":"denied","fullDiskAccess":false,"prompted":true,"verbs":["a"],"version":"9"})");
  const auto p = MessagesPermissions::fromJson(full);
  EXPECT_EQ(p.automation, AutomationState::denied);
  EXPECT_TRUE(p.prompted);
  EXPECT_EQ(p.version, "9");

  for (const char* key : {"automation", "fullDiskAccess", "prompted", "verbs", "version"}) {
    auto missing = full;
    missing.erase(key);
    EXPECT_THROW(MessagesPermissions::fromJson(missing), MessagesError) << key;
  }
  auto wrongType = full;
  wrongType["prompted"] = "yes";
  EXPECT_THROW(MessagesPermissions::fromJson(wrongType), MessagesError);
  auto unknownState = full;
  unknownState["automation"] = "Granted";
  EXPECT_THROW(MessagesPermissions::fromJson(unknownState), MessagesError);
}

TEST(MessagesValues, RawValuesAndStatuses) {
  EXPECT_EQ(automationStateFromStatus(0), AutomationState::granted);
  EXPECT_EQ(automationStateFromStatus(-1744), AutomationState::notAsked);
  EXPECT_EQ(automationStateFromStatus(-1743), AutomationState::denied);
  EXPECT_EQ(automationStateFromStatus(-600), AutomationState::denied);
  EXPECT_EQ(automationStateFromRaw("notAsked"), AutomationState::notAsked);
  EXPECT_FALSE(automationStateFromRaw("notasked"));
  EXPECT_EQ(consentRequestFromRaw("fullDiskAccess"), ConsentRequest::fullDiskAccess);
  EXPECT_FALSE(consentRequestFromRaw("FullDiskAccess"));
  EXPECT_EQ(messagesVerbFromRaw("send-message"), MessagesVerb::sendMessage);
  EXPECT_FALSE(messagesVerbFromRaw("help"));
  EXPECT_STREQ(MessagesError("address_required").what(), "address_required");
}
