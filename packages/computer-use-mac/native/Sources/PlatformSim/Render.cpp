// Rasterises the simulated desktop: each element is a filled rectangle with its title, so a
// screenshot shows where things are and what they are called.
#include <algorithm>
#include <array>
#include <cmath>

#include "platformsim/SimDesktop.hpp"

namespace platformsim {

namespace {

// 5x7 glyphs, one row per byte, the low five bits from left (bit 4) to right (bit 0).
struct Glyph {
  char c;
  std::array<std::uint8_t, 7> rows;
};

constexpr Glyph kFont[] = {
    {'A', {0x0E, 0x11, 0x11, 0x1F, 0x11, 0x11, 0x11}}, {'B', {0x1E, 0x11, 0x11, 0x1E, 0x11, 0x11, 0x1E}},
    {'C', {0x0E, 0x11, 0x10, 0x10, 0x10, 0x11, 0x0E}}, {'D', {0x1E, 0x11, 0x11, 0x11, 0x11, 0x11, 0x1E}},
    {'E', {0x1F, 0x10, 0x10, 0x1E, 0x10, 0x10, 0x1F}}, {'F', {0x1F, 0x10, 0x10, 0x1E, 0x10, 0x10, 0x10}},
    {'G', {0x0E, 0x11, 0x10, 0x17, 0x11, 0x11, 0x0F}}, {'H', {0x11, 0x11, 0x11, 0x1F, 0x11, 0x11, 0x11}},
    {'I', {0x0E, 0x04, 0x04, 0x04, 0x04, 0x04, 0x0E}}, {'J', {0x07, 0x02, 0x02, 0x02, 0x02, 0x12, 0x0C}},
    {'K', {0x11, 0x12, 0x14, 0x18, 0x14, 0x12, 0x11}}, {'L', {0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x1F}},
    {'M', {0x11, 0x1B, 0x15, 0x15, 0x11, 0x11, 0x11}}, {'N', {0x11, 0x11, 0x19, 0x15, 0x13, 0x11, 0x11}},
    {'O', {0x0E, 0x11, 0x11, 0x11, 0x11, 0x11, 0x0E}}, {'P', {0x1E, 0x11, 0x11, 0x1E, 0x10, 0x10, 0x10}},
    {'Q', {0x0E, 0x11, 0x11, 0x11, 0x15, 0x12, 0x0D}}, {'R', {0x1E, 0x11, 0x11, 0x1E, 0x14, 0x12, 0x11}},
    {'S', {0x0F, 0x10, 0x10, 0x0E, 0x01, 0x01, 0x1E}}, {'T', {0x1F, 0x04, 0x04, 0x04, 0x04, 0x04, 0x04}},
    {'U', {0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x0E}}, {'V', {0x11, 0x11, 0x11, 0x11, 0x11, 0x0A, 0x04}},
    {'W', {0x11, 0x11, 0x11, 0x15, 0x15, 0x15, 0x0A}}, {'X', {0x11, 0x11, 0x0A, 0x04, 0x0A, 0x11, 0x11}},
    {'Y', {0x11, 0x11, 0x11, 0x0A, 0x04, 0x04, 0x04}}, {'Z', {0x1F, 0x01, 0x02, 0x04, 0x08, 0x10, 0x1F}},
    {'0', {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E}}, {'1', {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E}},
    {'2', {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F}}, {'3', {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E}},
    {'4', {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02}}, {'5', {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E}},
    {'6', {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E}}, {'7', {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08}},
    {'8', {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E}}, {'9', {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C}},
    {'.', {0x00, 0x00, 0x00, 0x00, 0x00, 0x0C, 0x0C}}, {'-', {0x00, 0x00, 0x00, 0x1F, 0x00, 0x00, 0x00}},
    {':', {0x00, 0x0C, 0x0C, 0x00, 0x0C, 0x0C, 0x00}}, {'!', {0x04, 0x04, 0x04, 0x04, 0x04, 0x00, 0x04}},
    {'?', {0x0E, 0x11, 0x01, 0x02, 0x04, 0x00, 0x04}}, {',', {0x00, 0x00, 0x00, 0x00, 0x0C, 0x04, 0x08}},
    {'+', {0x00, 0x04, 0x04, 0x1F, 0x04, 0x04, 0x00}}, {'/', {0x01, 0x02, 0x02, 0x04, 0x08, 0x08, 0x10}},
    {'(', {0x02, 0x04, 0x08, 0x08, 0x08, 0x04, 0x02}}, {')', {0x08, 0x04, 0x02, 0x02, 0x02, 0x04, 0x08}},
    {'_', {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x1F}}, {'=', {0x00, 0x00, 0x1F, 0x00, 0x1F, 0x00, 0x00}},
    {'\'', {0x04, 0x04, 0x08, 0x00, 0x00, 0x00, 0x00}}, {' ', {0, 0, 0, 0, 0, 0, 0}},
};

// Unknown characters show as a hollow box, so text length stays visible.
constexpr std::array<std::uint8_t, 7> kBox{0x1F, 0x11, 0x11, 0x11, 0x11, 0x11, 0x1F};

const std::array<std::uint8_t, 7>& glyph(unsigned char c) {
  if (c >= 'a' && c <= 'z') c = static_cast<unsigned char>(c - 'a' + 'A');
  for (const auto& g : kFont)
    if (static_cast<unsigned char>(g.c) == c) return g.rows;
  return kBox;
}

std::optional<std::uint32_t> defaultColor(const std::optional<std::string>& role) {
  if (!role) return std::nullopt;
  if (*role == "AXWindow") return 0xECEFF4;
  if (*role == "AXButton") return 0x5E81AC;
  if (*role == "AXTextField" || *role == "AXTextArea") return 0xFFFFFF;
  if (*role == "AXScrollArea" || *role == "AXList" || *role == "AXTable") return 0xD8DEE9;
  if (*role == "AXCheckBox" || *role == "AXRadioButton" || *role == "AXPopUpButton") return 0x88C0D0;
  return std::nullopt;  // groups and static text are drawn by their text only
}

class Canvas {
 public:
  Canvas(std::int32_t w, std::int32_t h, platform::ScreenRect source)
      : image_{w, h, std::vector<std::uint8_t>(static_cast<std::size_t>(w) * static_cast<std::size_t>(h) * 4, 0)},
        source_(source), kx_(w / source.width), ky_(h / source.height) {}

