#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace desktopshare {

// Integer geometry with a top-left origin; no rectangle ever has a negative extent.
class FrameRect {
 public:
  FrameRect() = default;
  // A negative width or height is clamped to 0.
  FrameRect(std::int64_t x, std::int64_t y, std::int64_t width, std::int64_t height)
      : x_(x), y_(y), width_(width < 0 ? 0 : width), height_(height < 0 ? 0 : height) {}

  std::int64_t x() const { return x_; }
  std::int64_t y() const { return y_; }
  std::int64_t width() const { return width_; }
  std::int64_t height() const { return height_; }
  std::int64_t maxX() const { return x_ + width_; }
  std::int64_t maxY() const { return y_ + height_; }
  bool isEmpty() const { return width_ == 0 || height_ == 0; }

  // None when the overlap is empty (touching edges do not intersect).
  std::optional<FrameRect> intersection(const FrameRect& other) const;
  // Bounding box; empty operands are ignored.
  FrameRect unionWith(const FrameRect& other) const;
  bool contains(const FrameRect& other) const;

  bool operator==(const FrameRect&) const = default;

 private:
  std::int64_t x_ = 0, y_ = 0, width_ = 0, height_ = 0;
};

// Framebuffer size in pixels; both dimensions are at least 1 (checked).
class FrameSize {
 public:
  FrameSize(std::int64_t width, std::int64_t height);
  std::int64_t width() const { return width_; }
  std::int64_t height() const { return height_; }
  FrameRect bounds() const { return FrameRect(0, 0, width_, height_); }
  bool operator==(const FrameSize&) const = default;

 private:
  std::int64_t width_, height_;
};

// One pixel in memory order B, G, R, A. Alpha is carried, never interpreted.
struct BGRAPixel {
  std::uint8_t blue = 0, green = 0, red = 0, alpha = 0;
  bool operator==(const BGRAPixel&) const = default;
};

// Immutable BGRA rows with an explicit pitch. Copies share one buffer.
class FramePixels {
 public:
  // Takes ownership of `data` without copying it.
  FramePixels(std::vector<std::uint8_t> data, std::int64_t bytesPerRow, FrameSize size);
  // Copies `length` bytes from `data` (a capture buffer may go away right after).
  FramePixels(const std::uint8_t* data, std::size_t length, std::int64_t bytesPerRow, FrameSize size);
  // Tightly packed rows: bytesPerRow = 4 × width.
  FramePixels(std::vector<std::uint8_t> bytes, FrameSize size);

  const std::uint8_t* data() const { return buffer_->data(); }
  std::size_t byteCount() const { return buffer_->size(); }
  std::int64_t bytesPerRow() const { return bytesPerRow_; }
  FrameSize size() const { return size_; }
  const std::uint8_t* row(std::int64_t y) const { return data() + y * bytesPerRow_; }
  BGRAPixel pixel(std::int64_t x, std::int64_t y) const;

 private:
  std::shared_ptr<const std::vector<std::uint8_t>> buffer_;
  std::int64_t bytesPerRow_;
  FrameSize size_;
};

// One image plus what changed since the source's previous frame.
class Frame {
 public:
  // Dirty rectangles are clipped to the frame; empty ones are dropped, order is kept.
  Frame(FramePixels pixels, FrameSize size, const std::vector<FrameRect>& dirtyRects, std::uint64_t sequence);

  const FramePixels& pixels() const { return pixels_; }
  FrameSize size() const { return pixels_.size(); }
  const std::vector<FrameRect>& dirtyRects() const { return dirtyRects_; }
  std::uint64_t sequence() const { return sequence_; }

 private:
  FramePixels pixels_;
  std::vector<FrameRect> dirtyRects_;
  std::uint64_t sequence_;
};

}  // namespace desktopshare

template <>
struct std::hash<desktopshare::FrameRect> {
  std::size_t operator()(const desktopshare::FrameRect& r) const noexcept {
    std::size_t h = 0;
    for (std::int64_t v : {r.x(), r.y(), r.width(), r.height()})
      h ^= std::hash<std::int64_t>{}(v) + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2);
    return h;
  }
};
