#pragma once
#include <cstdint>
#include <vector>

namespace platform {

// An 8-bit RGBA image, rows top to bottom, no padding between rows.
struct RgbaImage {
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::vector<std::uint8_t> pixels;  // width * height * 4 bytes
};

}  // namespace platform