  struct PixelRect {
    std::int64_t x0, y0, x1, y1;  // half-open, clipped to the image
  };

  PixelRect map(const platform::ScreenRect& r) const {
    auto clampX = [&](double v) { return static_cast<std::int64_t>(std::clamp(v, 0.0, static_cast<double>(image_.width))); };
    auto clampY = [&](double v) { return static_cast<std::int64_t>(std::clamp(v, 0.0, static_cast<double>(image_.height))); };
    double left = std::min(r.x, r.x + r.width), right = std::max(r.x, r.x + r.width);
    double top = std::min(r.y, r.y + r.height), bottom = std::max(r.y, r.y + r.height);
    return {clampX(std::floor((left - source_.x) * kx_)), clampY(std::floor((top - source_.y) * ky_)),
            clampX(std::ceil((right - source_.x) * kx_)), clampY(std::ceil((bottom - source_.y) * ky_))};
  }

  void fill(const PixelRect& r, std::uint32_t rgb) {
    const std::uint8_t px[4] = {static_cast<std::uint8_t>(rgb >> 16), static_cast<std::uint8_t>(rgb >> 8),
                                static_cast<std::uint8_t>(rgb), 0xFF};
    for (auto y = r.y0; y < r.y1; ++y) {
      auto* row = image_.pixels.data() + (static_cast<std::size_t>(y) * static_cast<std::size_t>(image_.width)) * 4;
      for (auto x = r.x0; x < r.x1; ++x) std::copy(px, px + 4, row + x * 4);
    }
  }

