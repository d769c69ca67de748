#pragma once
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "desktopshare/Frame.hpp"
#include "desktopshare/RfbProtocol.hpp"

namespace desktopshare::testing {

// The reason of the RfbProtocolError that `f` throws, or "(no error)".
template <typename F>
std::string reasonOf(F&& f) {
  try {
    f();
  } catch (const RfbProtocolError& e) {
    return e.reason();
  }
  return "(no error)";
}

// A deterministic desktop-like image: flat panels, a gradient, text-like strokes and a
// noisy region; rows padded beyond 4 × width to exercise the row pitch.
inline Frame desktopLikeFrame(std::int64_t w, std::int64_t h, std::uint64_t sequence = 0) {
  const std::int64_t pitch = 4 * w + 12;
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(pitch * h), 0xCD);
  std::uint32_t seed = 0x1234567u + static_cast<std::uint32_t>(sequence);
  for (std::int64_t y = 0; y < h; ++y) {
    for (std::int64_t x = 0; x < w; ++x) {
      std::uint8_t* p = bytes.data() + y * pitch + 4 * x;
      std::uint8_t r, g, b;
      if (y < h / 4) {  // flat panel with thin text-like strokes
        const bool stroke = ((x / 3 + y / 5) % 7 == 0) && (y % 16 < 11);
        r = g = b = stroke ? 30 : 235;
      } else if (x < w / 2) {  // gradient
        r = static_cast<std::uint8_t>(x * 255 / w);
        g = static_cast<std::uint8_t>(y * 255 / h);
        b = static_cast<std::uint8_t>((x + y) * 127 / (w + h));
      } else {  // photo-like: smooth base plus noise
        seed = seed * 1664525u + 1013904223u;
        const int noise = static_cast<int>(seed >> 28) - 8;
        r = static_cast<std::uint8_t>(std::clamp<int>(static_cast<int>(120 + (x % 64) + noise), 0, 255));
        g = static_cast<std::uint8_t>(std::clamp<int>(static_cast<int>(90 + (y % 80) + noise), 0, 255));
        b = static_cast<std::uint8_t>(std::clamp<int>(static_cast<int>(60 + ((x * y) % 50) + noise), 0, 255));
      }
      p[0] = b;
      p[1] = g;
      p[2] = r;
      p[3] = static_cast<std::uint8_t>(x * 7);  // alpha is never sent
    }
  }
  const FrameSize size(w, h);
  return Frame(FramePixels(std::move(bytes), pitch, size), size, {size.bounds()}, sequence);
}

// Wire value of a pixel in a format, straight from the format's definition.
inline std::uint32_t expectedValue(std::uint8_t r, std::uint8_t g, std::uint8_t b, std::uint16_t rm,
                                   std::uint16_t gm, std::uint16_t bm, int rs, int gs, int bs) {
  auto place = [](std::uint8_t c, std::uint16_t m, int s) -> std::uint32_t {
    return s >= 32 ? 0 : static_cast<std::uint32_t>(static_cast<std::uint64_t>((c * m + 127) / 255) << s);
  };
  return place(r, rm, rs) | place(g, gm, gs) | place(b, bm, bs);
}

}  // namespace desktopshare::testing
