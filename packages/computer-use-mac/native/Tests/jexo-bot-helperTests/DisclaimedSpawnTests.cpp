#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <thread>

#include "desktopshare/DisclaimedSpawn.hpp"
#include "desktopshare/RfbProtocol.hpp"
#include "desktopshare/SpawnDisclaimedCommand.hpp"

using namespace desktopshare;

namespace {

struct FixedExecutable final : platform::ExecutableLocator {
  std::optional<std::string> path;
  explicit FixedExecutable(std::optional<std::string> p) : path(std::move(p)) {}
  std::optional<std::string> executablePath() const override { return path; }
};

struct RecordingDisclaim final : platform::ResponsibilityDisclaim {
  int result = 0;
  int calls = 0;
  int setDisclaim(posix_spawnattr_t*, bool disclaim) override {
    calls += disclaim ? 1 : 0;
    return result;
  }
};

std::string reasonOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const RfbProtocolError& e) {
    return e.what();
  }
  return "";
}

}  // namespace

TEST(DisclaimedSpawn, MirroredExitCodes) {
  struct Case {
    int status;
    int code;
  };
  for (const auto& c : std::vector<Case>{{0, 0}, {3 << 8, 3}, {255 << 8, 255}, {9, 137}, {15, 143}, {0x80 | 11, 139}}) {
    EXPECT_EQ(mirroredExitCode(c.status), c.code) << c.status;
  }
}

TEST(DisclaimedSpawn, ParseAndSpawnFailures) {
  EXPECT_EQ(DisclaimedSpawnOptions::parse({"--", "a", "--"}).childArguments, (std::vector<std::string>{"a", "--"}));
  RecordingDisclaim disclaim;
  FixedExecutable sh("/bin/sh");
  EXPECT_EQ(reasonOf([&] { runSpawnDisclaimedCommand({}, sh, disclaim); }),
            "spawn_disclaimed_requires_double_dash_separator");
  EXPECT_EQ(reasonOf([&] { runSpawnDisclaimedCommand({"--"}, sh, disclaim); }),
            "spawn_disclaimed_requires_child_arguments");
  FixedExecutable none(std::nullopt);
  EXPECT_EQ(reasonOf([&] { runSpawnDisclaimedCommand({"--", "x"}, none, disclaim); }),
            "helper_executable_path_unresolved");
  EXPECT_EQ(reasonOf([&] { spawnDisclaimed("/nonexistent", {}, disclaim); }), "posix_spawn_2");
  disclaim.result = 1;
  EXPECT_EQ(reasonOf([&] { spawnDisclaimed("/bin/sh", {}, disclaim); }), "spawnattr_setdisclaim_failed");
}

TEST(DisclaimedSpawn, ChildStatusIsMirroredAndDisclaimIsAsked) {
  RecordingDisclaim disclaim;
  FixedExecutable sh("/bin/sh");
  EXPECT_EQ(runSpawnDisclaimedCommand({"--", "-c", "exit 5"}, sh, disclaim), 5);
  EXPECT_EQ(runSpawnDisclaimedCommand({"--", "-c", "kill -9 $$"}, sh, disclaim), 137);
  EXPECT_EQ(disclaim.calls, 2);
}

TEST(DisclaimedSpawn, SigtermIsForwardedAndAStubbornChildIsKilledAfterTheGrace) {
  RecordingDisclaim disclaim;
  FixedExecutable sh("/bin/sh");
  struct Case {
    std::string script;
    int code;
  };
  // Even with SIGTERM ignored here, the child starts with it at its default action.
  ::signal(SIGTERM, SIG_IGN);
  for (const auto& c : std::vector<Case>{{"exec sleep 20", 143}, {"trap '' TERM; exec sleep 20", 137}}) {
    auto result = std::async(std::launch::async, [&] {
      return runSpawnDisclaimedCommand({"--", "-c", c.script}, sh, disclaim);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto sent = std::chrono::steady_clock::now();
    ::kill(::getpid(), SIGTERM);
    ASSERT_EQ(result.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(result.get(), c.code) << c.script;
    const auto took = std::chrono::steady_clock::now() - sent;
    if (c.code == 137) {
      EXPECT_GE(took, std::chrono::milliseconds(650));
    }
  }
  ::signal(SIGTERM, SIG_DFL);
}
