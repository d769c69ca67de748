#include <gtest/gtest.h>
#include <sys/stat.h>

#include "messages/MessagesSend.hpp"
#include "platform/PlatformError.hpp"
#include "testsupport/ProcessRunner.hpp"
#include "testsupport/TempDir.hpp"

using namespace messages;

namespace {

std::string parseError(const std::vector<std::string>& args) {
  try {
    MessagesSend::parse(args);
  } catch (const MessagesError& e) {
    return e.reason();
  }
  return "";
}

}  // namespace

TEST(MessagesSendParse, Refusals) {
  struct Case {
    std::vector<std::string> args;
    std::string reason;
  };
  const std::vector<Case> cases = {
      {{}, "text_file_required"},
      {{"--text-file"}, "--text-file_requires_a_value"},
      {{"--bogus"}, "--bogus_requires_a_value"},
      {{"--verbose", "x", "--text-file"}, "unknown_flag_--verbose"},
      {{"--chat-id", "c"}, "text_file_required"},
      {{"--text-file", "/a\\b", "--to", "x"}, "text_file_required"},
      {{"--text-file", "/a\"b", "--chat-id", "c"}, "text_file_required"},
      {{"--text-file", "/t"}, "address_required"},
      {{"--text-file", "/t", "--to", "h"}, "address_required"},
      {{"--text-file", "/t", "--to", "h", "--service", "imessage"}, "address_required"},
      {{"--text-file", "/t", "--to", "h", "--service", "SMS", "--chat-id", "c"}, "address_required"},
      {{"--text-file", "/t", "--to", "h\"", "--service", "SMS"}, "address_required"},
      {{"--text-file", "/t", "--service", "SMS", "--chat-id", "c"}, "address_required"},
      {{"--text-file", "/t", "--chat-id", "c\\"}, "address_required"},
  };
  for (const auto& c : cases) EXPECT_EQ(parseError(c.args), c.reason) << ::testing::PrintToString(c.args);
}

TEST(MessagesSendParse, Addresses) {
  auto [participant, file] = MessagesSend::parse({"--to", "+15551234", "--service", "iMessage", "--text-file", "/a"});
  EXPECT_EQ(participant, SendAddress(ParticipantAddress{"+15551234", "iMessage"}));
  EXPECT_EQ(file, "/a");
  // Values may look like flags; a repeated flag takes the later value; empty values are kept.
  auto [chat, file2] = MessagesSend::parse({"--text-file", "/first", "--chat-id", "--to", "--text-file", ""});
  EXPECT_EQ(chat, SendAddress(ChatAddress{"--to"}));
  EXPECT_EQ(file2, "");
}

TEST(MessagesSendScript, ExactText) {
  EXPECT_EQ(MessagesSend::sendScript(ChatAddress{"iMessage;+;chat1"}, "/tmp/m.txt"),
            "set targetText to (read POSIX file \"/tmp/m.txt\" as \xC2\xAB" "class utf8\xC2\xBB)\n"
            "tell application \"Messages\"\n"
            "\tsend targetText to chat id \"iMessage;+;chat1\"\n"
            "end tell");
  EXPECT_EQ(MessagesSend::sendScript(ParticipantAddress{"a@b.c", "SMS"}, "/m"),
            "set targetText to (read POSIX file \"/m\" as \xC2\xAB" "class utf8\xC2\xBB)\n"
            "tell application \"Messages\"\n"
            "\tset targetService to 1st service whose service type is SMS\n"
            "\tsend targetText to participant \"a@b.c\" of targetService\n"
            "end tell");
}

TEST(MessagesSendRun, RunnerGetsScriptOnStdinAndItsStatusDecides) {
  testsupport::TempDir dir;
  const std::string runner = dir / "runner";
  testsupport::writeFile(runner, "#!/bin/sh\nprintf '%s' \"$*\" > \"$0.args\"\ncat > \"$0.script\"\nexit \"${RUNNER_EXIT:-0}\"\n");
  ::chmod(runner.c_str(), 0755);

  const MessagesSend send(runner);
  const SendAddress chat = ChatAddress{"c1"};
  const auto result = send.run(chat, "/tmp/text");
  EXPECT_EQ(result.via, "chat_id");
  EXPECT_EQ(testsupport::readFile(runner + ".args"), "-");
  EXPECT_EQ(testsupport::readFile(runner + ".script"), MessagesSend::sendScript(chat, "/tmp/text"));
  EXPECT_EQ(send.run(ParticipantAddress{"h", "SMS"}, "/t").via, "participant");

  ::setenv("RUNNER_EXIT", "7", 1);
  try {
    send.run(chat, "/t");
    ADD_FAILURE() << "expected osascript_exit_7";
  } catch (const MessagesError& e) {
    EXPECT_STREQ(e.what(), "osascript_exit_7");
  }
  ::unsetenv("RUNNER_EXIT");
}

TEST(MessagesSendRun, MissingRunnerIsThePlatformsLaunchError) {
  try {
    MessagesSend("/nonexistent/osascript").run(ChatAddress{"c"}, "/t");
    FAIL() << "expected a launch error";
  } catch (const platform::PlatformError& e) {
    EXPECT_STREQ(e.what(), "launch /nonexistent/osascript: No such file or directory");
  }
}

TEST(MessagesSendRun, RunnerThatQuitsWithoutReadingIsAFailureNotACrash) {
  // /bin/true exits 0 without reading; a script larger than the pipe cannot reach it. That
  // must neither kill the helper (SIGPIPE) nor be reported as a sent message.
  const std::string hugePath(1 << 20, 'x');
  try {
    MessagesSend("/bin/true").run(ChatAddress{"c"}, hugePath);
    FAIL() << "expected the write error";
  } catch (const platform::PlatformError& e) {
    EXPECT_STREQ(e.what(), "write script pipe: Broken pipe");
  }
}
