#include <gtest/gtest.h>

#include "desktopshare/DamageSet.hpp"
#include "desktopshare/Frame.hpp"

using namespace desktopshare;

namespace {

std::vector<FrameRect> spansOf(std::int64_t w, std::int64_t h, const std::vector<std::pair<int, int>>& tiles) {
  DamageSet set(FrameSize(w, h), 64);
  for (auto [c, r] : tiles) set.insert(FrameRect(c * 64, r * 64, 1, 1));
  return set.spans();
}

}  // namespace

TEST(FrameRect, ClampsNegativeExtent) {
  const FrameRect r(5, 5, -3, 10);
  EXPECT_EQ(r.width(), 0);
  EXPECT_TRUE(r.isEmpty());
  EXPECT_EQ(FrameRect(-2, -3, 4, 5).maxX(), 2);
}

TEST(FrameRect, IntersectionUnionContains) {
  EXPECT_FALSE(FrameRect(0, 0, 10, 10).intersection(FrameRect(10, 0, 5, 5)));
  EXPECT_EQ(FrameRect(0, 0, 10, 10).intersection(FrameRect(5, 5, 10, 10)), FrameRect(5, 5, 5, 5));
  EXPECT_FALSE(FrameRect(0, 0, 10, 10).intersection(FrameRect(2, 2, 0, 3)));

  EXPECT_EQ(FrameRect(0, 0, 0, 4).unionWith(FrameRect(3, 3, 2, 2)), FrameRect(3, 3, 2, 2));
  EXPECT_EQ(FrameRect(3, 3, 2, 2).unionWith(FrameRect(0, 0, 4, 0)), FrameRect(3, 3, 2, 2));
  EXPECT_EQ(FrameRect(0, 0, 2, 2).unionWith(FrameRect(5, 5, 1, 1)), FrameRect(0, 0, 6, 6));
  EXPECT_EQ(FrameRect(1, 1, 0, 0).unionWith(FrameRect(7, 7, 0, 3)), FrameRect(7, 7, 0, 3));

  EXPECT_TRUE(FrameRect(0, 0, 10, 10).contains(FrameRect(0, 0, 10, 10)));
  EXPECT_FALSE(FrameRect(0, 0, 10, 10).contains(FrameRect(5, 5, 6, 1)));
  EXPECT_TRUE(FrameRect(0, 0, 10, 10).contains(FrameRect(10, 10, 0, 0)));
  EXPECT_NE(std::hash<FrameRect>{}(FrameRect(1, 2, 3, 4)), std::hash<FrameRect>{}(FrameRect(2, 1, 3, 4)));
}

TEST(FramePixels, ReadsThroughRowPitchAndSharesBuffer) {
  std::vector<std::uint8_t> bytes(416 * 2, 0);
  bytes[416] = 1;
  bytes[417] = 2;
  bytes[418] = 3;
  bytes[419] = 4;
  const FramePixels pixels(bytes.data(), bytes.size(), 416, FrameSize(100, 2));
  bytes[416] = 99;  // the pixels keep their own copy
  EXPECT_EQ(pixels.pixel(0, 1), (BGRAPixel{1, 2, 3, 4}));

  std::vector<std::uint8_t> tight(16);
  for (std::size_t i = 0; i < 16; ++i) tight[i] = static_cast<std::uint8_t>(i);
  const FramePixels packed(std::move(tight), FrameSize(2, 2));
  EXPECT_EQ(packed.bytesPerRow(), 8);
  EXPECT_EQ(packed.pixel(1, 1), (BGRAPixel{12, 13, 14, 15}));

  const Frame frame(packed, FrameSize(2, 2), {}, 0);
  const Frame copy = frame;
  EXPECT_EQ(copy.pixels().data(), packed.data());  // no pixel copy
}

TEST(Frame, ClipsDirtyRectsInOrder) {
  const Frame frame(FramePixels(std::vector<std::uint8_t>(100 * 50 * 4), FrameSize(100, 50)), FrameSize(100, 50),
                    {FrameRect(-10, -10, 20, 20), FrameRect(200, 0, 5, 5), FrameRect(90, 40, 20, 20)}, 3);
  EXPECT_EQ(frame.dirtyRects(), (std::vector<FrameRect>{FrameRect(0, 0, 10, 10), FrameRect(90, 40, 10, 10)}));
  EXPECT_EQ(frame.sequence(), 3u);
}

TEST(FrameModelDeath, PreconditionsStopTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(FrameSize(0, 10), "frame size must be positive");
  EXPECT_DEATH(FrameSize(10, -1), "frame size must be positive");
  EXPECT_DEATH(FramePixels(std::vector<std::uint8_t>(100), 4, FrameSize(2, 1)), "row pitch");
  EXPECT_DEATH(FramePixels(std::vector<std::uint8_t>(15), FrameSize(2, 2)), "shorter");
  EXPECT_DEATH(FramePixels(std::vector<std::uint8_t>(16), FrameSize(2, 2)).pixel(2, 0), "outside");
  EXPECT_DEATH(Frame(FramePixels(std::vector<std::uint8_t>(16), FrameSize(2, 2)), FrameSize(4, 1), {}, 0),
               "differs");
  DamageSet a(FrameSize(100, 100), 64);
  EXPECT_DEATH(a.formUnion(DamageSet(FrameSize(100, 101), 64)), "different geometry");
  EXPECT_DEATH(a.formUnion(DamageSet(FrameSize(100, 100), 32)), "different geometry");
  EXPECT_DEATH(DamageSet(FrameSize(1, 1), 0), "tile size");
}

