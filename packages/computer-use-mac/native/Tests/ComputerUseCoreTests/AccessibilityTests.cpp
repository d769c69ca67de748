#include "SimFixture.hpp"

using namespace computeruse;
using namespace cutest;

namespace {

class Accessibility : public SimFixture {
 protected:
  AccessibilityService& ax() { return session->ax(); }

  static std::size_t count(const AXNode& n) {
    std::size_t c = 1;
    if (n.children)
      for (const auto& k : *n.children) c += count(k);
    return c;
  }

  // Pre-order indices must be 0, 1, 2, ... with no gaps.
  static void expectPreOrder(const AXNode& n, int& next) {
    EXPECT_EQ(n.index, std::to_string(next));
    ++next;
    if (n.children)
      for (const auto& k : *n.children) expectPreOrder(k, next);
  }
};

json chain(int length) {
  json node = {{"role", "AXGroup"}, {"title", "level " + std::to_string(length)}};
  for (int i = length - 1; i >= 1; --i) node = {{"role", "AXGroup"}, {"children", json::array({node})}};
  return node;
}

}  // namespace

TEST_F(Accessibility, IndicesArePreOrderFromTheWindow) {
  load({{"applications",
         {app(100, "A",
              {button("b1", "One"),
               {{"id", "g"}, {"role", "AXGroup"}, {"children", {button("b2", "Inner")}}},
               button("b3", "Three")})}}});
  auto tree = ax().snapshotWindow(100, std::nullopt);
  ASSERT_TRUE(tree);
  EXPECT_EQ(tree->index, "0");
  EXPECT_EQ(tree->role, "AXWindow");
  ASSERT_EQ(tree->children->size(), 3u);
  EXPECT_EQ((*tree->children)[0].index, "1");
  EXPECT_EQ((*tree->children)[1].index, "2");
  EXPECT_EQ((*(*tree->children)[1].children)[0].index, "3");
  EXPECT_EQ((*tree->children)[2].index, "4");
  EXPECT_EQ(ax().element(100, "3"), desktop->findElement("b2"));
}

TEST_F(Accessibility, SnapshotStopsAtTwoThousandFiveHundredNodes) {
  // 30 groups of 99 buttons: 3001 elements with the window.
  json groups = json::array();
  for (int g = 0; g < 30; ++g) {
    json kids = json::array();
    for (int b = 0; b < 99; ++b) kids.push_back({{"role", "AXButton"}});
    groups.push_back({{"role", "AXGroup"}, {"children", kids}});
  }
  load({{"applications", {app(100, "Big", groups)}}});
  auto tree = ax().snapshotWindow(100, std::nullopt);
  ASSERT_TRUE(tree);
  EXPECT_EQ(count(*tree), 2500u);
  int next = 0;
  expectPreOrder(*tree, next);
  EXPECT_EQ(ax().cachesByPID().at(100).elements.size(), 2500u);
  EXPECT_NO_THROW(ax().element(100, "2499"));
  EXPECT_THROW(ax().element(100, "2500"), ComputerUseError);
  // 1 window + 24 full groups of 100 + the 25th group with 98 of its 99 buttons = 2500; the rest of
  // that group and every later group are dropped.
  EXPECT_EQ(tree->children->size(), 25u);
  EXPECT_EQ(tree->children->back().children->size(), 98u);
}

TEST_F(Accessibility, DepthFortyKeepsItsNodeButNotItsChildren) {
  // Window at depth 0, then a chain of 45 nested groups.
  load({{"applications", {app(100, "Deep", {chain(45)})}}});
  auto tree = ax().snapshotWindow(100, std::nullopt);
  ASSERT_TRUE(tree);
  EXPECT_EQ(count(*tree), 41u);
  const AXNode* n = &*tree;
  for (int depth = 0; depth < 40; ++depth) n = &(*n->children)[0];
  EXPECT_EQ(n->index, "40");
  EXPECT_FALSE(n->children);
}

TEST_F(Accessibility, AttributeReadingRules) {
  load({{"applications",
         {app(100, "A",
              {{{"id", "empty-title"}, {"role", "AXStaticText"}, {"title", ""}, {"value", 0}},
               {{"id", "no-role"}, {"value", 0.5}, {"enabled", false}},
               {{"id", "no-size"},
                {"role", "AXButton"},
                {"frame", {1, 2, 3, 4}},
                {"attributeErrors", {{"AXSize", -25212}, {"AXTitle", -25204}}},
                {"title", "hidden by error"},
                {"settable", true},
                {"value", "text"}}})}}});
  auto tree = ax().snapshotWindow(100, std::nullopt);
  ASSERT_TRUE(tree);
  const auto& k = *tree->children;
  EXPECT_FALSE(k[0].title);
  EXPECT_EQ(k[0].value, "0");
  EXPECT_EQ(k[0].settable, false);
  EXPECT_FALSE(k[0].actions);
  EXPECT_FALSE(k[0].children);
  EXPECT_FALSE(k[0].enabled);
  EXPECT_EQ(k[1].role, "AXUnknown");
  EXPECT_EQ(k[1].value, "0.5");
  EXPECT_EQ(k[1].enabled, false);
  EXPECT_FALSE(k[2].frame);
  EXPECT_FALSE(k[2].title);
  EXPECT_EQ(k[2].settable, true);
  EXPECT_EQ(tree->frame, Rect(100, 200, 800, 600));
  EXPECT_EQ(tree->subrole, "AXStandardWindow");
}

