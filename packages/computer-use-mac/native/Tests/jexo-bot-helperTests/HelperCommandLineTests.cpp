// The helper as its callers run it: a subprocess with its own HOME and TMPDIR.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include <nlohmann/json.hpp>

#include "helper/Driver.hpp"
#include "testsupport/ProcessRunner.hpp"
#include "testsupport/TempDir.hpp"

namespace fs = std::filesystem;
using testsupport::ProcessResult;
using testsupport::ProcessSpec;
using testsupport::readFile;
using testsupport::writeFile;

namespace {

const std::string kUsage = std::string(helper::kUsageText) + "\n";

class HelperTest : public ::testing::Test {
 protected:
  testsupport::TempDir root;
  std::string home = root / "home";
  std::string tmp = root / "tmp";
  std::string messagesDir = home + "/Library/Messages";
  std::string record = root / "record";

  void SetUp() override {
    fs::create_directories(messagesDir + "/Attachments");
    fs::create_directories(tmp);
    fs::create_directories(record);
  }

  ProcessSpec spec(std::vector<std::string> args, bool fakeRunner = false) const {
    ProcessSpec s;
    s.argv = {fakeRunner ? testsupport::testBinPath("jexo-bot-helper-fake-osascript")
                         : testsupport::binPath("jexo-bot-helper")};
    s.argv.insert(s.argv.end(), args.begin(), args.end());
    s.env = {{"HOME", home}, {"TMPDIR", tmp}, {"FAKE_OSASCRIPT_RECORD", record}};
    return s;
  }
  ProcessResult run(std::vector<std::string> args, bool fakeRunner = false) const {
    return testsupport::runProcess(spec(std::move(args), fakeRunner));
  }
};

}  // namespace

TEST_F(HelperTest, UsageAndUnknownSubcommands) {
  ASSERT_EQ(std::string(helper::kUsageText).size(), 920u);
  for (const auto& args : std::vector<std::vector<std::string>>{{}, {"help"}, {"--help"}, {"-h"}, {"help", "x"}}) {
    auto r = run(args);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, kUsage);
    EXPECT_EQ(r.err, "");
  }
  for (const std::string word : {"HELP", "Help", "snapshot", ""}) {
    auto r = run({word});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.out, kUsage);
    EXPECT_EQ(r.err, "Unknown subcommand: " + word + "\n");
  }
}

TEST_F(HelperTest, FailuresAreOneStderrLineAndStatusTwo) {
  struct Case {
    std::vector<std::string> args;
    std::string err;
  };
  const std::vector<Case> cases = {
      {{"snapshot-messages-db"}, "snapshot-messages-db: chat_db_unreadable_at_" + messagesDir + "/chat.db\n"},
      {{"copy-attachment"}, "copy-attachment: from_required\n"},
      {{"copy-attachment", "--from"}, "copy-attachment: from_required\n"},
      {{"copy-attachment", "--from", "a", "b"}, "copy-attachment: from_required\n"},
      {{"copy-attachment", "--from", "/etc/passwd"}, "copy-attachment: attachment_outside_messages\n"},
      {{"copy-attachment", "--from", "~/Library/Messages/Attachments"}, "copy-attachment: attachment_not_a_file\n"},
      {{"send-message"}, "send-message: text_file_required\n"},
      {{"send-message", "--text-file"}, "send-message: --text-file_requires_a_value\n"},
      {{"send-message", "--verbose", "1"}, "send-message: unknown_flag_--verbose\n"},
      {{"send-message", "--text-file", "/t", "--to", "h", "--service", "imessage"}, "send-message: address_required\n"},
      // No script runner exists on Linux: the platform's launch error, unchanged.
      {{"send-message", "--text-file", "/t", "--chat-id", "c"},
       "send-message: launch /usr/bin/osascript: No such file or directory\n"},
      {{"spawn-disclaimed"}, "spawn-disclaimed: spawn_disclaimed_requires_double_dash_separator\n"},
      {{"spawn-disclaimed", "help"}, "spawn-disclaimed: spawn_disclaimed_requires_double_dash_separator\n"},
      {{"spawn-disclaimed", "--"}, "spawn-disclaimed: spawn_disclaimed_requires_child_arguments\n"},
  };
  for (const auto& c : cases) {
    auto r = run(c.args);
    EXPECT_EQ(r.exitCode, 2) << ::testing::PrintToString(c.args);
    EXPECT_EQ(r.out, "") << ::testing::PrintToString(c.args);
    EXPECT_EQ(r.err, c.err);
  }
  EXPECT_TRUE(fs::is_empty(tmp));
}

