#include "messages/MessagesSnapshot.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>

#include "platform/PlatformError.hpp"
#include "support/Fd.hpp"
#include "support/Uuid.hpp"

namespace messages {

namespace {

using platform::PlatformError;
using support::UniqueFd;

constexpr std::array<const char*, 3> kDatabaseFiles = {"chat.db", "chat.db-wal", "chat.db-shm"};

std::string joinPath(const std::string& dir, const std::string& name) {
  if (!dir.empty() && dir.back() == '/') return dir + name;
  return dir + "/" + name;
}

std::string lastComponent(const std::string& path) {
  auto slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Lexical clean-up of an absolute path: no empty, "." or ".." components, no trailing slash.
std::string normalizeAbsolute(const std::string& path) {
  std::vector<std::string> parts;
  std::size_t i = 0;
  while (i <= path.size()) {
    std::size_t j = path.find('/', i);
    if (j == std::string::npos) j = path.size();
    std::string part = path.substr(i, j - i);
    if (part.empty() || part == ".") {
    } else if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else {
      parts.push_back(std::move(part));
    }
    i = j + 1;
  }
  std::string out;
  for (const auto& p : parts) out += "/" + p;
  return out.empty() ? "/" : out;
}

std::string currentDirectory() {
  std::vector<char> buf(PATH_MAX + 1);
  if (!::getcwd(buf.data(), buf.size())) throw PlatformError::fromErrno("getcwd", ".", errno);
  return buf.data();
}

// Copies everything readable from `in` into a new file `to` with the given mode. A short
// or failed copy is an error, never a silently truncated file.
void copyDescriptorToNewFile(int in, const std::string& from, const std::string& to, mode_t mode) {
  UniqueFd out(::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
  if (!out) throw PlatformError::fromErrno("create", to, errno);
  std::vector<char> buf(1 << 20);
  for (;;) {
    ssize_t n = ::read(in, buf.data(), buf.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      throw PlatformError::fromErrno("read", from, errno);
    }
    if (n == 0) break;
    std::size_t off = 0;
    while (off < static_cast<std::size_t>(n)) {
      ssize_t w = ::write(out.get(), buf.data() + off, static_cast<std::size_t>(n) - off);
      if (w < 0) {
        if (errno == EINTR) continue;
        throw PlatformError::fromErrno("write", to, errno);
      }
      off += static_cast<std::size_t>(w);
    }
  }
  if (::close(out.release()) != 0) throw PlatformError::fromErrno("close", to, errno);
}

void copyFile(const std::string& from, const std::string& to) {
  UniqueFd in(::open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
  if (!in) throw PlatformError::fromErrno("open", from, errno);
  struct stat st{};
  if (::fstat(in.get(), &st) != 0) throw PlatformError::fromErrno("stat", from, errno);
  copyDescriptorToNewFile(in.get(), from, to, (st.st_mode & 0777) | 0600);
}

}  // namespace

std::string MessagesSnapshot::messagesFolder() const { return joinPath(paths_.homeDirectory(), "Library/Messages"); }

std::string MessagesSnapshot::newPrivateDirectoryPath() const {
  return joinPath(paths_.temporaryDirectory(), support::newUuidString());
}

void MessagesSnapshot::createPrivateDirectory(const std::string& path) {
  // Like `mkdir -p -m 0700`: every missing component is created owner-only.
  std::string partial;
  std::size_t i = 1;
  while (i <= path.size()) {
    std::size_t j = path.find('/', i);
    if (j == std::string::npos) j = path.size();
    partial = path.substr(0, j);
    if (::mkdir(partial.c_str(), 0700) != 0) {
      int err = errno;
      struct stat st{};
      if (err != EEXIST || ::stat(partial.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        throw PlatformError::fromErrno("mkdir", partial, err == EEXIST ? ENOTDIR : err);
      }
    } else {
      ::chmod(partial.c_str(), 0700);  // the umask must not widen or narrow it
    }
    i = j + 1;
  }
}

std::string MessagesSnapshot::copy(const std::string& source, const std::string& destination) const {
  const std::string database = joinPath(source, "chat.db");
  if (::access(database.c_str(), R_OK) != 0) {
    throw MessagesError("chat_db_unreadable_at_" + database);
  }
  createPrivateDirectory(destination);
  for (const char* name : kDatabaseFiles) {
    const std::string from = joinPath(source, name);
    struct stat st{};
    if (::stat(from.c_str(), &st) != 0) continue;  // absent companions are skipped
    copyFile(from, joinPath(destination, name));
  }
  return destination;
}

MessagesSnapshotResult MessagesSnapshot::snapshot() const {
  std::string dir = copy(messagesFolder(), newPrivateDirectoryPath());
  return MessagesSnapshotResult{Messages::version(), Messages::verbs(), dir};
}

std::string MessagesSnapshot::parseCopyAttachment(const std::vector<std::string>& arguments) {
  if (arguments.size() != 2 || arguments[0] != "--from") throw MessagesError("from_required");
  return arguments[1];
}

std::string MessagesSnapshot::standardizedPath(const std::string& path) const {
  std::string expanded = path;
  if (!path.empty() && path[0] == '~') {
    auto slash = path.find('/');
    std::string user = path.substr(1, slash == std::string::npos ? std::string::npos : slash - 1);
    std::string home = user.empty() ? paths_.homeDirectory() : paths_.homeDirectoryOf(user);
    if (!home.empty()) expanded = home + (slash == std::string::npos ? "" : path.substr(slash));
  }
  if (expanded.empty() || expanded[0] != '/') expanded = joinPath(currentDirectory(), expanded);
  return normalizeAbsolute(expanded);
}

MessagesAttachmentResult MessagesSnapshot::copyAttachment(const std::string& path) const {
  return copyAttachment(path, messagesFolder());
}

MessagesAttachmentResult MessagesSnapshot::copyAttachment(const std::string& path, const std::string& root) const {
  const std::string file = standardizedPath(path);
  const std::string rootPath = standardizedPath(root);
  if (file.rfind(rootPath + "/", 0) != 0 || rootPath == "/") throw MessagesError("attachment_outside_messages");

  struct stat st{};
  if (::stat(file.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) throw MessagesError("attachment_not_a_file");

  // The helper may read what the caller cannot, so a link inside the Messages folder must not
  // lead it elsewhere: open first, then check where the opened file really lives, and copy
  // from that very descriptor. Non-regular files (FIFOs, devices) would block or never end.
  UniqueFd in(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (!in) throw PlatformError::fromErrno("open", file, errno);
  if (::fstat(in.get(), &st) != 0) throw PlatformError::fromErrno("stat", file, errno);
  if (!S_ISREG(st.st_mode)) throw MessagesError("attachment_not_a_file");

  std::vector<char> resolved(PATH_MAX + 1);
  const std::string fdLink = "/proc/self/fd/" + std::to_string(in.get());
  ssize_t n = ::readlink(fdLink.c_str(), resolved.data(), resolved.size() - 1);
  if (n <= 0 || static_cast<std::size_t>(n) >= resolved.size() - 1) {
    throw PlatformError::fromErrno("resolve", file, n < 0 ? errno : ENAMETOOLONG);
  }
  const std::string realFile(resolved.data(), static_cast<std::size_t>(n));
  char* realRootRaw = ::realpath(rootPath.c_str(), nullptr);
  if (!realRootRaw) throw MessagesError("attachment_outside_messages");
  const std::string realRoot(realRootRaw);
  std::free(realRootRaw);
  if (realFile.rfind(realRoot + "/", 0) != 0) throw MessagesError("attachment_outside_messages");

  int flags = ::fcntl(in.get(), F_GETFL);
  if (flags >= 0) ::fcntl(in.get(), F_SETFL, flags & ~O_NONBLOCK);

  const std::string dir = newPrivateDirectoryPath();
  createPrivateDirectory(dir);
  const std::string copyPath = joinPath(dir, lastComponent(file));
  copyDescriptorToNewFile(in.get(), file, copyPath, (st.st_mode & 0777) | 0600);
  return MessagesAttachmentResult{Messages::version(), Messages::verbs(), copyPath};
}

}  // namespace messages
