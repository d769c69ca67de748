#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "FixedUserPaths.hpp"
#include "messages/MessagesSnapshot.hpp"
#include "platform/PlatformError.hpp"
#include "testsupport/ProcessRunner.hpp"
#include "testsupport/TempDir.hpp"

using namespace messages;
namespace fs = std::filesystem;
using testsupport::readFile;
using testsupport::writeFile;

namespace {

class SnapshotTest : public ::testing::Test {
 protected:
  testsupport::TempDir root;
  std::string home = root / "home";
  std::string tmp = root / "tmp";
  std::string messagesDir = home + "/Library/Messages";
  FixedUserPaths paths{home, tmp};
  MessagesSnapshot snapshot{paths};

  void SetUp() override {
    fs::create_directories(messagesDir + "/Attachments/ab");
    fs::create_directories(tmp);
  }
  std::vector<std::string> tmpEntries() const {
    std::vector<std::string> out;
    for (const auto& e : fs::directory_iterator(tmp)) out.push_back(e.path().filename());
    return out;
  }
  std::string attachmentError(const std::string& path) {
    try {
      snapshot.copyAttachment(path);
    } catch (const MessagesError& e) {
      return e.reason();
    }
    return "copied";
  }
};

// 8-4-4-4-12 upper-case hex digits, version 4, RFC 4122 variant.
bool isCanonicalUpperUuid(const std::string& s) {
  if (s.size() != 36) return false;
  for (std::size_t i = 0; i < s.size(); ++i) {
    const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash ? s[i] != '-' : !std::isxdigit(static_cast<unsigned char>(s[i])) || std::islower(s[i])) return false;
  }
  return s[14] == '4' && std::string("89AB").find(s[19]) != std::string::npos;
}

std::vector<std::string> sortedNames(const std::string& dir) {
  std::vector<std::string> out;
  for (const auto& e : fs::directory_iterator(dir)) out.push_back(e.path().filename());
  std::sort(out.begin(), out.end());
  return out;
}

}  // namespace

