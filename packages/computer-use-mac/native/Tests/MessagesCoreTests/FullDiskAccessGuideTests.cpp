#include <gtest/gtest.h>

#include "messages/FullDiskAccessGuide.hpp"
#include "platformsim/SimMessagesDesktop.hpp"
#include "support/Clock.hpp"

using namespace messages;
using platform::OnScreenWindow;
using platform::OverlayRect;
using platform::ScreenFrames;
using platformsim::SimMessagesDesktop;
using platformsim::SimMessagesScenario;

namespace {

constexpr std::int32_t kSettingsPid = 501;
const ScreenFrames kMain{{0, 0, 1440, 900}, {0, 0, 1440, 875}};
const ScreenFrames kRight{{1440, 0, 1920, 1080}, {1440, 0, 1920, 1050}};

OnScreenWindow settingsWindow(OverlayRect topLeftBounds, std::int64_t layer = 0, std::int32_t pid = kSettingsPid) {
  return OnScreenWindow{layer, pid, topLeftBounds};
}

struct GuideFixture {
  support::FakeClock clock;
  support::RunLoop loop{clock};
  std::unique_ptr<SimMessagesDesktop> sim;
  std::unique_ptr<GuidePlatform> guide;

  explicit GuideFixture(SimMessagesScenario scenario) {
    if (scenario.screens.empty()) scenario.screens = {kMain, kRight};
    scenario.bundleOfPid = {{kSettingsPid, "com.apple.SystemSettings"}, {502, "com.apple.systempreferences"},
                            {600, "com.apple.finder"}};
    sim = std::make_unique<SimMessagesDesktop>(std::move(scenario), loop);
    guide = std::make_unique<GuidePlatform>(GuidePlatform{*sim, *sim, *sim, loop, "/opt/jexo/bin/jexo-bot-helper"});
  }
};

}  // namespace

TEST(DragOverlayGeometry, PlacesThePanelBelowAndInside) {
  struct Case {
    OverlayRect settings, visible, expected;
  };
  const std::vector<Case> cases = {
      {{100, 500, 800, 600}, {0, 0, 1440, 875}, {524, 314, 360, 170}},      // right edges aligned, 16 below
      {{100, 20, 800, 600}, {0, 0, 1440, 875}, {524, 16, 360, 170}},        // near the bottom: 16 inside
      {{1200, 400, 800, 600}, {0, 0, 1440, 875}, {1064, 214, 360, 170}},    // off the right edge
      {{-500, 400, 600, 400}, {0, 0, 1440, 875}, {16, 214, 360, 170}},      // off the left edge
      {{0, 300, 300, 200}, {0, 0, 200, 100}, {16, 16, 168, 68}},            // small screen shrinks the panel
      {{0, 100, 300, 300}, {0, 0, 20, 20}, {4, 4, 0, 0}},                   // cannot fit: upper bound wins
      {{1500, 300, 1000, 700}, {1440, 0, 1920, 1050}, {2124, 114, 360, 170}},  // second screen
  };
  for (const auto& c : cases) {
    EXPECT_EQ(DragOverlayGeometry::frame(c.settings, c.visible), c.expected)
        << c.settings.x << "," << c.settings.y << " in " << c.visible.width << "x" << c.visible.height;
  }
}

TEST(DragOverlayController, PicksTheLargestQualifyingSettingsWindow) {
  SimMessagesScenario s;
  s.windowsAt = [](int) {
    return std::vector<OnScreenWindow>{
        settingsWindow({0, 0, 900, 900}, 3),                   // not layer 0
        OnScreenWindow{0, 600, OverlayRect{0, 0, 900, 900}},   // another application
        OnScreenWindow{0, 999, OverlayRect{0, 0, 900, 900}},  // unknown process
        OnScreenWindow{0, std::nullopt, OverlayRect{0, 0, 900, 900}},
        OnScreenWindow{0, kSettingsPid, std::nullopt},         // unreadable bounds
        settingsWindow({0, 0, 240, 800}),                      // not wider than 240
        settingsWindow({0, 0, 800, 180}),                      // not taller than 180
        settingsWindow({10, 100, 300, 200}),                   // 60000
        settingsWindow({20, 50, 200, 300}, 0, 502),            // 60000 too, later: loses
        settingsWindow({5, 5, 241, 181}),                      // smaller
    };
  };
  GuideFixture f(s);
  auto controller = DragOverlayController::make(*f.guide);
  // Bottom-left origin: y = main screen height (900) - (100 + 200).
  EXPECT_EQ(controller->systemSettingsWindowFrame(), (OverlayRect{10, 600, 300, 200}));
}

TEST(FullDiskAccessGuide, PaneThatCannotOpenShowsNothing) {
  SimMessagesScenario s;
  s.urlsOpen = false;
  GuideFixture f(s);
  EXPECT_FALSE(FullDiskAccessGuide::run(*f.guide));
  EXPECT_EQ(f.sim->record().openedURLs, std::vector<std::string>{FullDiskAccessGuide::paneURL});
  EXPECT_EQ(f.sim->record().windowListRequests, 0);
  EXPECT_EQ(f.sim->record().panelsMade, 0);
}