TEST_F(HelperTest, SnapshotAndAttachmentPrintOneJsonLine) {
  writeFile(messagesDir + "/chat.db", "db");
  writeFile(messagesDir + "/chat.db-shm", "shm");
  writeFile(messagesDir + "/Attachments/a.heic", "heic");

  auto r = run({"snapshot-messages-db", "ignored", "--extra"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  ASSERT_EQ(r.out.back(), '\n');
  ASSERT_EQ(r.out.find('\n'), r.out.size() - 1);
  const auto j = nlohmann::json::parse(r.out);
  const std::string dir = j.at("dir");
  EXPECT_EQ(r.out, R"({"dir":")" + dir +
                       R"(","verbs":["snapshot-messages-db","copy-attachment","send-message","check-messages-permissions"],"version":"0.1.0"})"
                       "\n");
  EXPECT_EQ(fs::path(dir).parent_path(), tmp);
  EXPECT_EQ(readFile(dir + "/chat.db-shm"), "shm");
  EXPECT_FALSE(fs::exists(dir + "/chat.db-wal"));

  auto a = run({"copy-attachment", "--from", "~/Library/Messages/Attachments/a.heic"});
  ASSERT_EQ(a.exitCode, 0) << a.err;
  const std::string path = nlohmann::json::parse(a.out).at("path");
  EXPECT_TRUE(path.ends_with("/a.heic"));
  EXPECT_EQ(readFile(path), "heic");
}

TEST_F(HelperTest, SendMessageHandsOnlyThePathToTheScriptRunner) {
  const std::string textFile = root / "message.txt";
  writeFile(textFile, "secret \"quoted\"\nsecond line");
  auto r = run({"send-message", "--to", "+15550001", "--service", "SMS", "--text-file", textFile}, true);
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, R"({"verbs":["snapshot-messages-db","copy-attachment","send-message","check-messages-permissions"],"version":"0.1.0","via":"participant"})"
                   "\n");
  const std::string script = readFile(record + "/script");
  EXPECT_NE(script.find("read POSIX file \"" + textFile + "\""), std::string::npos);
  EXPECT_EQ(script.find("secret"), std::string::npos);
  EXPECT_EQ(readFile(record + "/argv"), "2 -");
  // The runner inherits standard streams only: no descriptor of the helper leaks into it.
  EXPECT_EQ(readFile(record + "/fds"), "0\n1\n2\n");

  auto s = spec({"send-message", "--chat-id", "c", "--text-file", textFile}, true);
  s.env["FAKE_OSASCRIPT_EXIT"] = "3";
  auto failed = testsupport::runProcess(s);
  EXPECT_EQ(failed.exitCode, 2);
  EXPECT_EQ(failed.out, "");
  EXPECT_EQ(failed.err, "send-message: osascript_exit_3\n");
}

TEST_F(HelperTest, SpawnDisclaimedRunsTheHelperAgainAndMirrorsItsStatus) {
  auto help = run({"spawn-disclaimed", "--", "help"});
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_EQ(help.out, kUsage);

  auto failed = run({"spawn-disclaimed", "--", "copy-attachment"});
  EXPECT_EQ(failed.exitCode, 2);
  EXPECT_EQ(failed.err, "copy-attachment: from_required\n");

  // The child gets the caller's environment unchanged.
  auto s = spec({"spawn-disclaimed", "--", "send-message", "--chat-id", "c", "--text-file", "/t"}, true);
  s.env["JEXO_TEST_MARKER"] = "kept=1";
  auto sent = testsupport::runProcess(s);
  EXPECT_EQ(sent.exitCode, 0) << sent.err;
  EXPECT_NE(readFile(record + "/env").find("\nJEXO_TEST_MARKER=kept=1\n"), std::string::npos);
}

TEST_F(HelperTest, SigtermToTheSupervisorEndsTheChild) {
  auto s = spec({"spawn-disclaimed", "--", "send-message", "--chat-id", "c", "--text-file", "/t"}, true);
  s.env["FAKE_OSASCRIPT_SLEEP"] = "30";
  testsupport::RunningProcess p(s);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!fs::exists(record + "/script") && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_TRUE(fs::exists(record + "/script"));
  const auto sent = std::chrono::steady_clock::now();
  p.signal(SIGTERM);
  auto r = p.wait();
  EXPECT_EQ(r.termSignal, 0);
  EXPECT_EQ(r.exitCode, 143);  // the child died of the forwarded SIGTERM
  EXPECT_LT(std::chrono::steady_clock::now() - sent, std::chrono::seconds(5));
}

TEST_F(HelperTest, PermissionsCheckOnLinuxNeverFails) {
  // Linux has no Messages application or consent service: Automation is never asked, no pane
  // opens (so nothing was prompted), and Full Disk Access means "the Messages folder opens".
  const std::string tail =
      R"(,"prompted":false,"verbs":["snapshot-messages-db","copy-attachment","send-message","check-messages-permissions"],"version":"0.1.0"})"
      "\n";
  for (const auto& args : std::vector<std::vector<std::string>>{{"check-messages-permissions"},
                                                                 {"check-messages-permissions", "x", "--prompt"},
                                                                 {"check-messages-permissions", "--prompt-full-disk-access", "--prompt"}}) {
    auto r = run(args);
    EXPECT_EQ(r.exitCode, 0) << ::testing::PrintToString(args);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, R"({"automation":"notAsked","fullDiskAccess":true)" + tail);
  }
  fs::remove_all(messagesDir);
  auto r = run({"check-messages-permissions"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, R"({"automation":"notAsked","fullDiskAccess":false)" + tail);
}
