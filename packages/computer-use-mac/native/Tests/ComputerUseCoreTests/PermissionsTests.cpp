#include "SimFixture.hpp"

#include "computeruse/Permissions.hpp"

using namespace computeruse;
using namespace cutest;

class PermissionsTest : public SimFixture {};

TEST_F(PermissionsTest, StatusNeverPromptsAndRequestPromptsForBoth) {
  struct Case {
    bool ax, screen, grants;
    Permissions::Status afterRequest;
  } cases[] = {
      {false, false, false, {false, false}},
      {false, false, true, {true, true}},
      {true, false, true, {true, true}},
      {true, true, false, {true, true}},
  };
  for (const auto& c : cases) {
    load({{"permissions", {{"accessibility", c.ax}, {"screenRecording", c.screen}, {"promptGrants", c.grants}}}});
    Permissions p(*desktop, *desktop);
    EXPECT_EQ(p.status(), (Permissions::Status{c.ax, c.screen}));
    EXPECT_EQ(p.hasAccessibility(false), c.ax);
    EXPECT_EQ(p.hasScreenRecording(), c.screen);
    EXPECT_TRUE(records("prompt").empty());
    EXPECT_EQ(p.request(), c.afterRequest);
    EXPECT_EQ(records("prompt").size(), static_cast<std::size_t>(!c.ax + !c.screen));
  }
}

TEST_F(PermissionsTest, AllGrantedNeedsBoth) {
  EXPECT_TRUE((Permissions::Status{true, true}.allGranted()));
  EXPECT_FALSE((Permissions::Status{true, false}.allGranted()));
  EXPECT_FALSE((Permissions::Status{false, true}.allGranted()));
  EXPECT_FALSE((Permissions::Status{false, false}.allGranted()));
  EXPECT_EQ(std::string(Permissions::pendingMessage).substr(0, 43), "Computer Use permissions are still pending.");
}

TEST_F(PermissionsTest, WithoutAccessibilityTheTreeIsUnreadable) {
  load({{"permissions", {{"accessibility", false}}}, {"applications", {app(100, "A", {button("b", "B")})}}});
  auto state = session->getAppState("A");
  EXPECT_FALSE(state.window);
  EXPECT_TRUE(state.screenshotPNG);  // capture needs only screen recording
}
