#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "desktopshare/SessionInputArbiter.hpp"
#include "platformsim/SimDesktopShare.hpp"

using namespace desktopshare;

namespace {

constexpr std::uint64_t kShift = 0x20000;

SessionMouseEvent mouse(std::int32_t type, double x, double y, std::int32_t button, std::int64_t clickState,
                        std::uint64_t flags = 0) {
  return SessionMouseEvent{type, x, y, button, clickState, flags};
}

class ArbiterTest : public ::testing::Test {
 protected:
  platformsim::RecordingSessionEventPoster poster;
  std::atomic<double> now{100.0};
  // Origin (100, 50): framebuffer pixel (x, y) is global point (100 + x, 50 + y).
  SessionInputArbiter arbiter{poster, {{100, 50}, 0.5, 4}, [this] { return now.load(); }};
};

TEST_F(ArbiterTest, SharedButtonIsPressedOnceAndReleasedByTheLastHolder) {
  auto a = arbiter.open(), b = arbiter.open();
  a->pointer({10, 10, 0x01});
  b->pointer({10, 10, 0x01});
  EXPECT_EQ(poster.take(), (std::vector<SessionHidEvent>{mouse(5, 110, 60, 0, 0), mouse(1, 110, 60, 0, 1),
                                                          mouse(6, 110, 60, 0, 1)}));  // b's first move drags
  a->pointer({10, 10, 0x00});
  EXPECT_TRUE(poster.take().empty());
  b->pointer({10, 10, 0x00});
  EXPECT_EQ(poster.take(), (std::vector<SessionHidEvent>{mouse(2, 110, 60, 0, 1)}));
}

TEST_F(ArbiterTest, CountsRepeatedClicksWithinIntervalAndSlop) {
  auto s = arbiter.open();
  s->pointer({0, 0, 0x01});
  s->pointer({0, 0, 0x00});
  now = now + 0.5;  // the interval is inclusive
  s->pointer({4, 0, 0x01});
  s->pointer({4, 0, 0x00});
  now = now + 0.6;
  s->pointer({4, 0, 0x01});
  s->pointer({4, 0, 0x00});
  s->pointer({9, 0, 0x04});  // right button: counted separately; moved beyond the slop anyway
  EXPECT_EQ(poster.take(),
            (std::vector<SessionHidEvent>{mouse(5, 100, 50, 0, 0), mouse(1, 100, 50, 0, 1), mouse(2, 100, 50, 0, 1),
                                          mouse(5, 104, 50, 0, 0), mouse(1, 104, 50, 0, 2), mouse(2, 104, 50, 0, 2),
                                          mouse(1, 104, 50, 0, 1), mouse(2, 104, 50, 0, 1), mouse(5, 109, 50, 0, 0),
                                          mouse(3, 109, 50, 1, 1)}));
}

TEST_F(ArbiterTest, DragsCarryTheHeldButtonAndItsClickCount) {
  auto s = arbiter.open();
  s->pointer({5, 5, 0x01});
  s->pointer({9, 9, 0x01});
  s->pointer({9, 9, 0x03});  // middle joins; the drag type stays the first held of left, middle, right
  s->pointer({12, 9, 0x02});
  s->pointer({13, 9, 0x00});
  EXPECT_EQ(poster.take(), (std::vector<SessionHidEvent>{
                               mouse(5, 105, 55, 0, 0), mouse(1, 105, 55, 0, 1), mouse(6, 109, 59, 0, 1),
                               mouse(25, 109, 59, 2, 1), mouse(6, 112, 59, 0, 1), mouse(2, 112, 59, 0, 1),
                               mouse(27, 113, 59, 2, 1), mouse(26, 113, 59, 2, 1)}));
}

TEST_F(ArbiterTest, WheelScrollsOnceOnTheRisingEdge) {
  auto s = arbiter.open();
  s->pointer({0, 0, 0x08});
  s->pointer({0, 0, 0x08});
  s->pointer({0, 0, 0x10});
  s->pointer({0, 0, 0x00});
  s->pointer({0, 0, 0x10});
  s->pointer({0, 0, 0x60});
  EXPECT_EQ(poster.take(),
            (std::vector<SessionHidEvent>{mouse(5, 100, 50, 0, 0), SessionScrollEvent{1, 0, 0},
                                          SessionScrollEvent{-1, 0, 0}, SessionScrollEvent{-1, 0, 0},
                                          SessionScrollEvent{0, 1, 0}, SessionScrollEvent{0, -1, 0}}));
}

TEST_F(ArbiterTest, ModifierFlagsComeFromAnySessionAndRepeatsAreMarked) {
  auto a = arbiter.open(), b = arbiter.open();
  a->key({0xFFE1, true});
  b->key({0x61, true});
  b->key({0x61, true});  // auto-repeat
  a->key({0xFFE1, true});  // modifiers never repeat
  b->key({0x61, false});
  a->key({0xFFE1, false});
  b->key({0x61, false});  // not held any more: nothing
  EXPECT_EQ(poster.take(), (std::vector<SessionHidEvent>{
                               SessionKeyEvent{56, true, false, kShift}, SessionUnicodeEvent{"a", true, false, kShift},
                               SessionUnicodeEvent{"a", true, true, kShift}, SessionUnicodeEvent{"a", false, false, kShift},
                               SessionKeyEvent{56, false, false, 0}}));
}

TEST_F(ArbiterTest, CloseReleasesButtonsThenKeysInReverseOrder) {
  auto a = arbiter.open(), other = arbiter.open();
  other->key({0xFFE1, true});
  poster.take();
  a->key({0xFFE1, true});  // second holder: nothing posted
  a->key({0x61, true});
  a->pointer({7, 8, 0x01});
  poster.take();
  a->close();
  EXPECT_EQ(poster.take(),
            (std::vector<SessionHidEvent>{mouse(2, 107, 58, 0, 1, kShift), SessionUnicodeEvent{"a", false, false, kShift}}));
  a->close();
  a->key({0x62, true});
  a->pointer({1, 1, 0x01});
  EXPECT_TRUE(poster.take().empty());
  other->close();  // the last Shift holder
  EXPECT_EQ(poster.take(), (std::vector<SessionHidEvent>{SessionKeyEvent{56, false, false, 0}}));
}

TEST_F(ArbiterTest, CloseWithoutMovingReleasesAtTheOrigin) {
  auto s = arbiter.open();
  s->key({0xFF0D, true});
  s->close();
  EXPECT_EQ(poster.take(),
            (std::vector<SessionHidEvent>{SessionKeyEvent{36, true, false, 0}, SessionKeyEvent{36, false, false, 0}}));
}

TEST_F(ArbiterTest, UnmappedKeysymsAreDroppedAndCounted) {
  auto s = arbiter.open();
  s->key({0xFF63, true});
  s->key({0xFF63, false});
  s->close();
  EXPECT_TRUE(poster.take().empty());
  EXPECT_EQ(arbiter.unmappedKeysymCount(), 2u);
}

TEST_F(ArbiterTest, ConcurrentViewersLeaveEveryHoldBalanced) {
  constexpr int kThreads = 4, kRounds = 300;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      auto s = arbiter.open();
      for (int i = 0; i < kRounds; ++i) {
        s->key({0xFFE1, true});
        s->key({static_cast<std::uint32_t>('a' + (i % 3)), true});
        s->pointer({t, i % 7, static_cast<std::uint8_t>(i % 2 ? 0x01 : 0x00)});
        if (i % 5 == 0) s->key({static_cast<std::uint32_t>('a' + (i % 3)), false});
      }
      s->close();  // releases what the loop left held
    });
  for (auto& th : threads) th.join();
  // Every press has its release, in order: the hold depth per key and button ends at 0 and
  // never goes negative or above 1.
  std::map<std::string, int> depth;
  for (const auto& e : poster.events()) {
    std::string k;
    bool down = false;
    if (auto* key = std::get_if<SessionKeyEvent>(&e)) {
      if (key->isRepeat) continue;
      k = "key" + std::to_string(key->code), down = key->down;
    } else if (auto* u = std::get_if<SessionUnicodeEvent>(&e)) {
      if (u->isRepeat) continue;
      k = u->text, down = u->down;
    } else if (auto* m = std::get_if<SessionMouseEvent>(&e)) {
      if (m->type != 1 && m->type != 2) continue;
      k = "left", down = m->type == 1;
    } else {
      continue;
    }
    depth[k] += down ? 1 : -1;
    ASSERT_GE(depth[k], 0) << k;
    ASSERT_LE(depth[k], 1) << k;
  }
  for (const auto& [k, d] : depth) EXPECT_EQ(d, 0) << k;
}

}  // namespace
