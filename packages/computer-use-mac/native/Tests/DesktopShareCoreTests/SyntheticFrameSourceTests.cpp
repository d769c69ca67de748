#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "desktopshare/FrameSource.hpp"
#include "desktopshare/FrameStore.hpp"

using namespace desktopshare;

namespace {

const BGRAPixel kBlock{0x20, 0xDC, 0xFA, 0xFF};
const BGRAPixel kLight{0xF5, 0xF5, 0xF5, 0xFF};
const BGRAPixel kDark{0x18, 0x18, 0x18, 0xFF};

// Collects delivered frames and lets a test wait for a count.
class Collector {
 public:
  void add(const Frame& frame) {
    std::lock_guard guard(lock_);
    sequences_.push_back(frame.sequence());
    sizesOk_ = sizesOk_ && frame.size() == FrameSize(64, 48);
    changed_.notify_all();
  }
  bool waitFor(std::size_t count) {
    std::unique_lock guard(lock_);
    return changed_.wait_for(guard, std::chrono::seconds(5), [&] { return sequences_.size() >= count; });
  }
  std::vector<std::uint64_t> sequences() {
    std::lock_guard guard(lock_);
    return sequences_;
  }
  bool sizesOk() {
    std::lock_guard guard(lock_);
    return sizesOk_;
  }

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  std::vector<std::uint64_t> sequences_;
  bool sizesOk_ = true;
};

}  // namespace

TEST(SyntheticPattern, BackgroundBlockAndDirtyRects) {
  const FrameSize size(320, 200);
  const Frame first = SyntheticFrameSource::frame(size, 0);
  EXPECT_EQ(first.pixels().pixel(10, 3), (BGRAPixel{33, 8, 9, 255}));
  EXPECT_EQ(first.pixels().pixel(300, 150), (BGRAPixel{static_cast<std::uint8_t>(900 + 150),
                                                      static_cast<std::uint8_t>(300 + 75),
                                                      static_cast<std::uint8_t>(300 ^ 150), 255}));
  EXPECT_EQ(first.dirtyRects(), (std::vector<FrameRect>{FrameRect(0, 0, 320, 200)}));
  EXPECT_EQ(first.sequence(), 0u);

  const Frame fifth = SyntheticFrameSource::frame(size, 5);
  EXPECT_EQ(fifth.dirtyRects(), (std::vector<FrameRect>{FrameRect(0, 8, 320, 16), FrameRect(68, 32, 64, 64),
                                                        FrameRect(85, 32, 64, 64)}));
  EXPECT_EQ(fifth.pixels().pixel(85, 32), kBlock);
  EXPECT_EQ(fifth.pixels().pixel(148, 95), kBlock);
  EXPECT_NE(fifth.pixels().pixel(149, 95), kBlock);
  EXPECT_NE(fifth.pixels().pixel(84, 32), kBlock);
}

TEST(SyntheticPattern, CounterStripCells) {
  const Frame frame = SyntheticFrameSource::frame(FrameSize(320, 200), 6);  // 110 in binary
  EXPECT_EQ(frame.pixels().pixel(0, 8), kDark);
  EXPECT_EQ(frame.pixels().pixel(8, 8), kLight);
  EXPECT_EQ(frame.pixels().pixel(23, 23), kLight);
  EXPECT_EQ(frame.pixels().pixel(24, 8), kDark);
  EXPECT_EQ(frame.pixels().pixel(319, 23), kDark);
  EXPECT_NE(frame.pixels().pixel(0, 24), kDark);  // below the strip
  EXPECT_NE(frame.pixels().pixel(0, 7), kDark);   // above it

  // The strip covers the block where they overlap.
  const Frame over = SyntheticFrameSource::frame(FrameSize(64, 40), 1);
  EXPECT_EQ(over.pixels().pixel(0, 8), kLight);
  EXPECT_EQ(over.pixels().pixel(8, 20), kDark);
  EXPECT_EQ(over.pixels().pixel(8, 30), kBlock);
}

