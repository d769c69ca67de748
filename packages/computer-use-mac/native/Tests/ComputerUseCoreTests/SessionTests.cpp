#include "PngDecode.hpp"
#include "SimFixture.hpp"

using namespace computeruse;
using namespace cutest;
using Button = InputSynthesizer::MouseButton;

namespace {

// Front: pid 100 "Front" (window 1000 at 100,200 of 3200x1000 points, so screenshots have scale
// 0.5); back: pid 200 "Back" with a pressable button and a frameless element.
json desktopScenario() {
  json front = app(100, "Front",
                   {button("go", "Go", {300, 400, 200, 100}),
                    {{"id", "plain"}, {"role", "AXGroup"}, {"frame", {500, 500, 100, 100}}},
                    {{"id", "frameless"}, {"role", "AXGroup"}},
                    {{"id", "field"}, {"role", "AXTextField"}, {"settable", true}, {"focused", true}, {"value", ""},
                     {"frame", {120, 220, 300, 30}}},
                    {{"id", "area"}, {"role", "AXScrollArea"}, {"scrollable", true}, {"value", 0},
                     {"frame", {1000, 300, 1000, 600}}}});
  front["windows"][0]["frame"] = {100, 200, 3200, 1000};
  json back = app(200, "Back", {button("b-press", "Press me"), {{"id", "b-frameless"}, {"role", "AXGroup"}}});
  json minimised = app(300, "Mini", {button("m-press", "Mini button")});
  minimised["windows"][0]["minimized"] = true;
  return {{"frontmost", "Front"}, {"applications", {front, back, minimised}}};
}

class Session : public SimFixture {
 protected:
  void SetUp() override { load(desktopScenario()); }

  std::string failure(const std::function<void()>& f) {
    try {
      f();
    } catch (const ComputerUseError& e) {
      return e.message();
    }
    return "(no error)";
  }
  std::vector<nlohmann::ordered_json> mice() { return records("mouse"); }
};

}  // namespace

TEST_F(Session, GetAppStateReturnsTreeScreenshotAndScale) {
  auto state = session->getAppState("front");
  EXPECT_EQ(state.app, AppInfo("Front", "com.test.Front", 100, true, true));
  ASSERT_TRUE(state.window);
  EXPECT_EQ(state.window->index, "0");
  EXPECT_EQ(state.window->title, "Front Window");
  EXPECT_EQ(state.screenshotScale, 0.5);
  ASSERT_TRUE(state.screenshotPNG);
  auto png = decodePng(*state.screenshotPNG);
  ASSERT_TRUE(png);
  EXPECT_EQ(png->width, 1600u);
  EXPECT_EQ(png->height, 500u);
  // The "Go" button (300,400 200x100 points) is drawn in the button colour at pixel (110, 110).
  EXPECT_EQ(png->rgb(110, 110), 0x5E81ACu);

  auto back = session->getAppState("Back");
  EXPECT_FALSE(back.app.isActive);
  EXPECT_EQ(back.screenshotScale, 1.0);
  EXPECT_TRUE(records("activate").empty());  // inspecting never brings an application forward
}

TEST_F(Session, ScreenshotPixelsMapToScreenPoints) {
  session->getAppState("Front");
  struct Case {
    double x, y;
    double px, py;
  } cases[] = {{40, 10, 180, 220}, {0, 0, 100, 200}, {1600, 500, 3300, 1200}};
  for (const auto& c : cases) {
    desktop->scenario();  // records accumulate; look at the last click's move
    session->click("Front", std::nullopt, c.x, c.y, 1, Button::left);
    auto m = mice();
    ASSERT_GE(m.size(), 3u);
    const auto& move = m[m.size() - 3];
    EXPECT_EQ(move["event"], "mouseMoved");
    EXPECT_EQ(move["x"], c.px);
    EXPECT_EQ(move["y"], c.py);
    EXPECT_EQ(move["pid"], 100);
  }
}

TEST_F(Session, PressableElementIsClickedWithoutEventsEvenInTheBackground) {
  session->getAppState("Back");
  session->click("Back", std::string("1"), std::nullopt, std::nullopt, 1, Button::left);
  ASSERT_EQ(records("action").size(), 1u);
  EXPECT_EQ(records("action")[0]["action"], "AXPress");
  EXPECT_EQ(records("action")[0]["element"], "b-press");
  EXPECT_TRUE(mice().empty());
  for (auto [count, button] : {std::pair{2, Button::left}, {1, Button::right}})
    EXPECT_EQ(failure([&, count = count, button = button] { session->click("Back", std::string("1"), std::nullopt, std::nullopt, count, button); }),
              messages::kNotFrontmost);
}

