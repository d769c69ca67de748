// Viewers' keysyms and pointer states through the session input arbiter and the XTEST poster
// into a real X client's window.
#include <gtest/gtest.h>

#include <X11/keysym.h>

#include "X11TestClient.hpp"
#include "XvfbServer.hpp"
#include "desktopshare/SessionInputArbiter.hpp"
#include "platform/PlatformError.hpp"
#include "platformlinux/X11Desktop.hpp"

using namespace desktopshare;
using x11test::InputRecord;

namespace {

class X11InputTest : public ::testing::Test {
 protected:
  x11test::XvfbServer server{320, 240};
  x11test::TestClient client{server.display()};
  platformlinux::X11SessionEventPoster poster{server.display()};
  SessionInputArbiter arbiter{poster, {{0, 0}, 0.5, 4}, [] { return 0.0; }};

  void SetUp() override { client.openInputWindow(10, 10, 200, 100); }

  static std::vector<unsigned long> pressedKeysyms(const std::vector<InputRecord>& records) {
    std::vector<unsigned long> out;
    for (const auto& r : records)
      if (r.type == KeyPress) out.push_back(r.keysym);
    return out;
  }
  static void tap(InputSession& s, std::uint32_t keysym) {
    s.key({keysym, true});
    s.key({keysym, false});
  }
};

TEST_F(X11InputTest, KeysAndTextArriveAsTheViewerTypedThem) {
  auto s = arbiter.open();
  tap(*s, 'h');
  s->key({XK_Shift_L, true});
  tap(*s, 'A');   // on the keyboard map, with the viewer's Shift
  tap(*s, '!');
  s->key({XK_Shift_L, false});
  tap(*s, 'Z');   // a capital without Shift: typed through a spare keycode
  tap(*s, 0xE9);  // é, absent from the US map
  tap(*s, 0x010020AC);  // € as a Unicode keysym
  tap(*s, XK_Return);
  tap(*s, XK_BackSpace);
  tap(*s, XK_F5);
  const auto records = client.collect();
  EXPECT_EQ(pressedKeysyms(records),
            (std::vector<unsigned long>{'h', XK_Shift_L, 'A', '!', 'Z', 0xE9, 0x010020AC, XK_Return, XK_BackSpace, XK_F5}));
  std::string text;
  for (const auto& r : records)
    if (r.type == KeyPress && r.keysym < 0x80) text += r.text;
  EXPECT_EQ(text, "hA!Z");
  // Every press was released.
  int balance = 0;
  for (const auto& r : records) balance += r.type == KeyPress ? 1 : r.type == KeyRelease ? -1 : 0;
  EXPECT_EQ(balance, 0);
  EXPECT_EQ(poster.droppedCount(), 0u);
}

TEST_F(X11InputTest, ModifiersHeldByOneViewerApplyToAnothersKeys) {
  auto a = arbiter.open(), b = arbiter.open();
  a->key({XK_Control_L, true});
  tap(*b, 'c');
  a->key({XK_Control_L, false});
  // Both hold the same key: one press, one release.
  a->key({'q', true});
  b->key({'q', true});
  a->key({'q', false});
  b->key({'q', false});
  const auto records = client.collect();
  bool sawControlC = false;
  int qPress = 0, qRelease = 0;
  for (const auto& r : records) {
    if (r.type == KeyPress && r.keysym == 'c') sawControlC = (r.state & ControlMask) != 0;
    if (r.keysym == 'q') (r.type == KeyPress ? qPress : qRelease)++;
  }
  EXPECT_TRUE(sawControlC);
  EXPECT_EQ(qPress, 1);
  EXPECT_EQ(qRelease, 1);
}

TEST_F(X11InputTest, ClicksDragsAndWheelReachTheWindowAndPositionsAreClamped) {
  auto s = arbiter.open();
  s->pointer({50, 40, 0x01});
  s->pointer({60, 45, 0x01});
  s->pointer({60, 45, 0x00});
  s->pointer({70, 50, 0x04});
  s->pointer({70, 50, 0x00});
  s->pointer({70, 50, 0x08});
  s->pointer({70, 50, 0x00});
  s->pointer({70, 50, 0x10});
  const auto records = client.collect();
  std::vector<std::tuple<int, unsigned, int, int>> buttons;
  bool draggedWithButton1 = false;
  for (const auto& r : records) {
    if (r.type == ButtonPress || r.type == ButtonRelease) buttons.emplace_back(r.type, r.button, r.x, r.y);
    if (r.type == MotionNotify && r.x == 50 && r.y == 35) draggedWithButton1 = (r.state & Button1Mask) != 0;
  }
  EXPECT_EQ(buttons, (std::vector<std::tuple<int, unsigned, int, int>>{
                         {ButtonPress, 1, 40, 30}, {ButtonRelease, 1, 50, 35}, {ButtonPress, 3, 60, 40},
                         {ButtonRelease, 3, 60, 40}, {ButtonPress, 4, 60, 40}, {ButtonRelease, 4, 60, 40},
                         {ButtonPress, 5, 60, 40}, {ButtonRelease, 5, 60, 40}}));
  EXPECT_TRUE(draggedWithButton1);

  s->pointer({5000, 5000, 0x00});
  int x = 0, y = 0;
  ASSERT_TRUE(x11test::eventually([&] {
    client.pointer(x, y);
    return x == 319 && y == 239;
  }, std::chrono::seconds(2))) << x << "," << y;
}

TEST_F(X11InputTest, ClosingAViewerReleasesWhatItHeld) {
  auto s = arbiter.open();
  s->key({XK_Shift_L, true});
  s->key({'k', true});
  s->pointer({30, 30, 0x01});
  s->close();
  const auto records = client.collect();
  int keys = 0, buttons = 0;
  for (const auto& r : records) {
    if (r.type == KeyPress) ++keys;
    if (r.type == KeyRelease) --keys;
    if (r.type == ButtonPress) ++buttons;
    if (r.type == ButtonRelease) --buttons;
  }
  EXPECT_EQ(keys, 0);
  EXPECT_EQ(buttons, 0);
}

TEST(X11Poster, RefusesAMissingDisplayAndSurvivesTheServerGoing) {
  EXPECT_THROW(platformlinux::X11SessionEventPoster(":9999"), platform::PlatformError);
  x11test::XvfbServer server(64, 64);
  platformlinux::X11SessionEventPoster poster(server.display());
  poster.post(platform::SessionKeyEvent{0, true, false, 0});
  poster.post(platform::SessionKeyEvent{0, false, false, 0});
  EXPECT_EQ(poster.droppedCount(), 0u);
  server.stop();
  for (int i = 0; i < 5; ++i) {
    poster.post(platform::SessionMouseEvent{5, 1, 1, 0, 0, 0});
    poster.post(platform::SessionUnicodeEvent{"x", true, false, 0});
  }
  EXPECT_GT(poster.droppedCount(), 0u);
  EXPECT_TRUE(poster.lastError().has_value());
}

}  // namespace
