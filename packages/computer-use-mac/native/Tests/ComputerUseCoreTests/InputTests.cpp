#include "SimFixture.hpp"

#include "computeruse/KeyMap.hpp"

using namespace computeruse;
using namespace cutest;
using platform::KeyEvent;
using platform::MouseEvent;
using platform::ScrollEvent;

namespace {

// Records what is posted, with the target, and can refuse to create chosen events.
class RecordingPoster : public platform::EventPoster {
 public:
  struct Posted {
    platform::InputEvent event;
    std::optional<std::int32_t> pid;
  };
  class Event : public platform::PlatformEvent {
   public:
    explicit Event(platform::InputEvent e) : e_(std::move(e)) {}
    const platform::InputEvent& description() const override { return e_; }

   private:
    platform::InputEvent e_;
  };

  std::unique_ptr<platform::PlatformEvent> create(const platform::InputEvent& e) override {
    if (failAfter && created >= *failAfter) return nullptr;
    ++created;
    return std::make_unique<Event>(e);
  }
  void post(const platform::PlatformEvent& e, std::optional<std::int32_t> pid) override {
    posted.push_back({e.description(), pid});
  }

  std::optional<int> failAfter;
  int created = 0;
  std::vector<Posted> posted;
};

class Input : public ::testing::Test {
 protected:
  support::FakeClock clock;
  RecordingPoster poster;
  InputSynthesizer input{poster, clock};

  std::vector<MouseEvent> mice() const {
    std::vector<MouseEvent> out;
    for (const auto& p : poster.posted)
      if (auto* m = std::get_if<MouseEvent>(&p.event)) out.push_back(*m);
    return out;
  }
  std::vector<KeyEvent> keys() const {
    std::vector<KeyEvent> out;
    for (const auto& p : poster.posted)
      if (auto* k = std::get_if<KeyEvent>(&p.event)) out.push_back(*k);
    return out;
  }
  std::string failure(const std::function<void()>& f) {
    try {
      f();
    } catch (const ComputerUseError& e) {
      return e.message();
    }
    return "";
  }
};

}  // namespace

TEST_F(Input, KeyCombinations) {
  struct Case {
    const char* keys;
    std::uint16_t code;
    std::uint64_t flags;
  } cases[] = {
      {"cmd+shift+T", 17, platform::kFlagCommand | platform::kFlagShift},
      {"CMD + Return", 36, platform::kFlagCommand},
      {"shift+=", 24, platform::kFlagShift},
      {"Ctrl+a", 0, platform::kFlagControl},
      {"a", 0, 0},
      {"alt+opt+option+fn+function+super+meta+control+f20", 90,
       platform::kFlagOption | platform::kFlagFunction | platform::kFlagCommand | platform::kFlagControl},
      {"\tcmd\t+\u3000space ", 49, platform::kFlagCommand},
      {"++cmd++k", 40, platform::kFlagCommand},
      {"PageDown", 121, 0},
  };
  for (const auto& c : cases) {
    poster.posted.clear();
    input.pressKey(c.keys, 42);
    auto k = keys();
    ASSERT_EQ(k.size(), 2u) << c.keys;
    EXPECT_EQ(k[0], (KeyEvent{c.code, true, c.flags, {}})) << c.keys;
    EXPECT_EQ(k[1], (KeyEvent{c.code, false, c.flags, {}})) << c.keys;
    EXPECT_EQ(poster.posted[0].pid, 42);
  }
}

TEST_F(Input, KeyCombinationFailures) {
  struct Case {
    const char* keys;
    const char* message;
  } cases[] = {
      {"+", "Empty key combination."},
      {"", "Empty key combination."},
      {"cmd+ ", "Empty key combination."},
      {"cmd+", "Unknown key 'cmd'."},
      {"cmd++", "Unknown key 'cmd'."},
      {"hyper+a", "Unknown modifier 'hyper'."},
      {" Hyper +a", "Unknown modifier 'Hyper'."},
      {"shift+!", "Unknown key '!'."},
      {"cmd+F21", "Unknown key 'F21'."},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(failure([&] { input.pressKey(c.keys, std::nullopt); }), c.message) << c.keys;
  }
  EXPECT_TRUE(poster.posted.empty());
  poster.failAfter = 1;  // the key-up cannot be created: nothing is posted
  EXPECT_EQ(failure([&] { input.pressKey("a", std::nullopt); }), "Failed to create key event.");
  EXPECT_TRUE(poster.posted.empty());
}

TEST_F(Input, KeyMapLookups) {
  EXPECT_EQ(KeyMap::single().size(), 48u);
  EXPECT_EQ(KeyMap::named().size(), 43u);
  EXPECT_EQ(KeyMap::keyCode("T"), 17);
  EXPECT_EQ(KeyMap::keyCode(" "), 49);
  EXPECT_EQ(KeyMap::keyCode("Space"), 49);
  EXPECT_EQ(KeyMap::keyCode("ESC"), 53);
  EXPECT_EQ(KeyMap::keyCode("`"), 50);
  EXPECT_EQ(KeyMap::keyCode("\xE2\x84\xAA"), 40);  // KELVIN SIGN lower-cases to k
  EXPECT_FALSE(KeyMap::keyCode("!"));
  EXPECT_FALSE(KeyMap::keyCode("\xC3\xA9"));  // é
  EXPECT_FALSE(KeyMap::keyCode("ab"));
  EXPECT_FALSE(KeyMap::keyCode(""));
  EXPECT_EQ(KeyMap::namedKeyCode("f13"), 105);
  EXPECT_EQ(KeyMap::singleCharacterCode("\\"), 42);
}

