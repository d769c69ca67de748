// The AT-SPI vocabulary mapping, desktop-entry parsing and the capture scaler, without a desktop.
#include <atspi/atspi-constants.h>
#include <gtest/gtest.h>

#include "platformlinux/AtspiAccessibility.hpp"
#include "platformlinux/X11ComputerUse.hpp"
#include "testsupport/ProcessRunner.hpp"
#include "testsupport/TempDir.hpp"

using namespace platformlinux;

namespace {

AtspiStates with(std::initializer_list<int> states) {
  AtspiStates s{};
  for (int n : states) s[static_cast<std::size_t>(n / 32)] |= 1u << (n % 32);
  return s;
}

TEST(AtspiMapping, RolesMapToTheAgentsVocabulary) {
  struct Case {
    std::uint32_t role;
    AtspiStates states;
    AXRoleName expected;
  };
  const Case cases[] = {
      {ATSPI_ROLE_PUSH_BUTTON, {}, {"AXButton", std::nullopt}},
      {ATSPI_ROLE_TOGGLE_BUTTON, {}, {"AXCheckBox", "AXToggle"}},
      {ATSPI_ROLE_CHECK_BOX, {}, {"AXCheckBox", std::nullopt}},
      {ATSPI_ROLE_TEXT, {}, {"AXTextField", std::nullopt}},
      {ATSPI_ROLE_TEXT, with({ATSPI_STATE_MULTI_LINE}), {"AXTextArea", std::nullopt}},
      {ATSPI_ROLE_PASSWORD_TEXT, {}, {"AXTextField", "AXSecureTextField"}},
      {ATSPI_ROLE_FRAME, {}, {"AXWindow", "AXStandardWindow"}},
      {ATSPI_ROLE_DIALOG, {}, {"AXWindow", "AXDialog"}},
      {ATSPI_ROLE_LABEL, {}, {"AXStaticText", std::nullopt}},
      {ATSPI_ROLE_COMBO_BOX, {}, {"AXComboBox", std::nullopt}},
      {ATSPI_ROLE_PAGE_TAB, {}, {"AXRadioButton", "AXTabButton"}},
      {ATSPI_ROLE_FILLER, {}, {"AXGroup", std::nullopt}},
      {ATSPI_ROLE_INVALID, {}, {"AXUnknown", std::nullopt}},
      // Unmapped roles keep a readable name.
      {ATSPI_ROLE_DRAWING_AREA, {}, {"AXDrawingArea", std::nullopt}},
      {ATSPI_ROLE_CALENDAR, {}, {"AXCalendar", std::nullopt}},
  };
  for (const auto& c : cases) EXPECT_EQ(axRoleFor(c.role, c.states), c.expected) << "role " << c.role;
}

TEST(AtspiMapping, PressLikeActionsBecomeAXPressAndOthersStayReadable) {
  EXPECT_EQ(axActionFor("click", ATSPI_ROLE_PUSH_BUTTON), "AXPress");
  EXPECT_EQ(axActionFor("press", ATSPI_ROLE_COMBO_BOX), "AXPress");
  EXPECT_EQ(axActionFor("activate", ATSPI_ROLE_MENU_ITEM), "AXPress");
  EXPECT_EQ(axActionFor("Toggle", ATSPI_ROLE_TOGGLE_BUTTON), "AXPress");
  // In a text field "activate" is the Return key's confirmation, not a press.
  EXPECT_EQ(axActionFor("activate", ATSPI_ROLE_TEXT), "AXConfirm");
  EXPECT_EQ(axActionFor("showmenu", ATSPI_ROLE_PUSH_BUTTON), "AXShowMenu");
  EXPECT_EQ(axActionFor("increment", ATSPI_ROLE_SPIN_BUTTON), "AXIncrement");
  EXPECT_EQ(axActionFor("expand or contract", ATSPI_ROLE_TABLE_CELL), "AXExpandOrContract");
  EXPECT_EQ(axCamelName("drawing area"), "AXDrawingArea");
  EXPECT_EQ(axCamelName("tear-off  menu item"), "AXTearOffMenuItem");
}

TEST(AtspiMapping, StateBitsReadBothWords) {
  const auto s = with({ATSPI_STATE_FOCUSED, ATSPI_STATE_CHECKABLE});  // 12 and 41
  EXPECT_TRUE(hasAtspiState(s, ATSPI_STATE_FOCUSED));
  EXPECT_TRUE(hasAtspiState(s, ATSPI_STATE_CHECKABLE));
  EXPECT_FALSE(hasAtspiState(s, ATSPI_STATE_CHECKED));
  EXPECT_FALSE(hasAtspiState(s, 64));
  EXPECT_FALSE(hasAtspiState(s, -1));
}

TEST(DesktopEntries, ExecLinesSplitLikeTheFormatSays) {
  using V = std::vector<std::string>;
  EXPECT_EQ(splitExecLine("gedit %U"), (V{"gedit"}));
  EXPECT_EQ(splitExecLine("\"/opt/My App/run\" --x=%% -n %f"), (V{"/opt/My App/run", "--x=%", "-n"}));
  EXPECT_EQ(splitExecLine("sh -c \"echo \\\"hi\\\" \\$HOME\""), (V{"sh", "-c", "echo \"hi\" $HOME"}));
  EXPECT_EQ(splitExecLine("prog \"\""), (V{"prog", ""}));
  EXPECT_FALSE(splitExecLine("prog \"unterminated"));
  EXPECT_FALSE(splitExecLine("   "));
}

TEST(DesktopEntries, OnlyApplicationEntriesWithNameAndExecAreRead) {
  testsupport::TempDir dir;
  testsupport::writeFile(dir / "a.desktop",
                         "# comment\n[Desktop Entry]\nType=Application\nName=Text\\sEditor\nExec=gedit %U\n"
                         "StartupWMClass=Gedit\n[Desktop Action new]\nName=Other\nExec=other\n");
  testsupport::writeFile(dir / "link.desktop", "[Desktop Entry]\nType=Link\nName=Site\nURL=http://x\n");
  testsupport::writeFile(dir / "hidden.desktop", "[Desktop Entry]\nType=Application\nName=H\nExec=h\nHidden=true\n");
  auto a = parseDesktopEntry(dir / "a.desktop", "org.example.a");
  ASSERT_TRUE(a);
  EXPECT_EQ(a->id, "org.example.a");
  EXPECT_EQ(a->name, "Text Editor");
  EXPECT_EQ(a->exec, "gedit %U");
  EXPECT_EQ(a->startupWMClass, "Gedit");
  EXPECT_FALSE(parseDesktopEntry(dir / "link.desktop", "link"));
  EXPECT_FALSE(parseDesktopEntry(dir / "hidden.desktop", "hidden"));
  EXPECT_FALSE(parseDesktopEntry(dir / "missing.desktop", "missing"));
}

TEST(CaptureScaling, AreaAverageKeepsMeansAndEdges) {
  platform::RgbaImage src;
  src.width = 4;
  src.height = 2;
  // Left half black, right half white, alpha opaque.
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 4; ++x) {
      const std::uint8_t v = x < 2 ? 0 : 255;
      src.pixels.insert(src.pixels.end(), {v, v, v, 255});
    }
  auto half = scaleAreaAverage(src, 2, 1);
  ASSERT_EQ(half.pixels.size(), 8u);
  EXPECT_EQ(half.pixels[0], 0);
  EXPECT_EQ(half.pixels[4], 255);
  EXPECT_EQ(half.pixels[3], 255);
  auto one = scaleAreaAverage(src, 1, 1);
  EXPECT_EQ(one.pixels[0], 128);  // the mean of 0 and 255, rounded
  // A third of the width: the middle output pixel straddles the edge.
  auto third = scaleAreaAverage(src, 3, 1);
  EXPECT_EQ(third.pixels[0], 0);
  EXPECT_NEAR(third.pixels[4], 128, 1);
  EXPECT_EQ(third.pixels[8], 255);
  auto same = scaleAreaAverage(src, 4, 2);
  EXPECT_EQ(same.pixels, src.pixels);
}

}  // namespace
