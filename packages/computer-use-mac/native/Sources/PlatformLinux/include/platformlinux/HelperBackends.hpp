#pragma once
#include <memory>
#include <optional>
#include <string>

#include "platform/ApplicationSetup.hpp"
#include "platform/ProcessSpawn.hpp"
#include "platform/UserPaths.hpp"

namespace platformlinux {

// Linux has no activation policies: the request is remembered and reported as accepted.
class LinuxApplicationSetup final : public platform::ApplicationSetup {
 public:
  bool setAccessoryActivationPolicy() override;
  bool accessoryRequested() const { return accessoryRequested_; }

 private:
  bool accessoryRequested_ = false;
};

// Linux programs carry no bundle; the only entry is the version stamp given at build time
// (CFBundleShortVersionString), when there is one.
class LinuxBundleInfo final : public platform::BundleInfo {
 public:
  explicit LinuxBundleInfo(std::optional<std::string> shortVersion) : shortVersion_(std::move(shortVersion)) {}
  std::optional<std::string> stringValue(const std::string& key) const override;

 private:
  std::optional<std::string> shortVersion_;
};

// HOME (else the password database); TMPDIR (else a private per-user folder under /tmp).
class LinuxUserPaths final : public platform::UserPaths {
 public:
  std::string homeDirectory() const override;
  std::string temporaryDirectory() const override;
  std::string homeDirectoryOf(const std::string& userName) const override;
};

// /proc/self/exe.
class LinuxExecutableLocator final : public platform::ExecutableLocator {
 public:
  std::optional<std::string> executablePath() const override;
};

// Linux has no responsibility attribute: the child is spawned plainly and the request recorded.
class LinuxResponsibilityDisclaim final : public platform::ResponsibilityDisclaim {
 public:
  int setDisclaim(posix_spawnattr_t* attributes, bool disclaim) override;
  bool disclaimRequested() const { return disclaimRequested_; }

 private:
  bool disclaimRequested_ = false;
};

}  // namespace platformlinux