TEST_F(Accessibility, CachesArePerProcessAndReplacedBySnapshots) {
  load({{"applications", {app(100, "A", {button("a1", "A1"), button("a2", "A2")}), app(200, "B", {button("b1", "B1")})}}});
  ax().snapshotWindow(100, std::nullopt);
  ax().snapshotWindow(200, std::nullopt);
  EXPECT_EQ(ax().element(100, "2"), desktop->findElement("a2"));
  EXPECT_EQ(ax().element(200, "1"), desktop->findElement("b1"));

  // A's window now has one button fewer: "2" is gone, "1" names the element now at that place.
  desktop->findElement("a1")->parent->children.erase(desktop->findElement("a1")->parent->children.begin());
  ax().snapshotWindow(100, std::nullopt);
  EXPECT_EQ(ax().element(100, "1"), desktop->findElement("a2"));
  try {
    ax().element(100, "2");
    FAIL();
  } catch (const ComputerUseError& e) {
    EXPECT_STREQ(e.what(), "Unknown element_index '2'. Call get_app_state again to refresh the tree.");
  }
  EXPECT_EQ(ax().element(200, "1"), desktop->findElement("b1"));
}

TEST_F(Accessibility, LookupIsExactAndNeedsASnapshot) {
  load({{"applications", {app(100, "A", json::array({button("b", "B"), button("c", "C"), button("d", "D"),
                                                     button("e", "E"), button("f", "F"), button("g", "G"),
                                                     button("h", "H")}))}}});
  EXPECT_THROW(ax().element(100, "7"), ComputerUseError);  // never snapshotted
  ax().snapshotWindow(100, std::nullopt);
  EXPECT_NO_THROW(ax().element(100, "7"));
  for (const char* bad : {"07", " 7", "7.0", "+7", ""}) EXPECT_THROW(ax().element(100, bad), ComputerUseError) << bad;
}

TEST_F(Accessibility, WindowChoiceByNumberFallsBackToKeyWindow) {
  json a = app(100, "A", {button("in-key", "K")});
  a["windows"].push_back({{"number", 7}, {"title", "Second"}, {"frame", {0, 0, 10, 10}}, {"children", {button("in-second", "S")}}});
  load({{"applications", {a}}});
  EXPECT_EQ(ax().snapshotWindow(100, 7)->title, "Second");
  EXPECT_EQ(ax().snapshotWindow(100, 999)->title, "A Window");
  EXPECT_EQ(ax().keyWindowNumber(100), 1000u);
  EXPECT_EQ(ax().keyWindowFrame(100), Rect(100, 200, 800, 600));
}

TEST_F(Accessibility, NoWindowLeavesAnEmptyCache) {
  load({{"applications", {app(100, "A", {button("b", "B")})}}});
  ax().snapshotWindow(100, std::nullopt);
  desktop->application(100)->windows.clear();
  EXPECT_FALSE(ax().snapshotWindow(100, std::nullopt));
  EXPECT_TRUE(ax().cachesByPID().at(100).elements.empty());
  EXPECT_THROW(ax().element(100, "0"), ComputerUseError);
  EXPECT_FALSE(ax().keyWindowNumber(100));
}

TEST_F(Accessibility, ActionsAndValuesReportPlatformStatus) {
  load({{"applications",
         {app(100, "A",
              {{{"id", "b"}, {"role", "AXButton"}, {"actions", {"AXPress"}}, {"actionErrors", {{"AXPress", -25204}}}},
               {{"id", "f"}, {"role", "AXTextField"}, {"settable", true}, {"setValueError", -25200}},
               {{"id", "ok"}, {"role", "AXTextField"}, {"settable", true}}})}}});
  ax().snapshotWindow(100, std::nullopt);
  auto expectMessage = [](auto&& f, const std::string& message) {
    try {
      f();
      ADD_FAILURE() << "no error";
    } catch (const ComputerUseError& e) {
      EXPECT_EQ(e.message(), message);
    }
  };
  expectMessage([&] { ax().performAction(ax().element(100, "1"), "AXPress"); },
                "Accessibility action 'AXPress' failed (-25204).");
  expectMessage([&] { ax().performAction(ax().element(100, "3"), "AXShowMenu"); },
                "Accessibility action 'AXShowMenu' failed (-25206).");
  expectMessage([&] { ax().setValue(ax().element(100, "2"), "x"); }, "Failed to set value (-25200).");
  ax().setValue(ax().element(100, "3"), "hello");
  EXPECT_EQ(ax().snapshotWindow(100, std::nullopt)->children->at(2).value, "hello");
  EXPECT_TRUE(ax().supportsAction(ax().element(100, "1"), "AXPress"));
  EXPECT_FALSE(ax().supportsAction(ax().element(100, "1"), "axpress"));
}
