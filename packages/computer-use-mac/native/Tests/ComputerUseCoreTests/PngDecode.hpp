#pragma once
// Decodes PNG bytes with libpng, independently of the encoder under test.
#include <png.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

namespace cutest {

struct Decoded {
  std::uint32_t width = 0, height = 0;
  std::vector<std::uint8_t> rgba;
  const std::uint8_t* at(std::uint32_t x, std::uint32_t y) const { return rgba.data() + (y * width + x) * 4; }
  std::uint32_t rgb(std::uint32_t x, std::uint32_t y) const {
    auto* p = at(x, y);
    return (std::uint32_t(p[0]) << 16) | (std::uint32_t(p[1]) << 8) | p[2];
  }
};

inline std::optional<Decoded> decodePng(const std::vector<std::uint8_t>& bytes) {
  png_image image;
  std::memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_memory(&image, bytes.data(), bytes.size())) return std::nullopt;
  image.format = PNG_FORMAT_RGBA;
  Decoded d;
  d.width = image.width;
  d.height = image.height;
  d.rgba.resize(PNG_IMAGE_SIZE(image));
  if (!png_image_finish_read(&image, nullptr, d.rgba.data(), 0, nullptr)) {
    png_image_free(&image);
    return std::nullopt;
  }
  return d;
}

}  // namespace cutest
