#include <gtest/gtest.h>

#include <filesystem>

#include "FixedUserPaths.hpp"
#include "messages/MessagesPermissions.hpp"
#include "platformsim/SimMessagesDesktop.hpp"
#include "support/Clock.hpp"
#include "testsupport/TempDir.hpp"

using namespace messages;
using platformsim::SimMessagesDesktop;
using platformsim::SimMessagesScenario;
using namespace std::chrono_literals;

namespace {

const std::string kPane =
    "x-apple.systempreferences:com.apple.settings.PrivacySecurity.extension?Privacy_Automation";

std::string statusLine(int s) { return "check-messages-permissions: automation_status " + std::to_string(s) + "\n"; }

struct CheckFixture {
  testsupport::TempDir home;
  FixedUserPaths paths{home.path(), home.path()};
  support::FakeClock clock;
  support::RunLoop loop{clock};
  std::unique_ptr<SimMessagesDesktop> sim;
  std::unique_ptr<GuidePlatform> guide;
  std::vector<std::string> lines;
  std::unique_ptr<MessagesPermissionsCheck> check;

  explicit CheckFixture(SimMessagesScenario scenario, bool messagesFolder = true) {
    if (messagesFolder) std::filesystem::create_directories(home / "Library/Messages");
    sim = std::make_unique<SimMessagesDesktop>(std::move(scenario), loop);
    guide = std::make_unique<GuidePlatform>(GuidePlatform{*sim, *sim, *sim, loop, "/usr/bin/jexo-bot-helper"});
    check = std::make_unique<MessagesPermissionsCheck>(MessagesPermissionsCheck::Environment{
        *sim, *guide, paths, [this](const std::string& l) { lines.push_back(l); }});
  }
};

}  // namespace

TEST(ConsentRequestParse, FlagsAnywhereFullDiskAccessWins) {
  using V = std::vector<std::string>;
  EXPECT_EQ(parseConsentRequest(V{"check-messages-permissions"}), std::nullopt);
  EXPECT_EQ(parseConsentRequest(V{"check-messages-permissions", "x", "--prompt"}), ConsentRequest::automation);
  EXPECT_EQ(parseConsentRequest(V{"--prompt-full-disk-access", "check-messages-permissions", "--prompt"}),
            ConsentRequest::fullDiskAccess);
  EXPECT_EQ(parseConsentRequest(V{"--prompt=1", "--PROMPT", "-prompt"}), std::nullopt);
}

TEST(MessagesPermissionsCheck, AutomationBranches) {
  struct Case {
    std::string name;
    std::deque<std::int32_t> silent;
    std::int32_t dialog;
    bool prompt;
    bool urlsOpen;
    AutomationState state;
    bool ran;
    std::vector<std::string> lines;
    std::vector<bool> queries;
    std::vector<std::string> urls;
  };
  const std::vector<Case> cases = {
      {"granted, no prompt", {0}, 0, false, true, AutomationState::granted, false, {statusLine(0)}, {false}, {}},
      {"granted, prompt", {0}, 0, true, true, AutomationState::granted, true, {statusLine(0)}, {false}, {}},
      {"never asked, no prompt", {-1744}, 0, false, true, AutomationState::notAsked, false, {statusLine(-1744)},
       {false}, {}},
      {"never asked, user allows", {-1744}, 0, true, true, AutomationState::granted, true,
       {statusLine(-1744), statusLine(0)}, {false, true}, {}},
      {"never asked, user refuses", {-1744}, -1743, true, true, AutomationState::denied, true,
       {statusLine(-1744), statusLine(-1743)}, {false, true}, {}},
      {"denied, pane opens", {-1743}, 0, true, true, AutomationState::denied, true, {statusLine(-1743)}, {false},
       {kPane}},
      {"denied, pane fails", {-1743}, 0, true, false, AutomationState::denied, true,
       {statusLine(-1743), "check-messages-permissions: automation_pane_open_failed\n"}, {false}, {kPane}},
      {"not reachable then granted", {-600, -609, -600, 0}, 0, false, true, AutomationState::granted, false,
       {statusLine(0)}, {false, false, false, false}, {}},
      {"never reachable", {-609}, 0, true, true, AutomationState::notAsked, false, {statusLine(-609)},
       std::vector<bool>(26, false), {}},
  };
  for (const auto& c : cases) {
    SimMessagesScenario s;
    s.silentStatuses = c.silent;
    s.dialogAnswer = c.dialog;
    s.urlsOpen = c.urlsOpen;
    CheckFixture f(s);
    EXPECT_EQ(f.check->automationProbe(c.prompt), (AutomationProbeResult{c.state, c.ran})) << c.name;
    EXPECT_EQ(f.lines, c.lines) << c.name;
    EXPECT_EQ(f.sim->record().consentQueries, c.queries) << c.name;
    EXPECT_EQ(f.sim->record().openedURLs, c.urls) << c.name;
  }
}