TEST(SyntheticPattern, SmallSizes) {
  // Width 64: the block never moves.
  for (std::uint64_t s : {1, 2, 77}) {
    const Frame f = SyntheticFrameSource::frame(FrameSize(64, 200), s);
    EXPECT_EQ(f.dirtyRects()[1], FrameRect(0, 32, 64, 64));
  }
  EXPECT_EQ(SyntheticFrameSource::frame(FrameSize(100, 20), 3).dirtyRects()[0], FrameRect(0, 8, 100, 12));
  // Height 8: no strip, and the block is clipped into the frame at y 0.
  const Frame flat = SyntheticFrameSource::frame(FrameSize(100, 8), 3);
  EXPECT_EQ(flat.dirtyRects(), (std::vector<FrameRect>{FrameRect(34, 0, 64, 8), FrameRect(14, 0, 64, 8)}));
  // Sequences far beyond any run's length keep the block inside the frame.
  const Frame late = SyntheticFrameSource::frame(FrameSize(320, 200), ~std::uint64_t{0});
  EXPECT_TRUE(FrameRect(0, 0, 320, 200).contains(late.dirtyRects().back()));
  const Frame tiny = SyntheticFrameSource::frame(FrameSize(1, 1), 9);
  EXPECT_EQ(tiny.pixels().pixel(0, 0), kBlock);
}

TEST(SyntheticFrameSource, StartsStopsAndContinuesTheSequence) {
  SyntheticFrameSource source(FrameSize(64, 48), 200);
  EXPECT_EQ(source.interval(), std::chrono::nanoseconds(5'000'000));
  EXPECT_EQ(SyntheticFrameSource(FrameSize(1, 1), 3).interval(), std::chrono::nanoseconds(333'333'333));
  Collector collector;
  const auto callerThread = std::this_thread::get_id();
  std::thread::id firstThread;
  source.start(
      [&](const Frame& f) {
        if (f.sequence() == 0) firstThread = std::this_thread::get_id();
        collector.add(f);
      },
      [](FrameSize) {});
  EXPECT_EQ(firstThread, callerThread);  // the first frame arrives inside start
  EXPECT_THROW(source.start([](const Frame&) {}, [](FrameSize) {}), FrameSourceError);
  ASSERT_TRUE(collector.waitFor(4));
  source.stop();
  source.stop();
  const auto afterStop = collector.sequences().size();
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_LE(collector.sequences().size(), afterStop + 1);  // at most one frame already in production

  source.start([&](const Frame& f) { collector.add(f); }, [](FrameSize) {});
  const auto seen = collector.sequences().size();
  ASSERT_TRUE(collector.waitFor(seen + 2));
  source.stop();
  const auto sequences = collector.sequences();
  for (std::size_t i = 1; i < sequences.size(); ++i) EXPECT_LT(sequences[i - 1], sequences[i]);
  EXPECT_TRUE(collector.sizesOk());
}

TEST(SyntheticFrameSource, CallbackMayStopTheSourceAndDestructionEndsDelivery) {
  std::atomic<int> delivered{0};
  {
    SyntheticFrameSource source(FrameSize(64, 48), 500);
    std::mutex m;
    std::condition_variable cv;
    source.start(
        [&](const Frame& f) {
          ++delivered;
          if (f.sequence() == 2) {
            source.stop();
            cv.notify_all();
          }
        },
        [](FrameSize) {});
    std::unique_lock guard(m);
    cv.wait_for(guard, std::chrono::seconds(5), [&] { return delivered.load() >= 3; });
    EXPECT_EQ(delivered.load(), 3);
    // Released while running again: the timer thread ends with it.
    source.start([&](const Frame&) { ++delivered; }, [](FrameSize) {});
  }
  const int after = delivered.load();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(delivered.load(), after);
}

// The source feeding the store with its own session token, restarted across a reset, as the
// server does: no frame of the first run lands in the second session.
TEST(SyntheticFrameSource, FeedsTheStoreAcrossRestarts) {
  const FrameSize size(64, 48);
  SyntheticFrameSource source(size, 500);
  FrameStore store(size, 32);
  for (int run = 0; run < 2; ++run) {
    const auto session = store.reset();
    Collector collector;
    source.start(
        [&](const Frame& f) {
          store.publish(f, session);
          collector.add(f);
        },
        [](FrameSize) {});
    ASSERT_TRUE(collector.waitFor(3));
    source.stop();
    const auto update = store.changes(std::nullopt);
    ASSERT_TRUE(update);
    EXPECT_GE(update->frame.sequence(), collector.sequences().front());
  }
}

TEST(SyntheticFrameSourceDeath, BadRateStops) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(SyntheticFrameSource(FrameSize(1, 1), 0), "positive");
  EXPECT_DEATH(SyntheticFrameSource(FrameSize(1, 1), -3), "positive");
  EXPECT_DEATH(SyntheticFrameSource(FrameSize(1, 1), 1e-12), "64 bits");
}
