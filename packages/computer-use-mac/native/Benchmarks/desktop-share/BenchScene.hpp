#pragma once
// The scene both benchmark peers serve: the synthetic desktop at 1920 × 1080 (sequence 0),
// and a 64 × 64 block that each viewer pointer event toggles (the "small change per frame").
#include <cstdint>
#include <vector>

#include "desktopshare/FrameSource.hpp"

namespace benchscene {

inline constexpr int width = 1920;
inline constexpr int height = 1080;
inline constexpr int blockX = 928, blockY = 508, blockSize = 64;

// BGRX bytes, 4 × width per row; `toggled` paints the block.
inline std::vector<std::uint8_t> pixels(bool toggled) {
  const desktopshare::Frame base = desktopshare::SyntheticFrameSource::frame(desktopshare::FrameSize(width, height), 0);
  std::vector<std::uint8_t> bytes(base.pixels().data(), base.pixels().data() + 4 * width * height);
  if (toggled)
    for (int y = blockY; y < blockY + blockSize; ++y)
      for (int x = blockX; x < blockX + blockSize; ++x) {
        std::uint8_t* p = &bytes[(static_cast<std::size_t>(y) * width + x) * 4];
        p[0] = 0x30;
        p[1] = 0x60;
        p[2] = 0xE0;
      }
  return bytes;
}

}  // namespace benchscene