  void text(const std::string& s, const PixelRect& box) {
    if (box.x1 <= box.x0 || box.y1 <= box.y0) return;
    const std::int64_t dot = std::max<std::int64_t>(1, std::lround(2 * std::min(kx_, ky_)));
    const std::int64_t pad = std::max<std::int64_t>(1, std::lround(4 * kx_));
    std::int64_t x = box.x0 + pad;
    const std::int64_t y = box.y0 + std::max<std::int64_t>(0, (box.y1 - box.y0 - 7 * dot) / 2);
    // Dark text on light fills, light text on dark ones.
    const auto* under = pixel(std::min(x, static_cast<std::int64_t>(image_.width) - 1), std::min(y, static_cast<std::int64_t>(image_.height) - 1));
    const int luminance = (under[0] * 3 + under[1] * 6 + under[2]) / 10;
    const std::uint32_t ink = luminance > 128 ? 0x2E3440 : 0xFFFFFF;
    for (unsigned char c : s) {
      if ((c & 0xC0) == 0x80) continue;  // one box per non-ASCII character
      if (x + 5 * dot > box.x1) break;
      const auto& rows = glyph(c);
      for (int gy = 0; gy < 7; ++gy)
        for (int gx = 0; gx < 5; ++gx)
          if (rows[gy] & (0x10 >> gx)) {
            PixelRect d{x + gx * dot, y + gy * dot, x + (gx + 1) * dot, y + (gy + 1) * dot};
            d.x1 = std::min(d.x1, box.x1);
            d.y1 = std::min(d.y1, box.y1);
            fill(d, ink);
          }
      x += 6 * dot;
    }
  }

  void element(const SimElement& e) {
    if (e.frame) {
      const auto r = map(*e.frame);
      if (auto color = e.color ? e.color : defaultColor(e.role)) fill(r, *color);
      std::optional<std::string> label = e.title;
      // A scroll position is not something a user sees as text.
      if ((!label || label->empty()) && e.value && !e.scrollable) {
        if (auto* s = std::get_if<std::string>(&*e.value)) label = *s;
        else label = std::to_string(static_cast<long long>(std::get<double>(*e.value)));
      }
      if (label && !label->empty() && !(e.window && e.window->root.get() == &e)) text(*label, r);
      if (e.window && e.window->root.get() == &e && label) {
        // Title bar across the top of the window.
        PixelRect bar = map({e.frame->x, e.frame->y, e.frame->width, std::min(22.0, e.frame->height)});
        fill(bar, 0xD8DEE9);
        text(*label, bar);
      }
    }
    for (const auto& c : e.children) element(*c);
  }

  platform::RgbaImage take() { return std::move(image_); }

 private:
  const std::uint8_t* pixel(std::int64_t x, std::int64_t y) const {
    return image_.pixels.data() + (static_cast<std::size_t>(std::max<std::int64_t>(y, 0)) * static_cast<std::size_t>(image_.width) +
                                   static_cast<std::size_t>(std::max<std::int64_t>(x, 0))) * 4;
  }

  platform::RgbaImage image_;
  platform::ScreenRect source_;
  double kx_, ky_;
};

}  // namespace

std::optional<platform::RgbaImage> SimDesktop::render(const platform::CaptureFilter& filter, std::int32_t width,
                                                      std::int32_t height) const {
  // The configured size comes from the caller; keep one image within a sane bound.
  if (width <= 0 || height <= 0 || static_cast<std::int64_t>(width) * height > 64LL * 1024 * 1024) return std::nullopt;
  if (filter.kind == platform::CaptureFilter::Kind::window) {
    for (const auto& a : scenario_.applications)
      for (const auto& w : a->windows)
        if (w->number == filter.id) {
          if (!(w->frame.width > 0 && w->frame.height > 0)) return std::nullopt;
          Canvas canvas(width, height, w->frame);
          canvas.fill({0, 0, width, height}, 0xECEFF4);
          canvas.element(*w->root);
          return canvas.take();
        }
    return std::nullopt;
  }
  for (const auto& d : scenario_.displays) {
    if (d.id != filter.id) continue;
    Canvas canvas(width, height, {0, 0, d.width, d.height});
    canvas.fill({0, 0, width, height}, d.color);
    // Back to front: other applications in list order, the frontmost one last.
    auto draw = [&](const SimApplication& a) {
      for (const auto& w : a.windows)
        if (a.running && !a.hidden && w->onScreen && !w->minimized) canvas.element(*w->root);
    };
    for (const auto& a : scenario_.applications)
      if (a->pid != scenario_.frontmostPid) draw(*a);
    for (const auto& a : scenario_.applications)
      if (a->pid == scenario_.frontmostPid) draw(*a);
    return canvas.take();
  }
  return std::nullopt;
}

}  // namespace platformsim
