#pragma once
#include <cstdint>
#include <vector>

#include "desktopshare/Frame.hpp"

namespace desktopshare {

// Changed regions of a framebuffer as a fixed bitmap of square tiles (row-major, bit i of
// word i/64), so memory does not grow with the number of changes and unions are word ORs.
class DamageSet {
 public:
  DamageSet(FrameSize size, std::int64_t tileSize);

  FrameSize size() const { return size_; }
  std::int64_t tileSize() const { return tileSize_; }
  std::int64_t columns() const { return columns_; }
  std::int64_t rows() const { return rows_; }
  const std::vector<std::uint64_t>& words() const { return words_; }

  bool isEmpty() const;
  bool contains(std::int64_t column, std::int64_t row) const;

  // Marks every tile the rectangle touches (after clipping to the frame).
  void insert(const FrameRect& rect);
  template <typename Rects>
  void insert(const Rects& contentsOf) {
    for (const FrameRect& r : contentsOf) insert(r);
  }
  void fill();
  void clear();

  // Both sets must have the same size and tile size (checked).
  void formUnion(const DamageSet& other);
  DamageSet unionWith(const DamageSet& other) const;

  // Unmarks only the tiles (clipped to the frame) that lie wholly inside the rectangle.
  void removeTiles(const FrameRect& fullyContainedIn);

  // Non-overlapping rectangles covering exactly the marked tiles: runs of marked tiles per
  // row, merged downwards with an identical run directly below, sorted by y, then x.
  std::vector<FrameRect> spans() const;

  bool operator==(const DamageSet&) const = default;

 private:
  // Column and row range (inclusive) touched by a rectangle already clipped to the frame.
  struct TileRange {
    std::int64_t firstColumn, lastColumn, firstRow, lastRow;
  };
  TileRange tilesTouched(const FrameRect& clipped) const;

  FrameSize size_;
  std::int64_t tileSize_;
  std::int64_t columns_;
  std::int64_t rows_;
  std::vector<std::uint64_t> words_;
};

}  // namespace desktopshare
