#include "Confinement.hpp"

#include "UniqueFd.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <linux/landlock.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>

namespace dovi {
namespace {

// Longest accepted data-directory path, in bytes (it must fit a 1024-byte buffer).
constexpr std::size_t kLongestAppDataPath = 1023;

struct DirCloser {
  void operator()(DIR* dir) const { ::closedir(dir); }
};

int createRuleset(const landlock_ruleset_attr* attr, std::size_t size, std::uint32_t flags) {
  return static_cast<int>(::syscall(SYS_landlock_create_ruleset, attr, size, flags));
}

// Rights granted beneath one sibling of the path to the denied directory.
struct Rights {
  std::uint64_t directory;
  std::uint64_t file;  // a rule on a non-directory may only carry file rights
};

// Allows `rights` beneath every entry of `parent` except `keep` (the next component towards
// the denied directory). Symbolic links get no rule: access through them is checked at
// their target.
bool allowSiblings(int ruleset, const std::string& parent, const std::string& keep, const Rights& rights) {
  const int dirFd = ::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd < 0) return false;
  const std::unique_ptr<DIR, DirCloser> dir(::fdopendir(dirFd));
  if (!dir) {
    ::close(dirFd);
    return false;
  }
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(dir.get());
    if (entry == nullptr) return errno == 0;
    const std::string_view name(entry->d_name);
    if (name == "." || name == ".." || name == keep) continue;
    const UniqueFd fd(::openat(::dirfd(dir.get()), entry->d_name, O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.valid()) {
      if (errno == ENOENT) continue;  // removed since it was listed
      return false;
    }
    struct stat status {};
    if (::fstat(fd.get(), &status) != 0) return false;
    if (S_ISLNK(status.st_mode)) continue;
    landlock_path_beneath_attr rule{};
    rule.allowed_access = S_ISDIR(status.st_mode) ? rights.directory : rights.file;
    rule.parent_fd = fd.get();
    if (::syscall(SYS_landlock_add_rule, ruleset, LANDLOCK_RULE_PATH_BENEATH, &rule, 0) != 0) return false;
  }
}

bool makeDirectory(const std::string& path) {
  return ::mkdir(path.c_str(), 0700) == 0 || errno == EEXIST;
}

}  // namespace

std::optional<std::string> prepareAppDataDirectory(const char* home) {
  if (home == nullptr || home[0] != '/') return std::nullopt;
  char resolvedHome[PATH_MAX];
  if (::realpath(home, resolvedHome) == nullptr) return std::nullopt;
  const std::string base = std::strcmp(resolvedHome, "/") == 0 ? std::string() : std::string(resolvedHome);
  const std::string config = base + "/.config";
  const std::string appData = config + "/1Password";
  if (appData.size() > kLongestAppDataPath) return std::nullopt;

  // Entries created later directly in a confined ancestor are unreadable, so op's own
  // configuration directory must exist before the rules are built.
  if (!makeDirectory(config) || !makeDirectory(config + "/op")) return std::nullopt;

  char resolved[PATH_MAX];
  if (::realpath(appData.c_str(), resolved) != nullptr) return std::string(resolved);
  if (errno != ENOENT) return std::nullopt;
  // Not there yet: deny it where it would appear, below the resolved configuration directory.
  if (::realpath(config.c_str(), resolved) == nullptr) return std::nullopt;
  const std::string parent(resolved);
  return (parent == "/" ? std::string() : parent) + "/1Password";
}

bool denyReadsBeneath(const std::string& deniedDirectory) {
  if (deniedDirectory.size() < 2 || deniedDirectory.front() != '/') return false;
  const int abi = createRuleset(nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
  if (abi < 1) return false;

  // Handling the refer right (ABI 2 on) lets renames across granted directories keep working;
  // without it the kernel refuses every such rename.
  Rights rights{LANDLOCK_ACCESS_FS_READ_FILE | LANDLOCK_ACCESS_FS_EXECUTE,
                LANDLOCK_ACCESS_FS_READ_FILE | LANDLOCK_ACCESS_FS_EXECUTE};
  if (abi >= 2) rights.directory |= LANDLOCK_ACCESS_FS_REFER;

  landlock_ruleset_attr attr{};
  attr.handled_access_fs = rights.directory;
  const UniqueFd ruleset(createRuleset(&attr, sizeof attr, 0));
  if (!ruleset.valid()) return false;

  // Walk from / down to the denied directory, allowing everything beside the path; the
  // ancestors themselves and the denied directory get no rule and so stay unreadable.
  std::string parent = "/";
  std::size_t start = 1;
  for (;;) {
    const std::size_t end = deniedDirectory.find('/', start);
    const std::string component = deniedDirectory.substr(start, end == std::string::npos ? end : end - start);
    if (component.empty() || !allowSiblings(ruleset.get(), parent, component, rights)) return false;
    if (end == std::string::npos) break;
    parent = deniedDirectory.substr(0, end);
    start = end + 1;
  }

  if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return false;
  return ::syscall(SYS_landlock_restrict_self, ruleset.get(), 0) == 0;
}

}  // namespace dovi
