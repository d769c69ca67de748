#include "platformlinux/HelperBackends.hpp"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <vector>

#include "platform/PlatformError.hpp"

namespace platformlinux {

namespace {

std::string withoutTrailingSlashes(std::string p) {
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  return p;
}

std::string passwordHome(uid_t uid) {
  std::vector<char> buf(16384);
  passwd pw{};
  passwd* found = nullptr;
  if (getpwuid_r(uid, &pw, buf.data(), buf.size(), &found) == 0 && found && found->pw_dir) {
    return found->pw_dir;
  }
  return {};
}

}  // namespace

bool LinuxApplicationSetup::setAccessoryActivationPolicy() {
  accessoryRequested_ = true;
  return true;
}

std::optional<std::string> LinuxBundleInfo::stringValue(const std::string& key) const {
  if (key == "CFBundleShortVersionString") return shortVersion_;
  return std::nullopt;
}

std::string LinuxUserPaths::homeDirectory() const {
  const char* home = std::getenv("HOME");
  if (home && home[0] == '/') return withoutTrailingSlashes(home);
  std::string fromDb = passwordHome(getuid());
  if (!fromDb.empty()) return withoutTrailingSlashes(fromDb);
  throw platform::PlatformError("home directory unknown: HOME is unset and the password database has no entry");
}

std::string LinuxUserPaths::temporaryDirectory() const {
  const char* tmp = std::getenv("TMPDIR");
  if (tmp && tmp[0] == '/') return withoutTrailingSlashes(tmp);

  // /tmp is shared by all users: use a folder of our own there, and refuse one that
  // someone else planted (wrong owner, a link, or open to others).
  const uid_t uid = getuid();
  const std::string dir = "/tmp/jexo-bot-helper-" + std::to_string(uid);
  if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
    throw platform::PlatformError::fromErrno("mkdir", dir, errno);
  }
  struct stat st{};
  if (::lstat(dir.c_str(), &st) != 0) throw platform::PlatformError::fromErrno("stat", dir, errno);
  if (!S_ISDIR(st.st_mode) || st.st_uid != uid || (st.st_mode & 077) != 0) {
    throw platform::PlatformError("temporary directory " + dir + " is not a private directory of this user");
  }
  return dir;
}

std::string LinuxUserPaths::homeDirectoryOf(const std::string& userName) const {
  std::vector<char> buf(16384);
  passwd pw{};
  passwd* found = nullptr;
  if (getpwnam_r(userName.c_str(), &pw, buf.data(), buf.size(), &found) == 0 && found && found->pw_dir) {
    return withoutTrailingSlashes(found->pw_dir);
  }
  return {};
}

std::optional<std::string> LinuxExecutableLocator::executablePath() const {
  std::vector<char> buf(PATH_MAX + 1);
  ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size() - 1);
  if (n <= 0 || static_cast<std::size_t>(n) >= buf.size() - 1) return std::nullopt;
  return std::string(buf.data(), static_cast<std::size_t>(n));
}

int LinuxResponsibilityDisclaim::setDisclaim(posix_spawnattr_t*, bool disclaim) {
  disclaimRequested_ = disclaim;
  return 0;
}

}  // namespace platformlinux
