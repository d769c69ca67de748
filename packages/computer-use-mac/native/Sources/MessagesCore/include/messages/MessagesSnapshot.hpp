#pragma once
#include <string>
#include <vector>

#include "messages/Messages.hpp"
#include "platform/UserPaths.hpp"

namespace messages {

// Private copies of the Messages database and of attachments. Copies go into a fresh
// directory (mode 0700) named by a new UUID under the user's temporary directory.
class MessagesSnapshot {
 public:
  explicit MessagesSnapshot(const platform::UserPaths& paths) : paths_(paths) {}

  // <home>/Library/Messages
  std::string messagesFolder() const;

  MessagesSnapshotResult snapshot() const;
  // Copies chat.db, chat.db-wal and chat.db-shm (those that exist) from `source` into
  // `destination`; returns `destination`.
  std::string copy(const std::string& source, const std::string& destination) const;

  // Exactly {"--from", value}; returns the value. Throws MessagesError("from_required").
  static std::string parseCopyAttachment(const std::vector<std::string>& arguments);

  MessagesAttachmentResult copyAttachment(const std::string& path) const;
  MessagesAttachmentResult copyAttachment(const std::string& path, const std::string& root) const;

  // Tilde-expanded, absolute, with "." and ".." removed lexically (links are not resolved).
  std::string standardizedPath(const std::string& path) const;

  static void createPrivateDirectory(const std::string& path);

 private:
  std::string newPrivateDirectoryPath() const;

  const platform::UserPaths& paths_;
};

}  // namespace messages
