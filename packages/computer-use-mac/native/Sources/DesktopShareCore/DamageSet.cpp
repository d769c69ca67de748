#include "desktopshare/DamageSet.hpp"

#include <algorithm>

#include "support/Check.hpp"

namespace desktopshare {

namespace {
std::int64_t checkedTileSize(std::int64_t tileSize) {
  JEXO_CHECK(tileSize > 0, "tile size must be positive");
  return tileSize;
}
}  // namespace

DamageSet::DamageSet(FrameSize size, std::int64_t tileSize)
    : size_(size),
      tileSize_(checkedTileSize(tileSize)),
      columns_((size.width() + tileSize - 1) / tileSize),
      rows_((size.height() + tileSize - 1) / tileSize),
      words_(static_cast<std::size_t>((columns_ * rows_ + 63) / 64), 0) {}

bool DamageSet::isEmpty() const {
  return std::all_of(words_.begin(), words_.end(), [](std::uint64_t w) { return w == 0; });
}

bool DamageSet::contains(std::int64_t column, std::int64_t row) const {
  if (column < 0 || column >= columns_ || row < 0 || row >= rows_) return false;
  const std::int64_t i = row * columns_ + column;
  return (words_[static_cast<std::size_t>(i / 64)] >> (i % 64)) & 1U;
}

DamageSet::TileRange DamageSet::tilesTouched(const FrameRect& r) const {
  return {r.x() / tileSize_, (r.maxX() - 1) / tileSize_, r.y() / tileSize_, (r.maxY() - 1) / tileSize_};
}

void DamageSet::insert(const FrameRect& rect) {
  const auto clipped = rect.intersection(size_.bounds());
  if (!clipped) return;
  const TileRange t = tilesTouched(*clipped);
  for (std::int64_t row = t.firstRow; row <= t.lastRow; ++row) {
    for (std::int64_t c = t.firstColumn; c <= t.lastColumn; ++c) {
      const std::int64_t i = row * columns_ + c;
      words_[static_cast<std::size_t>(i / 64)] |= std::uint64_t{1} << (i % 64);
    }
  }
}

void DamageSet::fill() {
  std::fill(words_.begin(), words_.end(), ~std::uint64_t{0});
  const std::int64_t tiles = columns_ * rows_;
  if (tiles % 64 != 0) words_.back() >>= (64 * static_cast<std::int64_t>(words_.size()) - tiles);
}

void DamageSet::clear() { std::fill(words_.begin(), words_.end(), 0); }

void DamageSet::formUnion(const DamageSet& other) {
  JEXO_CHECK(size_ == other.size_ && tileSize_ == other.tileSize_, "union of damage sets of different geometry");
  for (std::size_t k = 0; k < words_.size(); ++k) words_[k] |= other.words_[k];
}

DamageSet DamageSet::unionWith(const DamageSet& other) const {
  DamageSet result = *this;
  result.formUnion(other);
  return result;
}

void DamageSet::removeTiles(const FrameRect& fullyContainedIn) {
  const auto clipped = fullyContainedIn.intersection(size_.bounds());
  if (!clipped) return;
  const FrameRect& r = *clipped;
  const TileRange t = tilesTouched(r);
  for (std::int64_t row = t.firstRow; row <= t.lastRow; ++row) {
    const std::int64_t top = row * tileSize_;
    const std::int64_t bottom = top + std::min(tileSize_, size_.height() - top);
    if (top < r.y() || bottom > r.maxY()) continue;
    for (std::int64_t c = t.firstColumn; c <= t.lastColumn; ++c) {
      const std::int64_t left = c * tileSize_;
      const std::int64_t right = left + std::min(tileSize_, size_.width() - left);
      if (left < r.x() || right > r.maxX()) continue;
      const std::int64_t i = row * columns_ + c;
      words_[static_cast<std::size_t>(i / 64)] &= ~(std::uint64_t{1} << (i % 64));
    }
  }
}

std::vector<FrameRect> DamageSet::spans() const {
  std::vector<FrameRect> output;
  // Open rectangles end at the current row's top; both they and a row's runs are ordered by
  // x and disjoint, so matching a run with the open rectangle of the same (x, width) is a merge walk.
  std::vector<FrameRect> open, next;
  for (std::int64_t row = 0; row < rows_; ++row) {
    const std::int64_t y = row * tileSize_;
    const std::int64_t rowHeight = std::max<std::int64_t>(std::min(size_.height() - y, tileSize_), 0);
    next.clear();
    std::size_t o = 0;
    std::int64_t c = 0;
    while (c < columns_) {
      if (!contains(c, row)) {
        ++c;
        continue;
      }
      const std::int64_t c0 = c;
      while (c < columns_ && contains(c, row)) ++c;
      const std::int64_t x = c0 * tileSize_;
      const std::int64_t width = std::min(c * tileSize_, size_.width()) - x;
      while (o < open.size() && open[o].x() < x) output.push_back(open[o++]);
      if (o < open.size() && open[o].x() == x && open[o].width() == width && open[o].maxY() == y) {
        const FrameRect& up = open[o++];
        next.emplace_back(up.x(), up.y(), up.width(), up.height() + rowHeight);
      } else {
        next.emplace_back(x, y, width, rowHeight);
      }
    }
    while (o < open.size()) output.push_back(open[o++]);
    open.swap(next);
  }
  output.insert(output.end(), open.begin(), open.end());
  std::stable_sort(output.begin(), output.end(), [](const FrameRect& a, const FrameRect& b) {
    return a.y() != b.y() ? a.y() < b.y() : a.x() < b.x();
  });
  return output;
}

}  // namespace desktopshare