TEST_F(Session, ElementClicksInTheFrontmostAppUseTheCentreAndIgnoreCoordinates) {
  session->getAppState("Front");
  // "plain" (index 2) has no AXPress: a synthetic click at the centre of its frame.
  session->click("Front", std::string("2"), 1.0, 1.0, 1, Button::left);
  auto m = mice();
  ASSERT_EQ(m.size(), 3u);
  EXPECT_EQ(m[0]["x"], 550.0);
  EXPECT_EQ(m[0]["y"], 550.0);
  EXPECT_EQ(m[1]["event"], "leftMouseDown");
  // A double click on a pressable element is synthetic too.
  session->click("Front", std::string("1"), std::nullopt, std::nullopt, 2, Button::left);
  EXPECT_EQ(mice().size(), 8u);
  EXPECT_TRUE(records("action").empty());
}

TEST_F(Session, MinimisedWindowRefusesCoordinatesButKeepsElements) {
  auto state = session->getAppState("Mini");
  ASSERT_TRUE(state.window);  // the tree of the minimised window, as the window list's first
  ASSERT_TRUE(state.screenshotPNG);
  EXPECT_EQ(decodePng(*state.screenshotPNG)->width, 1440u);  // display capture, scale 1
  desktop->activate(300, 0);
  EXPECT_EQ(failure([&] { session->click("Mini", std::nullopt, 10.0, 10.0, 1, Button::left); }),
            messages::kNeedsWindowScreenshot);
  EXPECT_NO_THROW(session->performSecondaryAction("Mini", "1", "AXPress"));
}

TEST_F(Session, DragIsSentToABackgroundApp) {
  session->getAppState("Back");
  session->drag("Back", 0, 0, 100, 50);
  auto m = mice();
  ASSERT_EQ(m.size(), 23u);
  EXPECT_EQ(m[0]["x"], 100.0);  // window origin
  EXPECT_EQ(m.back()["x"], 200.0);
  EXPECT_EQ(m.back()["y"], 250.0);
  for (const auto& e : m) EXPECT_EQ(e["pid"], 200);
}

TEST_F(Session, DragWithAPointOutOfBoundsSendsNothing) {
  session->getAppState("Back");
  EXPECT_EQ(failure([&] { session->drag("Back", 0, 0, 900, 0); }),
            "Coordinates (900.0, 0.0) are outside the screenshot bounds (800x600).");
  EXPECT_TRUE(mice().empty());
}

TEST_F(Session, ScrollTypeKeysAndValuesReachTheApp) {
  session->getAppState("Front");
  session->scroll("Front", "5", "down", 2);   // area: centre (1500, 600)
  session->scroll("Front", "3", "up", 1);     // frameless: no pointer move
  session->typeText("Front", "hello");
  session->pressKey("Front", "backspace");
  session->setValue("Front", "4", session->getAppState("Front").window->children->at(3).value.value_or("") + "!");
  auto moves = mice();
  ASSERT_EQ(moves.size(), 1u);
  EXPECT_EQ(moves[0]["x"], 1500.0);
  EXPECT_EQ(records("scroll")[0]["wheel1"], -20);
  EXPECT_EQ(records("scroll")[1]["wheel1"], 10);
  auto tree = session->getAppState("Front").window;
  EXPECT_EQ(tree->children->at(3).value, "hell!");
  EXPECT_EQ(tree->children->at(4).value, "10");  // scrolled down 20 lines, then up 10
  for (const auto& r : desktop->records())
    if (r.contains("pid")) {
      EXPECT_EQ(r["pid"], 100) << r.dump();
    }
}

TEST_F(Session, GetAppStateWithoutScreenshotClearsTheGeometry) {
  session->getAppState("Front");
  desktop->scenario().permissions.screenRecording = false;
  auto state = session->getAppState("Front");
  EXPECT_FALSE(state.screenshotPNG);
  EXPECT_EQ(state.screenshotScale, 1.0);
  EXPECT_TRUE(state.window);
  EXPECT_EQ(failure([&] { session->click("Front", std::nullopt, 1.0, 1.0, 1, Button::left); }), messages::kNoSnapshot);
}

TEST_F(Session, FailedResolutionKeepsTheLastSnapshot) {
  session->getAppState("Front");
  EXPECT_EQ(failure([&] { session->getAppState("Nope"); }), "Could not find an app matching 'Nope'.");
  EXPECT_NO_THROW(session->click("Front", std::nullopt, 1.0, 1.0, 1, Button::left));
}

TEST_F(Session, ListAppsIsTheManagersList) {
  auto apps = session->listApps();
  ASSERT_EQ(apps.size(), 3u);
  EXPECT_EQ(apps[0].name, "Back");
  EXPECT_TRUE(apps[1].isActive);
}