TEST(FullDiskAccessGuide, GivesUpAfter200TicksWithoutSettings) {
  GuideFixture f(SimMessagesScenario{});
  const auto start = f.clock.now();
  EXPECT_TRUE(FullDiskAccessGuide::run(*f.guide));
  EXPECT_EQ(f.sim->record().windowListRequests, 200);
  EXPECT_EQ(f.sim->record().panelsMade, 0);
  EXPECT_EQ(f.clock.now() - start, std::chrono::milliseconds(50 * 200));
}

TEST(FullDiskAccessGuide, FollowsTheWindowAndEndsWhenItCloses) {
  SimMessagesScenario s;
  s.windowsAt = [](int n) -> std::optional<std::vector<OnScreenWindow>> {
    if (n < 3) return std::vector<OnScreenWindow>{};
    if (n < 5) return std::vector<OnScreenWindow>{settingsWindow({100, 100, 800, 600})};
    if (n < 7) return std::vector<OnScreenWindow>{settingsWindow({200, 150, 800, 600})};
    return std::nullopt;  // no list at all: the window counts as gone
  };
  GuideFixture f(s);
  EXPECT_TRUE(FullDiskAccessGuide::run(*f.guide));
  const auto& r = f.sim->record();
  EXPECT_EQ(r.windowListRequests, 8);
  EXPECT_EQ(r.panelsMade, 1);
  EXPECT_EQ(r.orderFrontCalls, 1);
  EXPECT_EQ(r.panelsClosed, 1);
  // Settings at top-left y 100, height 600 on a 900-high main screen: bottom-left y 200.
  ASSERT_EQ(r.panelFrames.size(), 4u);
  EXPECT_EQ(r.panelFrames[0], (OverlayRect{524, 16, 360, 170}));   // 200 - 186 = 14 -> 16 inside
  EXPECT_EQ(r.panelFrames[1], r.panelFrames[0]);
  EXPECT_EQ(r.panelFrames[2], (OverlayRect{624, 16, 360, 170}));   // moved right with the window
  ASSERT_TRUE(r.lastContent);
  EXPECT_EQ(r.lastContent->displayName, "jexo-bot-helper");
  EXPECT_EQ(r.lastContent->instruction, "Drag jexo-bot-helper into the list above to allow Full Disk Access");
}

TEST(FullDiskAccessGuide, CopyDropOrCloseEndsItARefusedDropDoesNot) {
  for (const std::string ending : {"copy", "close"}) {
    SimMessagesScenario s;
    s.windowsAt = [](int) { return std::vector<OnScreenWindow>{settingsWindow({1600, 100, 800, 600})}; };
    GuideFixture f(s);
    auto* sim = f.sim.get();
    f.loop.post([sim] { sim->record().lastContent->onDrop(0); }, std::chrono::milliseconds(500));
    f.loop.post(
        [sim, ending] {
          EXPECT_TRUE(sim->panelVisible());  // the refused drop left it in place
          if (ending == "copy") {
            sim->record().lastContent->onDrop(1);
          } else {
            sim->record().lastContent->onClose();
          }
        },
        std::chrono::milliseconds(1000));
    EXPECT_TRUE(FullDiskAccessGuide::run(*f.guide));
    EXPECT_FALSE(sim->panelVisible()) << ending;
    EXPECT_EQ(sim->record().panelsClosed, 1);
    EXPECT_LE(sim->record().windowListRequests, 21) << ending;
    // The window's centre lies on the right-hand screen: its visible frame is used.
    EXPECT_GE(sim->record().panelFrames.front().x, 1440 + 16);
  }
}

TEST(FullDiskAccessGuide, WindowOnNoScreenShowsNothingUntilGiveUp) {
  SimMessagesScenario s;
  s.windowsAt = [](int) { return std::vector<OnScreenWindow>{settingsWindow({5000, 5000, 800, 600})}; };
  GuideFixture f(s);
  // Seen every tick but on no screen: the guide never gives up by itself, so close it.
  auto controller = DragOverlayController::make(*f.guide);
  for (int i = 0; i < 250; ++i) controller->tick();
  EXPECT_FALSE(controller->finished());
  EXPECT_EQ(f.sim->record().panelsMade, 0);
  controller->finish();
  EXPECT_TRUE(controller->finished());
}

TEST(FullDiskAccessGuide, DisplayNameIsTheLastComponentWithoutExtension) {
  EXPECT_EQ(FullDiskAccessGuide::displayName("/Applications/Jexo Bot.app"), "Jexo Bot");
  EXPECT_EQ(FullDiskAccessGuide::displayName("/usr/local/bin/jexo-bot-helper"), "jexo-bot-helper");
}