TEST_F(SnapshotTest, CopiesTheDatabaseSetByteForByteIntoAPrivateDirectory) {
  std::string db(3 << 20, '\0');
  for (std::size_t i = 0; i < db.size(); ++i) db[i] = static_cast<char>(i * 7 + i / 4096);
  writeFile(messagesDir + "/chat.db", db);
  writeFile(messagesDir + "/chat.db-wal", "wal");

  const auto first = snapshot.snapshot();
  const auto second = snapshot.snapshot();
  EXPECT_NE(first.dir, second.dir);
  EXPECT_EQ(fs::path(first.dir).parent_path(), tmp);
  EXPECT_TRUE(isCanonicalUpperUuid(fs::path(first.dir).filename().string())) << first.dir;
  struct stat st{};
  ASSERT_EQ(::stat(first.dir.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);
  EXPECT_EQ(sortedNames(first.dir), (std::vector<std::string>{"chat.db", "chat.db-wal"}));
  EXPECT_EQ(readFile(first.dir + "/chat.db"), db);
  EXPECT_EQ(readFile(first.dir + "/chat.db-wal"), "wal");
  EXPECT_EQ(first.version, "0.1.0");
}

TEST_F(SnapshotTest, MissingDatabaseCreatesNothing) {
  writeFile(messagesDir + "/chat.db-wal", "wal");
  try {
    snapshot.snapshot();
    FAIL();
  } catch (const MessagesError& e) {
    EXPECT_EQ(e.reason(), "chat_db_unreadable_at_" + messagesDir + "/chat.db");
  }
  EXPECT_TRUE(tmpEntries().empty());
}

TEST_F(SnapshotTest, CopyErrorIsReportedAndEarlierCopiesStay) {
  writeFile(messagesDir + "/chat.db", "db");
  fs::create_directories(messagesDir + "/chat.db-wal");  // reading it fails
  try {
    snapshot.snapshot();
    FAIL();
  } catch (const platform::PlatformError& e) {
    EXPECT_EQ(std::string(e.what()), "read " + messagesDir + "/chat.db-wal: Is a directory");
  }
  ASSERT_EQ(tmpEntries().size(), 1u);
  EXPECT_EQ(readFile(tmp + "/" + tmpEntries()[0] + "/chat.db"), "db");
}

TEST_F(SnapshotTest, PrivateDirectoryParentsAreCreatedOwnerOnly) {
  writeFile(messagesDir + "/chat.db", "db");
  const std::string nested = tmp + "/a/b";
  snapshot.copy(messagesDir, nested);
  struct stat st{};
  ASSERT_EQ(::stat((tmp + "/a").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_EQ(readFile(nested + "/chat.db"), "db");
  snapshot.copy(messagesDir, tmp + "/a");  // an existing directory is fine
}

TEST_F(SnapshotTest, AttachmentInsideIsCopiedUnderItsOwnName) {
  writeFile(messagesDir + "/Attachments/ab/pic one.jpg", "jpeg bytes");
  const auto r = snapshot.copyAttachment("~/Library/Messages/Attachments/ab/./../ab/pic one.jpg");
  EXPECT_EQ(fs::path(r.path).filename(), "pic one.jpg");
  EXPECT_EQ(fs::path(r.path).parent_path().parent_path(), tmp);
  EXPECT_EQ(readFile(r.path), "jpeg bytes");
}

TEST_F(SnapshotTest, AttachmentRefusalsCreateNothing) {
  fs::create_directories(home + "/Library/Messages2");
  writeFile(home + "/Library/Messages2/x", "x");
  writeFile(home + "/secret", "secret");
  writeFile(messagesDir + "/Attachments/inside.txt", "inside");
  fs::create_symlink(home + "/secret", messagesDir + "/Attachments/to-secret");
  fs::create_symlink(messagesDir + "/Attachments", messagesDir + "/linked-dir");
  fs::create_symlink(home, messagesDir + "/Attachments/to-home");
  ASSERT_EQ(::mkfifo((messagesDir + "/Attachments/fifo").c_str(), 0600), 0);

  struct Case {
    std::string path;
    std::string reason;
  };
  const std::vector<Case> cases = {
      {messagesDir + "/../Messages2/x", "attachment_outside_messages"},
      {home + "/Library/Messages2/x", "attachment_outside_messages"},
      {messagesDir, "attachment_outside_messages"},
      {messagesDir + "/", "attachment_outside_messages"},
      {"/etc/passwd", "attachment_outside_messages"},
      {messagesDir + "/Attachments", "attachment_not_a_file"},
      {messagesDir + "/Attachments/missing", "attachment_not_a_file"},
      {messagesDir + "/linked-dir", "attachment_not_a_file"},
      // The helper may read what its caller cannot: links must not lead it out of the folder.
      {messagesDir + "/Attachments/to-secret", "attachment_outside_messages"},
      {messagesDir + "/Attachments/to-home/secret", "attachment_outside_messages"},
      // A FIFO would block the copy forever.
      {messagesDir + "/Attachments/fifo", "attachment_not_a_file"},
  };
  for (const auto& c : cases) EXPECT_EQ(attachmentError(c.path), c.reason) << c.path;
  EXPECT_TRUE(tmpEntries().empty());

  // Links that stay inside the folder are copied by content.
  fs::create_symlink(messagesDir + "/Attachments/inside.txt", messagesDir + "/Attachments/ab/link");
  EXPECT_EQ(readFile(snapshot.copyAttachment(messagesDir + "/Attachments/ab/link").path), "inside");
}

TEST_F(SnapshotTest, RelativePathsAndTildesResolveLikeAShell) {
  EXPECT_EQ(snapshot.standardizedPath("~"), home);
  EXPECT_EQ(snapshot.standardizedPath("~/a//b/../c/."), home + "/a/c");
  EXPECT_EQ(snapshot.standardizedPath("~other/x"), "/home/other/x");
  EXPECT_EQ(snapshot.standardizedPath("~nobody-here/x"), fs::current_path().string() + "/~nobody-here/x");
  EXPECT_EQ(snapshot.standardizedPath("/../.."), "/");
}

TEST(CopyAttachmentArguments, ExactlyFromAndOneValue) {
  EXPECT_EQ(MessagesSnapshot::parseCopyAttachment({"--from", ""}), "");
  EXPECT_EQ(MessagesSnapshot::parseCopyAttachment({"--from", "--from"}), "--from");
  for (const auto& args : std::vector<std::vector<std::string>>{
           {}, {"--from"}, {"--from", "a", "b"}, {"--to", "a"}, {"a", "--from"}}) {
    EXPECT_THROW(MessagesSnapshot::parseCopyAttachment(args), MessagesError) << ::testing::PrintToString(args);
  }
}