TEST(MessagesPermissionsCheck, ReadinessWaitStopsAtFiveSeconds) {
  SimMessagesScenario s;
  s.silentStatuses = {-600};
  CheckFixture f(s);
  const auto start = f.clock.now();
  EXPECT_EQ(f.check->awaitAppleEventsReady(), -600);
  EXPECT_EQ(f.clock.now() - start, 5s);  // 25 pauses of 0.2 s, then the deadline
}

TEST(MessagesPermissionsCheck, MessagesLaunch) {
  struct Case {
    std::string name;
    bool running;
    std::optional<std::string> path;
    std::optional<std::chrono::milliseconds> answerAfter;
    bool succeeds;
    bool otherThread;
    bool expected;
  };
  const std::vector<Case> cases = {
      {"already running", true, std::nullopt, std::nullopt, false, false, true},
      {"not installed", false, std::nullopt, 100ms, true, false, false},
      {"starts in time", false, "/Apps/Messages.app", 1200ms, true, false, true},
      {"answers from another thread", false, "/Apps/Messages.app", 0ms, true, true, true},
      {"start fails", false, "/Apps/Messages.app", 100ms, false, false, false},
      {"starts too late", false, "/Apps/Messages.app", 6000ms, true, false, false},
      {"never answers", false, "/Apps/Messages.app", std::nullopt, true, false, false},
  };
  for (const auto& c : cases) {
    SimMessagesScenario s;
    s.messagesRunning = c.running;
    s.messagesPath = c.path;
    s.launchAnswerAfter = c.answerAfter;
    s.launchSucceeds = c.succeeds;
    s.launchAnswersOnAnotherThread = c.otherThread;
    CheckFixture f(s);
    const auto start = f.clock.now();
    EXPECT_EQ(f.check->ensureMessagesRunning(), c.expected) << c.name;
    EXPECT_LE(f.clock.now() - start, 5s) << c.name;
    const auto result = f.check->check(std::nullopt);
    if (!c.expected) {
      EXPECT_EQ(result.automation, AutomationState::notAsked) << c.name;
      EXPECT_TRUE(f.sim->record().consentQueries.empty()) << c.name;
      EXPECT_TRUE(f.lines.empty()) << c.name;
    }
  }
}

TEST(MessagesPermissionsCheck, WholeCheck) {
  {
    CheckFixture f(SimMessagesScenario{});
    EXPECT_EQ(f.check->check(std::nullopt), MessagesPermissions::make(true, AutomationState::granted, false));
    EXPECT_EQ(f.lines, std::vector<std::string>{statusLine(0)});
  }
  {
    SimMessagesScenario s;
    s.addressable = false;
    CheckFixture f(s, /*messagesFolder=*/false);
    EXPECT_EQ(f.check->check(ConsentRequest::automation),
              MessagesPermissions::make(false, AutomationState::notAsked, false));
    EXPECT_TRUE(f.lines.empty());
  }
  {
    // Full Disk Access request: the guide runs (and gives up: no settings window), the probe
    // does not prompt even for a user never asked.
    SimMessagesScenario s;
    s.silentStatuses = {-1744};
    CheckFixture f(s);
    EXPECT_EQ(f.check->check(ConsentRequest::fullDiskAccess),
              MessagesPermissions::make(true, AutomationState::notAsked, true));
    EXPECT_EQ(f.sim->record().consentQueries, std::vector<bool>{false});
    EXPECT_EQ(f.sim->record().openedURLs, std::vector<std::string>{FullDiskAccessGuide::paneURL});
  }
  {
    SimMessagesScenario s;
    s.urlsOpen = false;
    CheckFixture f(s);
    EXPECT_FALSE(f.check->check(ConsentRequest::fullDiskAccess).prompted);
  }
}
