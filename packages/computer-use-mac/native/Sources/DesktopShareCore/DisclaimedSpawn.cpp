#include "desktopshare/DisclaimedSpawn.hpp"

#include <signal.h>
#include <spawn.h>

#include <cerrno>
#include <cstring>

#include "desktopshare/RfbProtocol.hpp"

extern char** environ;

namespace desktopshare {

namespace {

class SpawnAttributes {
 public:
  SpawnAttributes() {
    int rc = posix_spawnattr_init(&attr_);
    if (rc != 0) throw RfbProtocolError("spawnattr_init_" + std::to_string(errno ? errno : rc));
  }
  ~SpawnAttributes() { posix_spawnattr_destroy(&attr_); }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;
  posix_spawnattr_t* get() { return &attr_; }

 private:
  posix_spawnattr_t attr_{};
};

class FileActions {
 public:
  FileActions() {
    int rc = posix_spawn_file_actions_init(&actions_);
    if (rc != 0) throw RfbProtocolError("spawn_file_actions_init_" + std::to_string(errno ? errno : rc));
  }
  ~FileActions() { posix_spawn_file_actions_destroy(&actions_); }
  FileActions(const FileActions&) = delete;
  FileActions& operator=(const FileActions&) = delete;
  posix_spawn_file_actions_t* get() { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_{};
};

}  // namespace

DisclaimedSpawnOptions DisclaimedSpawnOptions::parse(const std::vector<std::string>& arguments) {
  if (arguments.empty() || arguments.front() != "--") {
    throw RfbProtocolError("spawn_disclaimed_requires_double_dash_separator");
  }
  DisclaimedSpawnOptions options{{arguments.begin() + 1, arguments.end()}};
  if (options.childArguments.empty()) throw RfbProtocolError("spawn_disclaimed_requires_child_arguments");
  return options;
}

std::int32_t spawnDisclaimed(const std::string& executable, const std::vector<std::string>& arguments,
                             platform::ResponsibilityDisclaim& disclaim) {
  SpawnAttributes attributes;

  // The child starts with SIGTERM at its default action even if we were started with it ignored.
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGTERM);
  if (posix_spawnattr_setsigdefault(attributes.get(), &defaults) != 0 ||
      posix_spawnattr_setflags(attributes.get(), POSIX_SPAWN_SETSIGDEF) != 0) {
    throw RfbProtocolError("spawnattr_signals_failed");
  }
  if (disclaim.setDisclaim(attributes.get(), true) != 0) throw RfbProtocolError("spawnattr_setdisclaim_failed");

  FileActions actions;
  for (int fd = 0; fd <= 2; ++fd) {
    if (posix_spawn_file_actions_adddup2(actions.get(), fd, fd) != 0) {
      throw RfbProtocolError("spawn_file_actions_dup2_failed");
    }
  }

  std::vector<std::string> argvStorage;
  argvStorage.reserve(arguments.size() + 1);
  argvStorage.push_back(executable);
  argvStorage.insert(argvStorage.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  argv.reserve(argvStorage.size() + 1);
  for (auto& a : argvStorage) argv.push_back(a.data());
  argv.push_back(nullptr);

  pid_t pid = -1;
  int rc = posix_spawn(&pid, executable.c_str(), actions.get(), attributes.get(), argv.data(), environ);
  if (rc != 0) throw RfbProtocolError("posix_spawn_" + std::to_string(rc));
  return pid;
}

std::int32_t mirroredExitCode(std::int32_t waitStatus) {
  const std::int32_t sig = waitStatus & 0x7F;
  if (sig != 0) return 128 + sig;
  return (waitStatus >> 8) & 0xFF;
}

}  // namespace desktopshare
