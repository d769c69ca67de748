#include "desktopshare/Frame.hpp"

#include <algorithm>

#include "support/Check.hpp"

namespace desktopshare {

std::optional<FrameRect> FrameRect::intersection(const FrameRect& other) const {
  const std::int64_t left = std::max(x_, other.x_);
  const std::int64_t top = std::max(y_, other.y_);
  const std::int64_t right = std::min(maxX(), other.maxX());
  const std::int64_t bottom = std::min(maxY(), other.maxY());
  if (left >= right || top >= bottom) return std::nullopt;
  return FrameRect(left, top, right - left, bottom - top);
}

FrameRect FrameRect::unionWith(const FrameRect& other) const {
  if (isEmpty()) return other;
  if (other.isEmpty()) return *this;
  const std::int64_t left = std::min(x_, other.x_);
  const std::int64_t top = std::min(y_, other.y_);
  return FrameRect(left, top, std::max(maxX(), other.maxX()) - left, std::max(maxY(), other.maxY()) - top);
}

bool FrameRect::contains(const FrameRect& other) const {
  return other.x_ >= x_ && other.y_ >= y_ && other.maxX() <= maxX() && other.maxY() <= maxY();
}

FrameSize::FrameSize(std::int64_t width, std::int64_t height) : width_(width), height_(height) {
  JEXO_CHECK(width >= 1 && height >= 1, "frame size must be positive");
}

namespace {
void checkLayout(std::size_t length, std::int64_t bytesPerRow, FrameSize size) {
  JEXO_CHECK(size.width() <= INT64_MAX / 4 && bytesPerRow >= 4 * size.width(), "row pitch shorter than a row");
  JEXO_CHECK(bytesPerRow <= INT64_MAX / size.height() &&
                 static_cast<std::uint64_t>(bytesPerRow * size.height()) <= length,
             "pixel buffer shorter than pitch x height");
}
}  // namespace

FramePixels::FramePixels(std::vector<std::uint8_t> data, std::int64_t bytesPerRow, FrameSize size)
    : bytesPerRow_(bytesPerRow), size_(size) {
  checkLayout(data.size(), bytesPerRow, size);
  buffer_ = std::make_shared<const std::vector<std::uint8_t>>(std::move(data));
}

FramePixels::FramePixels(const std::uint8_t* data, std::size_t length, std::int64_t bytesPerRow, FrameSize size)
    : bytesPerRow_(bytesPerRow), size_(size) {
  checkLayout(length, bytesPerRow, size);
  buffer_ = std::make_shared<const std::vector<std::uint8_t>>(data, data + length);
}

FramePixels::FramePixels(std::vector<std::uint8_t> bytes, FrameSize size)
    : FramePixels(std::move(bytes), size.width() <= INT64_MAX / 4 ? 4 * size.width() : -1, size) {}

BGRAPixel FramePixels::pixel(std::int64_t x, std::int64_t y) const {
  JEXO_CHECK(x >= 0 && x < size_.width() && y >= 0 && y < size_.height(), "pixel outside the frame");
  const std::uint8_t* p = row(y) + 4 * x;
  return BGRAPixel{p[0], p[1], p[2], p[3]};
}

Frame::Frame(FramePixels pixels, FrameSize size, const std::vector<FrameRect>& dirtyRects, std::uint64_t sequence)
    : pixels_(std::move(pixels)), sequence_(sequence) {
  JEXO_CHECK(size == pixels_.size(), "frame size differs from its pixels");
  const FrameRect bounds = size.bounds();
  dirtyRects_.reserve(dirtyRects.size());
  for (const FrameRect& r : dirtyRects)
    if (auto clipped = r.intersection(bounds)) dirtyRects_.push_back(*clipped);
}

}  // namespace desktopshare