TEST_F(Input, TypingSendsChunksOfTwentyUnits) {
  const auto start = clock.now();
  input.type(std::string(45, 'x'), 7);
  auto k = keys();
  ASSERT_EQ(k.size(), 6u);
  EXPECT_EQ(k[0].text.size(), 20u);
  EXPECT_EQ(k[2].text.size(), 20u);
  EXPECT_EQ(k[4].text.size(), 5u);
  EXPECT_TRUE(k[0].keyDown);
  EXPECT_FALSE(k[1].keyDown);
  EXPECT_EQ(k[0].keyCode, 0);
  EXPECT_EQ(k[1].text, k[0].text);
  EXPECT_EQ(clock.now() - start, std::chrono::milliseconds(12));
}

TEST_F(Input, ChunksNeverSplitASurrogatePair) {
  std::u16string text(19, u'a');
  text += u"\U0001F600";  // units 20 and 21
  text += u"bc";
  auto chunks = utf16EventChunks(text, 20);
  ASSERT_EQ(chunks.size(), 2u);
  EXPECT_EQ(chunks[0], std::u16string(19, u'a'));
  EXPECT_EQ(chunks[1], u"\U0001F600bc");
  EXPECT_EQ(utf16EventChunks(u"abc", 0), std::vector<std::u16string>{u"abc"});
  // A lone high surrogate cannot be kept back forever: it goes out alone, as U+FFFD.
  std::u16string lone = u"\xD800";
  EXPECT_EQ(utf16EventChunks(lone + u"x", 1), (std::vector<std::u16string>{u"\uFFFD", u"x"}));
}

TEST_F(Input, ScrollDirectionsAndPages) {
  struct Case {
    const char* direction;
    double pages;
    ScrollEvent expected;
  } cases[] = {
      {"Down", 2.5, {-25, 0, 0}}, {"up", 0.04, {0, 0, 0}},  {"up", 0.05, {1, 0, 0}},   {"left", 1, {0, 10, 0}},
      {"RIGHT", 1, {0, -10, 0}},  {"sideways", 1, {-10, 0, 0}}, {"down", -0.25, {3, 0, 0}},
  };
  for (const auto& c : cases) {
    poster.posted.clear();
    input.scroll(c.direction, c.pages, std::nullopt, 3);
    ASSERT_EQ(poster.posted.size(), 1u) << c.direction;
    EXPECT_EQ(std::get<ScrollEvent>(poster.posted[0].event), c.expected) << c.direction << " " << c.pages;
  }
  poster.posted.clear();
  input.scroll("up", 1, Point{5, 6}, 3);
  ASSERT_EQ(poster.posted.size(), 2u);
  EXPECT_EQ(std::get<MouseEvent>(poster.posted[0].event), (MouseEvent{platform::MouseEventType::mouseMoved, 5, 6, 0, 0}));
  poster.posted.clear();
  for (double bad : {1e9, -1e9, std::nan("")})
    EXPECT_FALSE(failure([&] { input.scroll("up", bad, Point{1, 1}, 3); }).empty());
  EXPECT_TRUE(poster.posted.empty());
}

TEST_F(Input, ClickCountsAndTarget) {
  for (std::int64_t count : {0, -3, 1}) {
    poster.posted.clear();
    input.click({10, 20}, InputSynthesizer::MouseButton::left, count, std::nullopt);
    ASSERT_EQ(mice().size(), 3u);
    EXPECT_FALSE(poster.posted[0].pid);
  }
  poster.posted.clear();
  input.click({10, 20}, InputSynthesizer::MouseButton::middle, 3, 9);
  auto m = mice();
  ASSERT_EQ(m.size(), 7u);
  EXPECT_EQ(m[0].type, platform::MouseEventType::mouseMoved);
  const std::int64_t states[] = {1, 1, 2, 2, 3, 3};
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(m[i + 1].clickState, states[i]);
    EXPECT_EQ(m[i + 1].type, i % 2 ? platform::MouseEventType::otherMouseUp : platform::MouseEventType::otherMouseDown);
    EXPECT_EQ(m[i + 1].button, 2);
  }
}

TEST_F(Input, RightDragInTwentySteps) {
  const auto start = clock.now();
  input.drag({0, 0}, {100, 50}, InputSynthesizer::MouseButton::right, 5);
  auto m = mice();
  ASSERT_EQ(m.size(), 23u);
  EXPECT_EQ(m[1].type, platform::MouseEventType::rightMouseDown);
  for (int i = 2; i < 22; ++i) EXPECT_EQ(m[i].type, platform::MouseEventType::rightMouseDragged);
  EXPECT_EQ(m[2].x, 5);
  EXPECT_EQ(m[2].y, 2.5);
  EXPECT_EQ(m[21].x, 100);
  EXPECT_EQ(m[21].y, 50);
  EXPECT_EQ(m[22].type, platform::MouseEventType::rightMouseUp);
  EXPECT_EQ(m[22].x, 100);
  EXPECT_EQ(clock.now() - start, std::chrono::milliseconds(100));
}

TEST_F(Input, CreationFailuresNameTheEvent) {
  poster.failAfter = 0;
  EXPECT_EQ(failure([&] { input.click({1, 1}, InputSynthesizer::MouseButton::left, 1, 1); }),
            "Failed to create mouse move event.");
  EXPECT_EQ(failure([&] { input.scroll("up", 1, std::nullopt, 1); }), "Failed to create scroll event.");
  EXPECT_EQ(failure([&] { input.type("hi", 1); }), "Failed to create keyboard event.");
  poster.failAfter = 2;  // move and press created, release fails: the press stays posted
  poster.created = 0;
  EXPECT_EQ(failure([&] { input.click({1, 1}, InputSynthesizer::MouseButton::left, 1, 1); }),
            "Failed to create mouse event.");
  EXPECT_EQ(mice().size(), 2u);
}