TEST(DamageSet, GeometryAndBits) {
  DamageSet set(FrameSize(100, 100), 64);
  EXPECT_EQ(set.columns(), 2);
  EXPECT_EQ(set.rows(), 2);
  ASSERT_EQ(set.words().size(), 1u);
  EXPECT_TRUE(set.isEmpty());
  set.insert(FrameRect(70, 70, 1, 1));
  EXPECT_EQ(set.words()[0], 0b1000u);
  EXPECT_EQ(set.spans(), (std::vector<FrameRect>{FrameRect(64, 64, 36, 36)}));
  set.fill();
  EXPECT_EQ(set.spans(), (std::vector<FrameRect>{FrameRect(0, 0, 100, 100)}));
  set.clear();
  EXPECT_TRUE(set.isEmpty());
  EXPECT_EQ(set.words().size(), 1u);

  for (const FrameRect& outside : {FrameRect(-50, -50, 10, 10), FrameRect(200, 0, 10, 10), FrameRect(0, 0, 0, 5)}) {
    set.insert(outside);
    EXPECT_TRUE(set.isEmpty());
  }

  DamageSet odd(FrameSize(130, 200), 64);
  odd.fill();
  EXPECT_EQ(odd.words()[0], 0xFFFu);

  // Many words: the padding bits of the last word stay clear; unions are per word.
  DamageSet big(FrameSize(5120, 2880), 64);
  EXPECT_EQ(big.words().size(), 57u);
  big.fill();
  EXPECT_EQ(big.words().back(), (std::uint64_t{1} << (80 * 45 - 56 * 64)) - 1);
  DamageSet other(FrameSize(5120, 2880), 64);
  other.insert(FrameRect(5119, 2879, 1, 1));
  DamageSet u = DamageSet(FrameSize(5120, 2880), 64).unionWith(other);
  EXPECT_EQ(u, other);
  EXPECT_EQ(u.spans(), (std::vector<FrameRect>{FrameRect(5056, 2816, 64, 64)}));
}

TEST(DamageSet, SpansMergeOnlyIdenticalRunsBelow) {
  struct Case {
    std::vector<std::pair<int, int>> tiles;
    std::vector<FrameRect> expected;
  };
  const std::vector<Case> cases = {
      {{{0, 0}, {1, 0}, {0, 1}}, {FrameRect(0, 0, 128, 64), FrameRect(0, 64, 64, 64)}},
      {{{0, 0}, {0, 2}}, {FrameRect(0, 0, 64, 64), FrameRect(0, 128, 64, 64)}},
      {{{0, 0}, {2, 0}, {0, 1}, {2, 1}}, {FrameRect(0, 0, 64, 128), FrameRect(128, 0, 64, 128)}},
      // A wider run above a narrower one at the same x; then the narrow one continues.
      {{{1, 0}, {2, 0}, {1, 1}, {1, 2}}, {FrameRect(64, 0, 128, 64), FrameRect(64, 64, 64, 128)}},
      // A run that starts left of an open rectangle does not steal it.
      {{{1, 0}, {0, 1}, {1, 1}, {3, 1}, {3, 2}},
       {FrameRect(64, 0, 64, 64), FrameRect(0, 64, 128, 64), FrameRect(192, 64, 64, 128)}},
  };
  for (const auto& c : cases) EXPECT_EQ(spansOf(256, 256, c.tiles), c.expected);
}

TEST(DamageSet, SpansCoverExactlyTheMarkedTiles) {
  // A pseudo-random pattern: the spans must not overlap and must cover exactly the marked
  // tiles clipped to the frame.
  const FrameSize size(1000, 700);
  DamageSet set(size, 64);
  std::uint32_t seed = 12345;
  for (int i = 0; i < 60; ++i) {
    seed = seed * 1103515245 + 12345;
    set.insert(FrameRect((seed >> 8) % 1000, (seed >> 18) % 700, 1 + (seed % 150), 1 + ((seed >> 4) % 90)));
  }
  std::vector<int> covered(static_cast<std::size_t>(size.width() * size.height()), 0);
  for (const FrameRect& r : set.spans()) {
    ASSERT_TRUE(size.bounds().contains(r));
    for (auto y = r.y(); y < r.maxY(); ++y)
      for (auto x = r.x(); x < r.maxX(); ++x) ++covered[static_cast<std::size_t>(y * size.width() + x)];
  }
  for (std::int64_t y = 0; y < size.height(); ++y)
    for (std::int64_t x = 0; x < size.width(); ++x)
      ASSERT_EQ(covered[static_cast<std::size_t>(y * size.width() + x)], set.contains(x / 64, y / 64) ? 1 : 0)
          << x << "," << y;
  const auto spans = set.spans();
  EXPECT_TRUE(std::is_sorted(spans.begin(), spans.end(), [](const FrameRect& a, const FrameRect& b) {
    return a.y() != b.y() ? a.y() < b.y() : a.x() < b.x();
  }));
}

TEST(DamageSet, RemoveTilesOnlyWhenFullyCovered) {
  DamageSet set(FrameSize(100, 100), 64);
  set.fill();
  set.removeTiles(FrameRect(0, 0, 63, 63));
  EXPECT_EQ(set.words()[0], 0xFu);
  set.removeTiles(FrameRect(0, 0, 100, 64));  // the narrow right tile lies inside
  EXPECT_EQ(set.words()[0], 0b1100u);
  set.removeTiles(FrameRect(-10, 60, 500, 500));  // clipped; covers the bottom row fully
  EXPECT_TRUE(set.isEmpty());
}