// Every message of the catalogue, reached through the session.
TEST_F(Session, ErrorCatalogue) {
  struct Case {
    std::string expected;
    json changes;  // merged into the scenario before the case
    std::function<void(ComputerUseSession&)> before;
    std::function<void(ComputerUseSession&)> act;
    std::int64_t maxDimension = 1600;
  };
  auto state = [](const char* a) { return [a](ComputerUseSession& s) { s.getAppState(a); }; };
  auto nothing = [](ComputerUseSession&) {};
  json launchBroken = {{"applications", {{{"pid", 9}, {"name", "Broken"}, {"running", false},
                                          {"launchFailure", {{"error", "It is broken."}}}}}}};
  json launchSlow = {{"applications", {{{"pid", 9}, {"name", "Slow"}, {"running", false}, {"launchFailure", {{"timeout", true}}}}}}};
  const Case cases[] = {
      {"Unknown element_index '99'. Call get_app_state again to refresh the tree.", {}, state("Front"),
       [](auto& s) { s.setValue("Front", "99", "x"); }},
      {"Accessibility action 'AXPick' failed (-25206).", {}, state("Front"),
       [](auto& s) { s.performSecondaryAction("Front", "1", "AXPick"); }},
      {"Failed to set value (-25205).", {}, state("Front"), [](auto& s) { s.setValue("Front", "1", "x"); }},
      {"Failed to create mouse move event.", {{"failures", {{"events", {"move"}}}}}, state("Front"),
       [](auto& s) { s.click("Front", std::nullopt, 1.0, 1.0, 1, Button::left); }},
      {"Failed to create mouse event.", {{"failures", {{"events", {"button"}}}}}, state("Front"),
       [](auto& s) { s.drag("Front", 1, 1, 2, 2); }},
      {"Failed to create scroll event.", {{"failures", {{"events", {"scroll"}}}}}, state("Front"),
       [](auto& s) { s.scroll("Front", "1", "up", 1); }},
      {"Failed to create keyboard event.", {{"failures", {{"events", {"key"}}}}}, nothing,
       [](auto& s) { s.typeText("Front", "x"); }},
      {"Empty key combination.", {}, nothing, [](auto& s) { s.pressKey("Front", "+"); }},
      {"Unknown modifier 'hyper'.", {}, nothing, [](auto& s) { s.pressKey("Front", "hyper+a"); }},
      {"Unknown key '!'.", {}, nothing, [](auto& s) { s.pressKey("Front", "cmd+!"); }},
      {"Failed to create key event.", {{"failures", {{"events", {"key"}}}}}, nothing,
       [](auto& s) { s.pressKey("Front", "a"); }},
      {"Could not find an app matching 'Nope'.", {}, nothing, [](auto& s) { s.typeText("Nope", "x"); }},
      {"Failed to launch 'Broken': It is broken.", launchBroken, nothing, [](auto& s) { s.getAppState("Broken"); }},
      {"Failed to launch 'Slow'.", launchSlow, nothing, [](auto& s) { s.listApps(), s.getAppState("Slow"); }},
      {messages::kNotFrontmost, {}, state("Back"),
       [](auto& s) { s.click("Back", std::string("1"), std::nullopt, std::nullopt, 1, Button::right); }},
      {"Element 3 has no frame; provide x/y pixel coordinates instead.", {}, state("Front"),
       [](auto& s) { s.click("Front", std::string("3"), std::nullopt, std::nullopt, 1, Button::left); }},
      {"Provide either element_index or x and y coordinates.", {}, state("Front"),
       [](auto& s) { s.click("Front", std::nullopt, 5.0, std::nullopt, 1, Button::left); }},
      {"Call get_app_state before using x/y coordinates.", {}, nothing,
       [](auto& s) { s.click("Front", std::nullopt, 5.0, 5.0, 1, Button::left); }},
      {"Screenshot coordinates are from a different app; call get_app_state for this app first.", {}, state("Back"),
       [](auto& s) { s.click("Front", std::nullopt, 5.0, 5.0, 1, Button::left); }},
      {"Coordinate clicks require a window screenshot; call get_app_state again with a visible app window.", {},
       state("Mini"), [](auto& s) { s.drag("Mini", 1, 1, 2, 2); }},
      {"Invalid screenshot scale from the last get_app_state call.", {}, state("Front"),
       [](auto& s) { s.click("Front", std::nullopt, 0.0, 0.0, 1, Button::left); }, 0},
      {"Coordinates (-1.0, 20.5) are outside the screenshot bounds (1600x500).", {}, state("Front"),
       [](auto& s) { s.click("Front", std::nullopt, -1.0, 20.5, 1, Button::left); }},
      {"Coordinates (nan, 1.0) are outside the screenshot bounds (1600x500).", {}, state("Front"),
       [](auto& s) { s.click("Front", std::nullopt, std::nan(""), 1.0, 1, Button::left); }},
  };
  for (const auto& c : cases) {
    json scenario = desktopScenario();
    for (auto it = c.changes.begin(); it != c.changes.end(); ++it) {
      if (it.key() == "applications") {
        for (const auto& a : it.value()) scenario["applications"].push_back(a);
      } else {
        scenario[it.key()] = it.value();
      }
    }
    load(scenario);
    session = std::make_unique<ComputerUseSession>(services(), c.maxDimension);
    c.before(*session);
    EXPECT_EQ(failure([&] { c.act(*session); }), c.expected);
  }
}
