#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "desktopshare/FrameStore.hpp"

using namespace desktopshare;

namespace {

const FrameSize kSize(256, 256);

Frame frameWith(std::uint64_t sequence, std::vector<FrameRect> dirty) {
  static const FramePixels pixels(std::vector<std::uint8_t>(256 * 256 * 4), kSize);
  return Frame(pixels, kSize, dirty, sequence);
}

// A frame whose damage is exactly tile (sequence mod 4, 0).
Frame tileFrame(std::uint64_t sequence) {
  return frameWith(sequence, {FrameRect(static_cast<std::int64_t>(sequence % 4) * 64, 0, 1, 1)});
}

DamageSet damageOf(std::initializer_list<int> columns) {
  DamageSet set(kSize, 64);
  for (int c : columns) set.insert(FrameRect(c * 64, 0, 1, 1));
  return set;
}

DamageSet filled() {
  DamageSet set(kSize, 64);
  set.fill();
  return set;
}

}  // namespace

TEST(FrameStore, AnswersFromTheDamageChain) {
  FrameStore store(kSize, 32);
  EXPECT_FALSE(store.changes(std::nullopt));
  EXPECT_FALSE(store.changes(5));
  const auto session = store.reset();
  EXPECT_EQ(session, 1u);
  for (std::uint64_t s = 0; s < 3; ++s) store.publish(tileFrame(s), session);

  const auto upToDate = store.changes(2);
  ASSERT_TRUE(upToDate);
  EXPECT_TRUE(upToDate->damage.isEmpty());
  EXPECT_FALSE(upToDate->requiresFullFrame);
  EXPECT_EQ(upToDate->frame.sequence(), 2u);

  const auto behind = store.changes(0);
  EXPECT_EQ(behind->damage, damageOf({1, 2}));
  EXPECT_FALSE(behind->requiresFullFrame);

  for (std::optional<std::uint64_t> after : {std::optional<std::uint64_t>{}, std::optional<std::uint64_t>{7}}) {
    const auto full = store.changes(after);
    EXPECT_TRUE(full->requiresFullFrame);
    EXPECT_EQ(full->damage, filled());
  }
  EXPECT_EQ(store.latestFrame()->sequence(), 2u);
}

TEST(FrameStore, FirstFrameOfSessionIsFullDamage) {
  FrameStore store(kSize, 32);
  const auto session = store.reset();
  store.publish(frameWith(10, {}), session);
  store.publish(frameWith(11, {}), session);
  EXPECT_TRUE(store.changes(10)->damage.isEmpty());
  EXPECT_FALSE(store.changes(10)->requiresFullFrame);
  // Before the first frame there is no record that links to anything.
  EXPECT_TRUE(store.changes(9)->requiresFullFrame);
}

TEST(FrameStore, DropsStaleRepeatedAndForeignFrames) {
  FrameStore store(kSize, 32);
  const auto first = store.reset();
  store.publish(tileFrame(5), first);
  store.publish(tileFrame(5), first);
  store.publish(tileFrame(4), first);
  store.publish(tileFrame(6), first + 1);
  EXPECT_EQ(store.latestFrame()->sequence(), 5u);
  EXPECT_FALSE(store.changes(5)->requiresFullFrame);

  const auto second = store.reset();
  EXPECT_EQ(second, 2u);
  EXPECT_FALSE(store.latestFrame());
  EXPECT_FALSE(store.changes(5));
  store.publish(tileFrame(6), first);
  EXPECT_FALSE(store.latestFrame());
  store.publish(tileFrame(0), second);
  EXPECT_TRUE(store.changes(5)->requiresFullFrame);  // a sequence from before the reset
}

TEST(FrameStore, HistoryIsBoundedAndGapsAreFine) {
  FrameStore small(kSize, 2);
  const auto s = small.reset();
  for (std::uint64_t q = 0; q < 4; ++q) small.publish(tileFrame(q), s);
  const auto incremental = small.changes(1);
  EXPECT_FALSE(incremental->requiresFullFrame);
  EXPECT_EQ(incremental->damage, damageOf({2, 3}));
  EXPECT_TRUE(small.changes(0)->requiresFullFrame);

  FrameStore gaps(kSize, 32);
  const auto g = gaps.reset();
  for (std::uint64_t q : {0, 3, 9}) gaps.publish(tileFrame(q), g);
  EXPECT_EQ(gaps.changes(3)->damage, damageOf({1}));
  EXPECT_TRUE(gaps.changes(4)->requiresFullFrame);
}

TEST(FrameStoreDeath, WrongFrameSizeStops) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  FrameStore store(kSize, 4);
  const Frame other(FramePixels(std::vector<std::uint8_t>(64), FrameSize(4, 4)), FrameSize(4, 4), {}, 0);
  EXPECT_DEATH(store.publish(other, 0), "store's size");
  EXPECT_DEATH(FrameStore(kSize, 0), "capacity");
}

// One publisher and several readers that each track the store as a connection would: the
// damage they accumulate must always cover every tile that changed since they last looked.
TEST(FrameStoreConcurrency, ReadersNeverMissDamage) {
  FrameStore store(kSize, 4);
  const auto session = store.reset();
  std::atomic<bool> done{false};
  std::atomic<int> failures{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < 3; ++r) {
    readers.emplace_back([&] {
      std::optional<std::uint64_t> observed;
      while (!done.load()) {
        const auto update = store.changes(observed);
        if (!update) continue;
        if (!update->requiresFullFrame && observed && *observed != update->frame.sequence()) {
          // Every frame in between marked tile (q mod 4, 0); check the newest one's tile.
          const auto newest = static_cast<int>(update->frame.sequence() % 4);
          if (!update->damage.contains(newest, 0)) ++failures;
        }
        observed = update->frame.sequence();
      }
    });
  }
  for (std::uint64_t q = 0; q < 5000; ++q) store.publish(tileFrame(q), session);
  done = true;
  for (auto& t : readers) t.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(store.latestFrame()->sequence(), 4999u);
}
